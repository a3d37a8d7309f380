// process-tap-sim with nobody left to read its standard output: the file is complete, the
// failure to write the summary is reported on standard error, and the exit status is 1.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace pt {
namespace {

namespace fs = std::filesystem;

TEST(ClosedOutput, TheSummaryFailsButTheFileIsComplete) {
  const fs::path dir = fs::temp_directory_path() / ("pt-closed-out-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path scenario = dir / "scenario.json", err = dir / "stderr", audio = dir / "a.caf";
  std::ofstream(scenario) << R"({"processObjects": [{"id": 11, "pid": 812, "running": 1}],
                                 "applications": [{"pid": 812, "name": "Music"}],
                                 "tone": {"11": 440}})";

  for (const bool pipeWithoutReader : {true, false}) {
    SCOPED_TRACE(pipeWithoutReader ? "pipe without a reader" : "closed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int ends[2] = {-1, -1};
    if (pipeWithoutReader) {
      ASSERT_EQ(::pipe(ends), 0);
      ::close(ends[0]);
      posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    } else {
      posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // SIGPIPE as a shell would leave it, whatever the test runner does with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const std::string program = PT_PROCESS_TAP_SIM;
    std::vector<std::string> arguments = {program, scenario, audio, "0.05", "Music"};
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    ASSERT_EQ(::posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (pipeWithoutReader) ::close(ends[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }

    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ostringstream text;
    text << std::ifstream(err).rdbuf();
    EXPECT_THAT(text.str(), ::testing::StartsWith("无法写出录音摘要："));
    SF_INFO info{};
    SNDFILE* file = sf_open(audio.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    sf_close(file);
    EXPECT_EQ(info.frames, 4 * 512);  // the four cycles of 0.05 s
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pt
