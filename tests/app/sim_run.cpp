#include "tests/app/sim_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pt::testing {
namespace {

std::filesystem::path freshDirectory() {
  static std::atomic<int> counter{0};
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("process-tap-sim-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

SimRun run(const std::filesystem::path& dir, const std::vector<std::string>& arguments) {
  const std::string program = PT_PROCESS_TAP_SIM;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string outPath = (dir / "stdout").string(), errPath = (dir / "stderr").string();

  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::chdir(dir.c_str()) != 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
      ::_exit(127);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  SimRun result;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = contents(outPath);
  result.err = contents(errPath);
  result.directory = dir;
  std::filesystem::remove(outPath);
  std::filesystem::remove(errPath);
  return result;
}

}  // namespace

SimRun runSimText(const std::string& scenarioText, const std::vector<std::string>& arguments) {
  const std::filesystem::path dir = freshDirectory();
  std::ofstream(dir / "scenario.json", std::ios::binary) << scenarioText;
  std::vector<std::string> all = {"scenario.json"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  SimRun result = run(dir, all);
  std::filesystem::remove(dir / "scenario.json");
  return result;
}

SimRun runSim(const nlohmann::json& scenario, const std::vector<std::string>& arguments) {
  return runSimText(scenario.dump(), arguments);
}

SimRun runSimRaw(const std::vector<std::string>& arguments) {
  return run(freshDirectory(), arguments);
}

std::filesystem::path examplesDirectory() { return PT_EXAMPLES_DIR; }

}  // namespace pt::testing
