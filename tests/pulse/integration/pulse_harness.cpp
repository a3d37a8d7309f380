#include "tests/pulse/integration/pulse_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace pt::pulse_testing {
namespace {

std::vector<std::string> mergedEnvironment(const Environment& overrides) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string key = text.substr(0, text.find('='));
    if (!overrides.contains(key)) merged.push_back(text);
  }
  for (const auto& [key, value] : overrides) merged.push_back(key + "=" + value);
  return merged;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const Environment& environment,
             const std::filesystem::path& out, const std::filesystem::path& err) {
  std::vector<std::string> arguments = argv;
  std::vector<std::string> variables = mergedEnvironment(environment);
  std::vector<char*> argp = pointers(arguments);
  std::vector<char*> envp = pointers(variables);
  const std::string outPath = out.empty() ? "/dev/null" : out.string();
  const std::string errPath = err.empty() ? "/dev/null" : err.string();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  // The test runner may block or ignore signals; the child must see SIGINT, SIGTERM and SIGHUP.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGHUP);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int error = posix_spawnp(&pid_, argp[0], &actions, &attributes, argp.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
}

Child::~Child() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = decodeStatus(status);
      return status_;
    }
    if (done < 0 && errno != EINTR) {
      status_ = -1;
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
}

void Child::signal(int signal) const {
  if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Outcome runProgram(const std::vector<std::string>& argv, const std::filesystem::path& directory,
                   std::chrono::milliseconds timeout, const Environment& environment) {
  static std::atomic<int> counter{0};
  const std::string stem = "run-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  const std::filesystem::path out = directory / (stem + ".out"), err = directory / (stem + ".err");
  Outcome run;
  {
    Child child(argv, environment, out, err);
    run.status = child.wait(timeout);
  }
  run.out = fileText(out);
  run.err = fileText(err);
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return run;
}

bool serverAnswers(const Environment& environment) {
  const std::filesystem::path scratch = std::filesystem::temp_directory_path();
  const Outcome run = runProgram({"pactl", "info"}, scratch, 5s, environment);
  return run.status == 0;
}

bool soundServerRequired() {
  const char* value = std::getenv("PT_REQUIRE_SOUND_SERVER");
  return value != nullptr && std::string(value) == "1";
}

PrivateServer::PrivateServer(const std::filesystem::path& scratch, Server kind)
    : scratch_(scratch),
      script_(kind == Server::pulseaudio ? "pulse-test-server.sh" : "pipewire-test-server.sh") {
  // The source folder and the script travel as $1 and $2, never inside the script text.
  const Outcome run = runProgram({"bash", "-c",
                                  "source \"$1/scripts/$2\" start >/dev/null && echo "
                                  "\"${PT_PULSE_DIR:-$PT_PIPEWIRE_DIR} $PULSE_SERVER\"",
                                  "bash", PT_SOURCE_DIR, script_},
                                 scratch_, 30s);
  std::istringstream words(run.out);
  std::string server;
  words >> directory_ >> server;
  if (run.status != 0 || directory_.empty() || server.empty())
    startError_ = "could not start a private " + script_ + " server: " + run.err;
  environment_ = {{"PULSE_SERVER", server},
                  {"XDG_RUNTIME_DIR", directory_},
                  {"PULSE_RUNTIME_PATH", directory_ + "/pulse"},
                  {"PULSE_STATE_PATH", directory_ + "/state"}};
}

PrivateServer::~PrivateServer() {
  if (directory_.empty()) return;
  runProgram({"bash", std::string(PT_SOURCE_DIR) + "/scripts/" + script_, "stop"}, scratch_, 15s,
             {{"PT_PULSE_DIR", directory_}, {"PT_PIPEWIRE_DIR", directory_}});
}

pid_t PrivateServer::daemonPid() const {
  const std::string text = fileText(directory_ + "/pulse/pid");
  try {
    return static_cast<pid_t>(std::stol(text));
  } catch (const std::exception&) {
    return -1;
  }
}

void makeTone(const std::filesystem::path& file, double seconds, int hz, int rate) {
  std::ostringstream length;
  length << seconds;
  const Outcome run =
      runProgram({"sox", "-q", "-n", "-r", std::to_string(rate), "-c", "2", "-b", "16",
                  file.string(), "synth", length.str(), "sine", std::to_string(hz), "vol", "0.5"},
                 file.parent_path(), 20s);
  if (run.status != 0) throw std::runtime_error("sox failed: " + run.err);
}

namespace {

// Waits until `pactl list KIND` shows a property line exactly `wanted`.
bool waitForProperty(const char* kind, const std::string& wanted, const Environment& environment,
                     std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::filesystem::path scratch = std::filesystem::temp_directory_path();
  do {
    const Outcome run = runProgram({"pactl", "list", kind}, scratch, 5s, environment);
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
      const auto start = line.find_first_not_of(" \t");
      if (start != std::string::npos && line.compare(start, std::string::npos, wanted) == 0)
        return true;
    }
    std::this_thread::sleep_for(20ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace

bool waitForPlayback(const std::string& name, const Environment& environment,
                     std::chrono::milliseconds timeout) {
  return waitForProperty("sink-inputs", "application.name = \"" + name + "\"", environment,
                         timeout);
}

bool waitForLowSinkLatency(const std::string& name, const Environment& environment,
                           std::chrono::milliseconds timeout) {
  const std::string wanted = "application.name = \"" + name + "\"";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::filesystem::path scratch = std::filesystem::temp_directory_path();
  do {
    const Outcome run = runProgram({"pactl", "list", "sink-inputs"}, scratch, 5s, environment);
    // Each stream's block starts with "Sink Input #"; its latency line precedes its properties.
    std::istringstream lines(run.out);
    long latency = -1;
    for (std::string line; std::getline(lines, line);) {
      const auto start = line.find_first_not_of(" \t");
      if (start == std::string::npos) continue;
      const std::string text = line.substr(start);
      if (text.starts_with("Sink Input #")) latency = -1;
      if (text.starts_with("Sink Latency: ")) latency = std::atol(text.c_str() + 14);
      if (text == wanted && latency >= 0 && latency < 300000) return true;
    }
    std::this_thread::sleep_for(50ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

bool waitForCapture(pid_t pid, const Environment& environment, std::chrono::milliseconds timeout) {
  return waitForProperty("source-outputs",
                         "application.process.id = \"" + std::to_string(pid) + "\"", environment,
                         timeout);
}

std::vector<std::string> paplay(const std::string& name, const std::filesystem::path& file,
                                int latencyMs) {
  std::vector<std::string> argv = {"paplay", "-v", "--client-name=" + name};
  if (latencyMs > 0) argv.push_back("--latency-msec=" + std::to_string(latencyMs));
  argv.push_back(file.string());
  return argv;
}

namespace {
std::vector<std::filesystem::path> playerLogs;
}  // namespace

int underruns() {
  int count = 0;
  for (const std::filesystem::path& log : playerLogs) {
    const std::string text = fileText(log);
    for (auto at = text.find("underrun"); at != std::string::npos;
         at = text.find("underrun", at + 1))
      ++count;
  }
  return count;
}

Player::Player(const std::vector<std::string>& argv, const std::string& name,
               const Environment& environment, const std::filesystem::path& err)
    : child_(argv, environment, {}, err),
      visible_(name.empty() || waitForPlayback(name, environment)) {}

Player::Player(const std::string& name, const std::filesystem::path& file,
               const Environment& environment)
    : Player(paplay(name, file), name, environment,
             playerLogs.emplace_back(file.parent_path() / (name + ".player.log"))) {
  visible_ = visible_ && waitForLowSinkLatency(name, environment);
}

std::optional<Summary> parseSummary(const std::string& text) {
  static const std::regex line(
      "wrote=(.+?) targets=(.*) buffers=([0-9]+) frames=([0-9]+) sampleRate=([0-9]+) "
      "channels=([0-9]+)\n");
  std::smatch match;
  if (!std::regex_match(text, match, line)) return std::nullopt;
  return Summary{match[1],
                 match[2],
                 std::stoll(match[3]),
                 std::stoll(match[4]),
                 std::stoll(match[5]),
                 std::stoll(match[6])};
}

std::optional<Audio> readAudio(const std::filesystem::path& file, std::string& error) {
  SF_INFO info{};
  SNDFILE* handle = sf_open(file.c_str(), SFM_READ, &info);
  if (handle == nullptr) {
    error = sf_strerror(nullptr);
    return std::nullopt;
  }
  Audio audio;
  audio.majorFormat = info.format & SF_FORMAT_TYPEMASK;
  audio.subtype = info.format & SF_FORMAT_SUBMASK;
  audio.sampleRate = info.samplerate;
  audio.channels = info.channels;
  audio.frames = info.frames;
  audio.samples.resize(static_cast<std::size_t>(info.frames) * info.channels);
  const sf_count_t read = sf_readf_float(handle, audio.samples.data(), info.frames);
  sf_close(handle);
  if (read != info.frames) {
    error = "read " + std::to_string(read) + " of " + std::to_string(info.frames) + " frames";
    return std::nullopt;
  }
  return audio;
}

double Audio::toneAmplitude(int channel, double hz, double from, double to) const {
  const std::int64_t begin = std::clamp<std::int64_t>(std::llround(from * sampleRate), 0, frames);
  const std::int64_t end = std::clamp<std::int64_t>(std::llround(to * sampleRate), begin, frames);
  if (end == begin) return 0;
  const double coefficient = 2 * std::cos(2 * std::numbers::pi * hz / sampleRate);
  double s1 = 0, s2 = 0;
  for (std::int64_t i = begin; i < end; ++i) {
    const double s =
        samples[static_cast<std::size_t>(i * channels + channel)] + coefficient * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  return 2 * std::sqrt(std::max(power, 0.0)) / double(end - begin);
}

}  // namespace pt::pulse_testing
