// Target selection through the real entry, run as process-tap-sim over a scenario file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pt {
namespace {

namespace fs = std::filesystem;

// Names out of order, one of them decomposed, a silent client known only by its kernel name.
constexpr const char* kScenario = R"({
  "processObjects": [
    {"id": 71, "pid": 812, "bundleID": "com.apple.Music", "running": 1},
    {"id": 72, "pid": 900, "bundleID": "com.example.Radio", "running": 1},
    {"id": 73, "pid": 317, "bundleID": "", "running": 0},
    {"id": 74, "pid": 640, "bundleID": "org.example.fm", "running": 1}
  ],
  "applications": [
    {"pid": 812, "name": "Music", "bundleID": "com.apple.Music"},
    {"pid": 900, "name": "Radio", "bundleID": "com.example.Radio"},
    {"pid": 640, "name": "e\u0301cole FM", "bundleID": "org.example.fm"}
  ],
  "kernelNames": {"317": "coreaudiod-helper"}
})";

struct SimResult {
  int exitStatus = -1;  // -1: ended by a signal
  std::string out, err;
  bool madeFiles = false;  // anything besides the scenario and the captured streams
};

enum class Stdout { file, fullDisk, closedPipe };

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

SimResult runSim(const std::string& keyword, Stdout stdoutKind = Stdout::file) {
  static int counter = 0;
  const fs::path dir =
      fs::temp_directory_path() /
      ("pt-target-scenario-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "scenario.json") << kScenario;
  const std::string program = PT_PROCESS_TAP_SIM;
  const std::string outPath = stdoutKind == Stdout::fullDisk ? "/dev/full" : (dir / "out").string();
  const std::string errPath = (dir / "err").string();
  std::vector<std::string> args = {program, "scenario.json", "rec.caf", "1", keyword};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int ends[2] = {-1, -1};
  if (stdoutKind == Stdout::closedPipe && pipe(ends) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    int out = stdoutKind == Stdout::closedPipe
                  ? ends[1]
                  : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (stdoutKind == Stdout::closedPipe) close(ends[0]);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || chdir(dir.c_str()) != 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
      _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (stdoutKind == Stdout::closedPipe) {
    close(ends[0]);
    close(ends[1]);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  SimResult run;
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (stdoutKind == Stdout::file) run.out = contents(dir / "out");
  run.err = contents(dir / "err");
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name != "scenario.json" && name != "out" && name != "err") run.madeFiles = true;
  }
  fs::remove_all(dir);
  return run;
}

TEST(TargetScenarioTest, ListingReachesStandardOutputAndEndsWithSuccess) {
  const SimResult run = runSim("--list");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out,
            "pid=812 active=true name=Music bundle=com.apple.Music\n"
            "pid=900 active=true name=Radio bundle=com.example.Radio\n"
            "pid=317 active=false name=coreaudiod-helper bundle=\n"
            "pid=640 active=true name=e\u0301cole FM bundle=org.example.fm\n");
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(run.madeFiles);
}

TEST(TargetScenarioTest, ListingThatCannotBeWrittenIsAFailure) {
  for (Stdout where : {Stdout::fullDisk, Stdout::closedPipe}) {
    const SimResult run = runSim("--list", where);
    EXPECT_EQ(run.exitStatus, 1) << "stdout kind " << int(where);
    EXPECT_EQ(run.err.rfind("写入音频进程列表失败：", 0), 0u) << run.err;
    EXPECT_FALSE(run.madeFiles);
  }
}

TEST(TargetScenarioTest, UnresolvedPiecesEndTheRunBeforeAnyFile) {
  const std::pair<const char*, const char*> cases[] = {
      {"Music,Nonexistent", "未找到音频进程：Nonexistent\n"},
      {"--LIST", "未找到音频进程：--LIST\n"},
      {" --list", "未找到音频进程：--list\n"},
      {"Music,--list", "未找到音频进程：--list\n"},
      {"4294968196", "未找到音频进程：4294968196\n"},  // 900 plus 2^32 is no pid
      {"ecole", "未找到音频进程：ecole\n"},            // é is not e
  };
  for (const auto& [keyword, message] : cases) {
    const SimResult run = runSim(keyword);
    EXPECT_EQ(run.exitStatus, 1) << keyword;
    EXPECT_EQ(run.err, message) << keyword;
    EXPECT_EQ(run.out, "") << keyword;
    EXPECT_FALSE(run.madeFiles) << keyword;
  }
}

}  // namespace
}  // namespace pt
