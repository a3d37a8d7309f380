// The built process-tap at a pseudo-terminal, recording from a real PulseAudio server: the
// status line meters what plays, and only the summary line stays on the terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "tests/pulse/integration/pulse_harness.h"
#include "tests/terminal/terminal_run.h"

namespace pt::pulse_testing {
namespace {

namespace fs = std::filesystem;

TEST(LiveStatusPulse, MetersWhatPlaysAndLeavesOnlyTheSummary) {
  const fs::path dir =
      fs::temp_directory_path() / ("process-tap-live-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  {
    PrivateServer server(dir);
    if (!server.started()) {
      if (soundServerRequired()) FAIL() << server.startError();
      GTEST_SKIP() << server.startError() << " (set PT_REQUIRE_SOUND_SERVER=1 to fail)";
    }
    makeTone(dir / "tone.wav", 30, 440);  // half scale: -6.0 dBFS
    Player player("Music", dir / "tone.wav", server.environment());
    ASSERT_TRUE(player.visible());
    std::string command = "env -u NO_COLOR TERM=xterm";
    for (const auto& [name, value] : server.environment()) command += " " + name + "=" + value;
    const testing::TerminalRun run = testing::runAtTerminal(command + " " + PT_PROCESS_TAP + " " +
                                                            (dir / "a.wav").string() + " 2 Music");

    ASSERT_EQ(run.exitStatus, 0) << run.transcript;
    EXPECT_TRUE(std::regex_search(run.transcript, std::regex(R"(\r0:01\.\d / 0:02\.0  L \[)")));
    EXPECT_TRUE(
        std::regex_search(run.transcript, std::regex(R"(\] +-6\.0 dBFS  R .*\] +-6\.0 dBFS)")))
        << run.transcript;
    EXPECT_TRUE(std::regex_match(
        testing::screenText(run.transcript),
        std::regex("wrote=" + (dir / "a.wav").string() + R"( targets=Music\(pid=\d+\) [^\n]*\n)")))
        << testing::screenText(run.transcript);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pt::pulse_testing
