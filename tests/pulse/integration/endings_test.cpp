// A recording killed outright against a real sound server: what each container holds afterwards,
// as libsndfile, sox and ffmpeg read it.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/pulse/integration/pulse_harness.h"
#include "tests/readers/readers.h"

namespace pt::pulse_testing {
namespace {

using Endings = PulseTest;

// A linear sweep, so that where a recording ends is the pitch it ends on, whenever it started.
constexpr double kFrom = 200, kTo = 4000, kSweepSeconds = 20;

// Where in the sweep `audio` ends: the pitch of its last 0.2 s, from the first to the last of its
// rising zero crossings there (placed between samples), is the sweep's at their middle.
double endsAt(const Audio& audio) {
  const std::int64_t from = std::max<std::int64_t>(1, audio.frames - audio.sampleRate / 5);
  double first = -1, last = -1;
  int rises = 0;
  for (std::int64_t f = from; f < audio.frames; ++f) {
    const float a = audio.samples[std::size_t((f - 1) * audio.channels)];
    const float b = audio.samples[std::size_t(f * audio.channels)];
    if (a >= 0 || b < 0) continue;
    last = double(f - 1) + a / (a - b);
    if (rises++ == 0) first = last;
  }
  if (rises < 2) return 0;
  const double hz = (rises - 1) * audio.sampleRate / (last - first);
  return (hz - kFrom) / ((kTo - kFrom) / kSweepSeconds) +
         (audio.frames - (first + last) / 2) / audio.sampleRate;
}

TEST_F(Endings, KilledRecordingsReadBackInEveryContainer) {
  PT_NEED_SERVER(serverAnswers(), "no sound server answers `pactl info`");
  const fs::path sweep = file("sweep.wav");
  ASSERT_EQ(runProgram({"sox", "-q", "-n", "-r", "48000", "-c", "2", "-b", "16", sweep.string(),
                        "synth", std::to_string(kSweepSeconds), "sine",
                        std::to_string(int(kFrom)) + ":" + std::to_string(int(kTo)), "vol", "0.5"},
                       60s)
                .status,
            0);
  Player player(client("Radio"), sweep);
  ASSERT_TRUE(player.visible());
  // How far behind the CAF file's exact header each may end: the encoders' last frame or page
  // (Opus pages of half a second), 0.1 s for the recorders' streams, which the server hands
  // over in its own time, and the 0.2 s a writer gathers before it writes.
  constexpr double kBatch = 0.2;
  const std::map<std::string, double> lag = {{".caf", 0.1 + kBatch},   {".wav", 0.15 + kBatch},
                                             {".aif", 0.15 + kBatch},  {".aiff", 0.15 + kBatch},
                                             {".w64", 0.15 + kBatch},  {".rf64", 0.15 + kBatch},
                                             {".flac", 0.2 + kBatch},  {".ogg", 0.25 + kBatch},
                                             {".opus", 0.65 + kBatch}, {".mp3", 0.2 + kBatch}};
  std::vector<std::unique_ptr<Child>> recorders;
  for (const auto& [extension, most] : lag) {
    recorders.push_back(
        std::make_unique<Child>(tapCommand({file("killed" + extension), "10", client("Radio")})));
    ASSERT_TRUE(waitForCapture(recorders.back()->pid())) << extension;
  }
  std::this_thread::sleep_for(3s);
  for (auto& recorder : recorders) recorder->signal(SIGKILL);
  for (auto& recorder : recorders) EXPECT_EQ(recorder->wait(30s), 128 + SIGKILL);
  const double end = endsAt(audioOf(file("killed.caf")));
  for (const auto& [extension, most] : lag) {
    SCOPED_TRACE(extension);
    const fs::path killed = file("killed" + extension);
    // At least 2 s of it, in windows of 100 ms, carry sound in both channels, however a loaded
    // machine spaced them.
    const Audio audio = audioOf(killed);
    int windows = 0;
    for (std::int64_t at = 0; at + 4800 <= audio.frames; at += 4800) {
      double power[2] = {0, 0};
      for (std::int64_t f = at; f < at + 4800; ++f)
        for (int c = 0; c < 2; ++c) power[c] += std::pow(audio.samples[std::size_t(f * 2 + c)], 2);
      windows += power[0] / 4800 > 0.05 && power[1] / 4800 > 0.05;
    }
    EXPECT_GE(windows, 20) << "of " << audio.seconds() << " s";
    EXPECT_LE(end - endsAt(audio), most) << "ends " << end - endsAt(audio) << " s early";
    // The three readers agree on it and read it cleanly; Debian's sox reads no Opus, ffprobe
    // counts Opus's pre-skip, and an MP3 without its closing tag is measured from its size, to
    // within a frame.
    const testing::Readings read = testing::readEverywhere(killed);
    const std::int64_t slack = extension == ".mp3" ? 1152 : 0;
    EXPECT_EQ(read.sndfile.complaint + read.ffmpeg.complaint, "");
    EXPECT_NEAR(read.sndfile.stated, read.sndfile.decoded, slack);
    EXPECT_NEAR(read.ffmpeg.decoded, read.sndfile.decoded, 2 * slack);
    EXPECT_NEAR(read.ffmpeg.stated, read.sndfile.decoded + (extension == ".opus" ? 312 : 0),
                2 * slack + 48);
    if (extension == ".opus") continue;
    EXPECT_EQ(read.sox.complaint, "");
    EXPECT_NEAR(read.sox.decoded, read.sndfile.decoded, 2 * slack);
    EXPECT_NEAR(read.sox.stated, read.sndfile.decoded, 2 * slack);
  }
}

}  // namespace
}  // namespace pt::pulse_testing
