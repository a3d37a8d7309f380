// The built process-tap-sim at a pseudo-terminal: the status line while it records, and what the
// terminal shows once it is done.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "tests/terminal/terminal_run.h"

namespace pt::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// Music plays a sine at a quarter of full scale: -12.0 dBFS. Cycle 20 is written at 0.21 s.
constexpr const char* kScenario = R"({
  "processObjects": [{"id": 71, "pid": 812, "bundleID": "com.apple.Music", "running": 1}],
  "applications": [{"pid": 812, "name": "Music", "bundleID": "com.apple.Music"}],
  "tone": {"71": 440}, "faults": FAULTS})";

class LiveStatusAtATerminal : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }

  // Records 2 s of Music with `environment` (prefixed to the command) and `redirection`.
  TerminalRun record(const std::string& environment, const std::string& redirection = "",
                     const std::string& faults = "{}") {
    std::ofstream(dir_ / "scenario.json")
        << std::regex_replace(kScenario, std::regex("FAULTS"), faults);
    return runAtTerminal("env -u NO_COLOR -u COLORTERM TERM=xterm-256color " + environment + " " +
                         PT_PROCESS_TAP_SIM + " " + (dir_ / "scenario.json").string() + " " +
                         (dir_ / "a.wav").string() + " 2 Music " + redirection);
  }
  // The summary line as the terminal has it.
  std::string summary() const {
    return "wrote=" + (dir_ / "a.wav").string() +
           R"( targets=Music\(pid=812\) buffers=\d+ frames=\d+ sampleRate=48000 channels=2\n)";
  }

  const fs::path dir_ =
      fs::temp_directory_path() / ("process-tap-terminal-" + std::to_string(::getpid()) + "-" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
};

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_F(LiveStatusAtATerminal, RedrawsAtMostTenTimesASecondAndLeavesOnlyTheSummary) {
  const TerminalRun run = record("");
  ASSERT_EQ(run.exitStatus, 0) << run.transcript;
  // The clock is virtual: a draw at the start and after each tenth of a second but the last.
  EXPECT_THAT(count(run.transcript, " / 0:02.0"),
              ::testing::AllOf(::testing::Ge(19u), ::testing::Le(21u)));
  EXPECT_THAT(run.transcript, HasSubstr("\r0:01.8 / 0:02.0  L ["));
  EXPECT_THAT(run.transcript, HasSubstr("-12.0 dBFS  R [\x1b[32m#"));
  EXPECT_TRUE(std::regex_match(screenText(run.transcript), std::regex(summary())))
      << screenText(run.transcript);
  EXPECT_THAT(record("NO_COLOR=1").transcript,
              ::testing::AllOf(HasSubstr(" dBFS"), Not(HasSubstr("\x1b[3"))));
}

TEST_F(LiveStatusAtATerminal, StaysOffAFailedWritesLineAndOffStandardErrorThatIsNoTerminal) {
  const TerminalRun failed = record("", "", R"({"writeFailures": [10]})");
  EXPECT_TRUE(std::regex_match(
      screenText(failed.transcript),
      std::regex("写入 Tap 音频失败：模拟的写入失败\n" + summary() + "录音丢失了音频：[^\n]*\n")))
      << screenText(failed.transcript);
  // Into a file, or on a terminal that cannot erase a line, standard error gets nothing.
  const std::string err = (dir_ / "err").string();
  for (const TerminalRun& run : {record("", "2>" + err), record("TERM=dumb")}) {
    ASSERT_EQ(run.exitStatus, 0) << run.transcript;
    EXPECT_TRUE(std::regex_match(screenText(run.transcript), std::regex(summary())));
    EXPECT_EQ(count(run.transcript, "\r"), 1u) << run.transcript;  // the terminal's own, at "\n"
  }
  EXPECT_EQ(fs::file_size(err), 0u);
}

}  // namespace
}  // namespace pt::testing
