// A recording killed outright against a real sound server: what each container holds afterwards.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/pulse/integration/pulse_harness.h"

namespace pt::pulse_testing {
namespace {

using Endings = PulseTest;

TEST_F(Endings, KilledRecordingsReadBackInEveryContainer) {
  PT_NEED_SERVER(serverAnswers(), "no sound server answers `pactl info`");
  Player player(client("Radio"), tone(440));
  ASSERT_TRUE(player.visible());
  const std::vector<std::string> extensions = {".caf",  ".wav",  ".aif", ".aiff", ".w64",
                                               ".rf64", ".flac", ".ogg", ".opus", ".mp3"};
  std::vector<std::unique_ptr<Child>> recorders;
  for (const std::string& extension : extensions) {
    recorders.push_back(
        std::make_unique<Child>(tapCommand({file("killed" + extension), "10", client("Radio")})));
    ASSERT_TRUE(waitForCapture(recorders.back()->pid())) << extension;
  }
  // 3 s of recording and a margin for the last second's header update.
  std::this_thread::sleep_for(3400ms);
  for (auto& recorder : recorders) recorder->signal(SIGKILL);
  for (std::size_t i = 0; i < extensions.size(); ++i) {
    SCOPED_TRACE(extensions[i]);
    EXPECT_EQ(recorders[i]->wait(30s), 128 + SIGKILL);
    const fs::path killed = file("killed" + extensions[i]);
    // At least 2 s of it, in windows of 100 ms, carry the tone in both channels, however a
    // loaded machine spaced them.
    const Audio audio = audioOf(killed);
    int windows = 0;
    for (double at = 0; at + 0.1 <= audio.seconds() + 1e-9; at += 0.1)
      windows += audio.toneAmplitude(0, 440, at, at + 0.1) >= 0.2 &&
                 audio.toneAmplitude(1, 440, at, at + 0.1) >= 0.2;
    EXPECT_GE(windows, 20) << "of " << audio.seconds() << " s";
    // sox decodes it too, but for Opus, which Debian's sox does not read.
    if (extensions[i] == ".opus") continue;
    const Outcome sox =
        runProgram({"sox", "-q", killed.string(), "-t", "s16", "-c", "1", "-"}, 30s);
    EXPECT_EQ(sox.status, 0) << sox.err;
    EXPECT_GE(sox.out.size() / 2, 2u * 48000);
  }
}

}  // namespace
}  // namespace pt::pulse_testing
