// The built process-tap at a pseudo-terminal, recording from a real PulseAudio server: the
// status line meters what plays, and only the summary line stays on the terminal.
#include <gtest/gtest.h>

#include <regex>

#include "tests/pulse/integration/pulse_harness.h"
#include "tests/terminal/terminal_run.h"

namespace pt::pulse_testing {
namespace {

using LiveStatusPulse = PulseTest;

TEST_F(LiveStatusPulse, MetersWhatPlaysAndLeavesOnlyTheSummary) {
  PrivateServer server;
  PT_NEED_SERVER(server.started(), server.startError());
  Player player("Music", tone(440), server.environment());  // half scale: -6.0 dBFS
  ASSERT_TRUE(player.visible());
  std::string command = "env -u NO_COLOR TERM=xterm";
  for (const auto& [name, value] : server.environment()) command += " " + name + "=" + value;
  const testing::TerminalRun run = testing::runAtTerminal(command + " " + PT_PROCESS_TAP + " " +
                                                          file("a.wav").string() + " 2 Music");

  ASSERT_EQ(run.exitStatus, 0) << run.transcript;
  EXPECT_TRUE(std::regex_search(run.transcript, std::regex(R"(\r0:01\.\d / 0:02\.0  L \[)")));
  EXPECT_TRUE(
      std::regex_search(run.transcript, std::regex(R"(\] +-6\.0 dBFS  R .*\] +-6\.0 dBFS)")))
      << run.transcript;
  EXPECT_TRUE(std::regex_match(
      testing::screenText(run.transcript),
      std::regex("wrote=" + file("a.wav").string() + R"( targets=Music\(pid=\d+\) [^\n]*\n)")))
      << testing::screenText(run.transcript);
}

}  // namespace
}  // namespace pt::pulse_testing
