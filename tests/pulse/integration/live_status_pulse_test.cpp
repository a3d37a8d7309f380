// The built process-tap at a pseudo-terminal, recording from a real PulseAudio server: the
// status line meters what plays, and only the summary line stays on the terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "tests/pulse/integration/pulse_harness.h"
#include "tests/terminal/pseudo_terminal.h"

namespace pt::pulse_testing {
namespace {

namespace fs = std::filesystem;

class LiveStatusPulse : public ::testing::Test {
 protected:
  LiveStatusPulse() { fs::create_directories(dir); }
  ~LiveStatusPulse() override { fs::remove_all(dir); }
  const fs::path dir =
      fs::temp_directory_path() / ("process-tap-live-status-" + std::to_string(::getpid()));
};

TEST_F(LiveStatusPulse, MetersWhatPlaysAndLeavesOnlyTheSummary) {
  PrivateServer server(dir);
  if (!server.started()) {
    if (soundServerRequired()) FAIL() << server.startError();
    GTEST_SKIP() << server.startError() << " (set PT_REQUIRE_SOUND_SERVER=1 to fail)";
  }
  makeTone(dir / "tone.wav", 30, 440);  // half scale: -6.0 dBFS
  Player player("Music", dir / "tone.wav", server.environment());
  ASSERT_TRUE(player.visible());

  std::map<std::string, std::optional<std::string>> environment{{"TERM", "xterm-256color"},
                                                                {"NO_COLOR", std::nullopt}};
  for (const auto& [name, value] : server.environment()) environment[name] = value;
  const fs::path out = dir / "a.wav";
  const testing::TerminalRun run =
      testing::runInTerminal({PT_PROCESS_TAP, out.string(), "2", "Music"}, environment, 30s);

  ASSERT_EQ(run.exitStatus, 0) << run.transcript;
  EXPECT_TRUE(std::regex_search(run.transcript, std::regex(R"(\r0:01\.\d / 0:02\.0  L \[)")));
  EXPECT_TRUE(std::regex_search(run.transcript, std::regex(R"(\] +-6\.0 dBFS .*\] +-6\.0 dBFS)")))
      << run.transcript;
  const std::string screen = testing::screenText(run.transcript);
  EXPECT_TRUE(std::regex_match(
      screen, std::regex("wrote=" + out.string() + R"( targets=Music\(pid=\d+\) [^\n]*\n)")))
      << screen;
}

}  // namespace
}  // namespace pt::pulse_testing
