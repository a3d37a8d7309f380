// The built process-tap-sim at a pseudo-terminal: the status line while it records, and what the
// terminal shows once it is done.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "tests/terminal/pseudo_terminal.h"

namespace pt::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Environment = std::map<std::string, std::optional<std::string>>;

// Music plays a sine at a quarter of full scale: -12.0 dBFS on both channels.
constexpr const char* kScenario = R"({
  "processObjects": [{"id": 71, "pid": 812, "bundleID": "com.apple.Music", "running": 1}],
  "applications": [{"pid": 812, "name": "Music", "bundleID": "com.apple.Music"}],
  "tone": {"71": 440}, "interruptAt": 30})";

const Environment kColourTerminal{
    {"TERM", "xterm-256color"}, {"NO_COLOR", std::nullopt}, {"COLORTERM", std::nullopt}};

class LiveStatusAtATerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("process-tap-terminal-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "scenario.json") << kScenario;
  }
  void TearDown() override { fs::remove_all(dir_); }

  TerminalRun record(const std::string& seconds, const Environment& environment,
                     std::vector<std::string> prefix = {},
                     const std::string& scenario = "scenario.json") {
    prefix.insert(prefix.end(), {PT_PROCESS_TAP_SIM, (dir_ / scenario).string(),
                                 (dir_ / "a.wav").string(), seconds, "Music"});
    return runInTerminal(prefix, environment, 60s);
  }
  // The summary line; a terminal's transcript has "\r\n" where the program wrote "\n".
  std::regex summary(const std::string& lineEnd = "\n") const {
    return std::regex(
        "wrote=" + (dir_ / "a.wav").string() +
        R"( targets=Music\(pid=812\) buffers=\d+ frames=\d+ sampleRate=48000 channels=2)" +
        lineEnd);
  }

  fs::path dir_;
};

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_F(LiveStatusAtATerminal, RedrawsAtMostTenTimesASecondAndLeavesOnlyTheSummary) {
  const TerminalRun run = record("2", kColourTerminal);
  ASSERT_EQ(run.exitStatus, 0) << run.transcript;
  // The clock is virtual: a draw at the start and after each tenth of a second but the last.
  const std::size_t draws = count(run.transcript, " / 0:02.0");
  EXPECT_GE(draws, 19u);
  EXPECT_LE(draws, 21u);
  EXPECT_THAT(run.transcript, ::testing::HasSubstr("\r0:01.8 / 0:02.0  L ["));
  EXPECT_THAT(run.transcript, ::testing::HasSubstr("] -12.0 dBFS"));
  EXPECT_THAT(run.transcript, ::testing::HasSubstr("\x1b[32m#"));
  EXPECT_TRUE(std::regex_match(screenText(run.transcript), summary()))
      << screenText(run.transcript);
}

TEST_F(LiveStatusAtATerminal, AFailedWriteGetsALineOfItsOwn) {
  std::string scenario = kScenario;
  scenario.insert(scenario.rfind('}'), R"(, "faults": {"writeFailures": [30]})");
  std::ofstream(dir_ / "faulty.json") << scenario;
  const TerminalRun run = record("1", kColourTerminal, {}, "faulty.json");
  ASSERT_EQ(run.exitStatus, 0) << run.transcript;
  const std::string screen = screenText(run.transcript);
  const std::string failure = "写入 Tap 音频失败：模拟的写入失败\n";
  ASSERT_EQ(screen.substr(0, failure.size()), failure) << screen;
  EXPECT_TRUE(std::regex_match(screen.substr(failure.size()), summary())) << screen;
}

TEST_F(LiveStatusAtATerminal, EndlessRecordingShowsElapsedTimeUntilInterrupted) {
  Environment plain = kColourTerminal;
  plain["NO_COLOR"] = "1";
  const TerminalRun run = record("inf", plain);
  ASSERT_EQ(run.exitStatus, 0) << run.transcript;
  EXPECT_TRUE(std::regex_search(run.transcript, std::regex("\r0:29\\.\\d  L \\[")));
  EXPECT_THAT(run.transcript, ::testing::Not(::testing::HasSubstr(" / ")));
  EXPECT_THAT(run.transcript, ::testing::Not(::testing::HasSubstr("\x1b[3")));
  EXPECT_TRUE(std::regex_match(screenText(run.transcript), summary()));
}

TEST_F(LiveStatusAtATerminal, AddsNoByteWhereStandardErrorIsNoCapableTerminal) {
  // Standard error into a file, then a terminal that cannot erase a line.
  const TerminalRun redirected = record(
      "2", kColourTerminal, {"/bin/sh", "-c", "exec \"$@\" 2>\"$0\"", (dir_ / "err").string()});
  Environment dumb = kColourTerminal;
  dumb["TERM"] = "dumb";
  const TerminalRun onDumb = record("2", dumb);
  for (const TerminalRun& run : {redirected, onDumb}) {
    ASSERT_EQ(run.exitStatus, 0) << run.transcript;
    EXPECT_TRUE(std::regex_match(run.transcript, summary("\r\n"))) << run.transcript;
  }
  EXPECT_EQ(fs::file_size(dir_ / "err"), 0u);
}

}  // namespace
}  // namespace pt::testing
