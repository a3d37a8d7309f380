// process-tap-sim with nobody left to read its standard output: the file is complete, the
// failed summary is reported on standard error, and the exit status is 1.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace pt {
namespace {

TEST(ClosedOutput, TheSummaryFailsButTheFileIsComplete) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("pt-closed-out-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string scenario = dir / "s.json", err = dir / "err", audio = dir / "a.caf";
  std::ofstream(scenario) << R"({"processObjects": [{"id": 11, "pid": 812, "running": 1}],
                                 "applications": [{"pid": 812, "name": "Music"}]})";
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGPIPE, SIG_DFL);  // as a shell leaves it, whatever the test runner does
    const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(ends[1], STDOUT_FILENO);
    ::dup2(errFd, STDERR_FILENO);
    ::execl(PT_PROCESS_TAP_SIM, PT_PROCESS_TAP_SIM, scenario.c_str(), audio.c_str(), "0.05",
            "Music", nullptr);
    ::_exit(127);
  }
  ::close(ends[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::ostringstream text;
  text << std::ifstream(err).rdbuf();
  EXPECT_THAT(text.str(), ::testing::StartsWith("无法写出录音摘要："));
  SF_INFO info{};
  sf_close(sf_open(audio.c_str(), SFM_READ, &info));
  EXPECT_EQ(info.frames, 4 * 512);  // the four cycles of 0.05 s
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pt
