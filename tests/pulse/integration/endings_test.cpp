// How the built process-tap ends against a real sound server when it is killed outright or its
// terminal goes away: what the file holds afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/pulse/integration/pulse_harness.h"

namespace pt::pulse_testing {
namespace {

namespace fs = std::filesystem;

class Endings : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    dir_ =
        fs::temp_directory_path() / ("process-tap-endings-" + std::to_string(::getpid()) + name_);
    fs::create_directories(dir_);
    if (!serverAnswers()) {
      if (soundServerRequired()) FAIL() << "no sound server answers `pactl info`";
      GTEST_SKIP() << "no sound server answers `pactl info` (set PT_REQUIRE_SOUND_SERVER=1)";
    }
    makeTone(dir_ / "tone.wav", 30, 440);
    player_ = std::make_unique<Player>("Radio-" + name_, dir_ / "tone.wav");
    ASSERT_TRUE(player_->visible());
  }
  void TearDown() override {
    player_.reset();
    if (!HasFailure()) fs::remove_all(dir_);
  }
  std::unique_ptr<Child> record(const fs::path& out, const std::string& tag) {
    return std::make_unique<Child>(
        std::vector<std::string>{PT_PROCESS_TAP, out.string(), "10", "Radio-" + name_},
        Environment{}, dir_ / (tag + ".out"), dir_ / (tag + ".err"));
  }

  std::string name_;
  fs::path dir_;
  std::unique_ptr<Player> player_;
};

// At least `seconds` of the file, counted in windows of 100 ms, carry the tone in both channels.
// (Gaps that a loaded machine may open are another test's business.)
void expectTone(const Audio& audio, double seconds) {
  int windows = 0;
  for (double at = 0; at + 0.1 <= audio.seconds() + 1e-9; at += 0.1)
    windows += audio.toneAmplitude(0, 440, at, at + 0.1) >= 0.2 &&
               audio.toneAmplitude(1, 440, at, at + 0.1) >= 0.2;
  EXPECT_GE(windows, std::lround(seconds * 10)) << "of " << audio.seconds() << " s";
}

TEST_F(Endings, KilledRecordingsReadBackInEveryContainer) {
  const std::vector<std::string> extensions = {".caf", ".wav", ".aif", ".aiff", ".w64", ".rf64"};
  std::vector<std::unique_ptr<Child>> recorders;
  for (const std::string& extension : extensions) {
    recorders.push_back(record(dir_ / ("killed" + extension), extension));
    ASSERT_TRUE(waitForCapture(recorders.back()->pid())) << extension;
  }
  // 3 s of recording and a margin for the last second's header update.
  std::this_thread::sleep_for(3400ms);
  for (auto& recorder : recorders) recorder->signal(SIGKILL);
  for (std::size_t i = 0; i < extensions.size(); ++i) {
    SCOPED_TRACE(extensions[i]);
    EXPECT_EQ(recorders[i]->wait(5s), 128 + SIGKILL);
    const fs::path file = dir_ / ("killed" + extensions[i]);
    std::string error;
    const std::optional<Audio> audio = readAudio(file, error);
    ASSERT_TRUE(audio) << error;
    expectTone(*audio, 2.0);
    const Outcome sox = runProgram({"soxi", "-s", file.string()}, dir_, 10s);
    EXPECT_EQ(sox.status, 0) << sox.err;
    EXPECT_GE(std::atoll(sox.out.c_str()), 2 * 48000) << sox.out;
  }
}

TEST_F(Endings, HangUpEndsTheRecordingWithACompleteFile) {
  const fs::path out = dir_ / "hung-up.caf";
  std::unique_ptr<Child> recorder = record(out, "hung-up");
  ASSERT_TRUE(waitForCapture(recorder->pid()));
  std::this_thread::sleep_for(1s);
  recorder->signal(SIGHUP);
  const std::optional<int> status = recorder->wait(3s);
  ASSERT_TRUE(status) << "still recording 3 s after SIGHUP";
  EXPECT_EQ(*status, 0) << fileText(dir_ / "hung-up.err");
  const std::optional<Summary> summary = parseSummary(fileText(dir_ / "hung-up.out"));
  ASSERT_TRUE(summary);
  std::string error;
  const std::optional<Audio> audio = readAudio(out, error);
  ASSERT_TRUE(audio) << error;
  EXPECT_EQ(audio->frames, summary->frames);
  expectTone(*audio, 0.7);
}

}  // namespace
}  // namespace pt::pulse_testing
