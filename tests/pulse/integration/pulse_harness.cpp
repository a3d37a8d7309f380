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
#include <iostream>
#include <numbers>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unordered_map>

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
  // A group of its own, so that ending the child also ends what it started (a load under
  // `timeout`, a shell's loop) instead of orphaning it.
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  const int error = posix_spawnp(&pid_, argp[0], &actions, &attributes, argp.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
}

Child::~Child() {
  // A child that ended on its own keeps what it left running (a server script's daemons).
  if (pid_ <= 0 || status_) return;
  ::kill(-pid_, SIGKILL);  // what it started too
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
    if (done == pid_)
      return status_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    if (done < 0 && errno != EINTR) return status_ = -1;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
}

void Child::signal(int signal) const {
  if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Outcome runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                   const Environment& environment) {
  static std::atomic<int> counter{0};
  const fs::path stem = fs::temp_directory_path() /
                        ("pt-run-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  const fs::path out = stem.string() + ".out", err = stem.string() + ".err";
  Outcome run;
  {
    Child child(argv, environment, out, err);
    run.status = child.wait(timeout);
  }
  run.out = fileText(out);
  run.err = fileText(err);
  fs::remove(out);
  fs::remove(err);
  return run;
}

bool soundServerRequired() {
  const char* value = std::getenv("PT_REQUIRE_SOUND_SERVER");
  return value != nullptr && std::string(value) == "1";
}

bool serverAnswers() { return runProgram({"pactl", "info"}, 10s).status == 0; }

Server serverKind(const Environment& environment) {
  const std::string info = runProgram({"pactl", "info"}, 10s, environment).out;
  return info.find("on PipeWire") != std::string::npos ? Server::pipewire : Server::pulseaudio;
}

PrivateServer::PrivateServer(Server kind)
    : kind_(kind),
      script_(kind == Server::pulseaudio ? "pulse-test-server.sh" : "pipewire-test-server.sh") {
  // The source folder and the script travel as $1 and $2, never inside the script text. The
  // folder of a server this process inherited must not stand in for the new one's.
  const Outcome run = runProgram({"bash", "-c",
                                  "unset PT_PULSE_DIR PT_PIPEWIRE_DIR; "
                                  "source \"$1/scripts/$2\" start >/dev/null && echo "
                                  "\"${PT_PULSE_DIR:-$PT_PIPEWIRE_DIR} $PULSE_SERVER\"",
                                  "bash", PT_SOURCE_DIR, script_},
                                 60s);
  std::istringstream words(run.out);
  std::string server;
  words >> directory_ >> server;
  if (run.status != 0 || server.empty())
    startError_ = "could not start a private " + script_ + " server: " + run.err;
  environment_ = {{"PULSE_SERVER", server},
                  {"XDG_RUNTIME_DIR", directory_},
                  {"PULSE_RUNTIME_PATH", directory_ + "/pulse"},
                  {"PULSE_STATE_PATH", directory_ + "/state"}};
}

PrivateServer::~PrivateServer() {
  if (directory_.empty()) return;
  runProgram({"bash", std::string(PT_SOURCE_DIR) + "/scripts/" + script_, "stop"}, 30s,
             {{"PT_PULSE_DIR", directory_}, {"PT_PIPEWIRE_DIR", directory_}});
}

std::vector<pid_t> PrivateServer::daemonPids() const {
  std::istringstream text(
      fileText(directory_ + (kind_ == Server::pulseaudio ? "/pulse/pid" : "/pids")));
  std::vector<pid_t> pids;
  for (pid_t pid; text >> pid;) pids.push_back(pid);
  return pids;
}

namespace {

// Waits up to 10 s until `pactl list KIND` shows the property line `wanted`; with `maxLatencyUs`,
// in a sink input whose sink latency is below that.
bool waitForProperty(const char* kind, const std::string& wanted, const Environment& environment,
                     long maxLatencyUs = -1) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  do {
    // Each stream's block starts with its kind's title; its latency line precedes its properties.
    std::istringstream lines(runProgram({"pactl", "list", kind}, 10s, environment).out);
    long latency = -1;
    for (std::string line; std::getline(lines, line);) {
      const std::string text = line.substr(std::min(line.size(), line.find_first_not_of(" \t")));
      if (text.starts_with("Sink Input #")) latency = -1;
      if (text.starts_with("Sink Latency: ")) latency = std::atol(text.c_str() + 14);
      if (text == wanted && (maxLatencyUs < 0 || (latency >= 0 && latency < maxLatencyUs)))
        return true;
    }
    std::this_thread::sleep_for(50ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

std::vector<fs::path> playerLogs;

}  // namespace

bool waitForCapture(pid_t pid, const Environment& environment) {
  return waitForProperty("source-outputs",
                         "application.process.id = \"" + std::to_string(pid) + "\"", environment);
}

std::vector<std::string> paplay(const std::string& name, const fs::path& file, int latencyMs) {
  std::vector<std::string> argv = {"paplay", "-v", "--client-name=" + name};
  if (latencyMs > 0) argv.push_back("--latency-msec=" + std::to_string(latencyMs));
  argv.push_back(file.string());
  return argv;
}

Player::Player(const std::vector<std::string>& argv, const std::string& name,
               const Environment& environment)
    : child_(argv, environment, {},
             playerLogs.emplace_back(fs::temp_directory_path() /
                                     ("pt-player-" + std::to_string(::getpid()) + "-" +
                                      std::to_string(playerLogs.size()) + ".log"))),
      visible_(name.empty() ||
               waitForProperty("sink-inputs", "application.name = \"" + name + "\"", environment)) {
}

Player::Player(const std::string& name, const fs::path& file, const Environment& environment)
    : Player(paplay(name, file), name, environment) {
  visible_ = visible_ && waitForProperty("sink-inputs", "application.name = \"" + name + "\"",
                                         environment, 300000);
}

Microphone::Microphone(const std::string& name, const fs::path& tone, int hz) {
  if (load({"module-sine-source", "source_name=" + name, "frequency=" + std::to_string(hz)})) {
    loaded_ = true;
    return;
  }
  const std::string sink = name + "-sink";
  if (!load({"module-null-sink", "sink_name=" + sink}) ||
      !load({"module-remap-source", "source_name=" + name, "master=" + sink + ".monitor"}))
    return;
  loaded_ = true;
  std::vector<std::string> argv = paplay(name + "-tone", tone);
  argv.insert(argv.begin() + 1, "--device=" + sink);
  player_.emplace(argv, name + "-tone");
}

bool Microphone::load(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"pactl", "load-module"});
  const Outcome load = runProgram(arguments, 10s);
  if (load.status == 0) modules_.push_back(load.out.substr(0, load.out.find('\n')));
  return load.status == 0;
}

void Microphone::unload() {
  for (auto it = modules_.rbegin(); it != modules_.rend(); ++it)
    runProgram({"pactl", "unload-module", *it}, 10s);
  modules_.clear();
}

int underruns() {
  int count = 0;
  for (const fs::path& log : playerLogs) {
    const std::string text = fileText(log);
    for (auto at = text.find("underrun"); at != std::string::npos;
         at = text.find("underrun", at + 1))
      ++count;
  }
  return count;
}

std::optional<Summary> parseSummary(const std::string& text) {
  static const std::regex line(
      "wrote=.+? targets=(.*) buffers=[0-9]+ frames=([0-9]+) sampleRate=[0-9]+ channels=[0-9]+\n");
  std::smatch match;
  if (!std::regex_match(text, match, line)) return std::nullopt;
  return Summary{match[1], std::stoll(match[2])};
}

Audio audioOf(const fs::path& file) {
  SF_INFO info{};
  SNDFILE* handle = sf_open(file.c_str(), SFM_READ, &info);
  Audio audio{info.samplerate, info.channels, 0, {}};
  // To the end: a FLAC file whose writer was killed states no length, an MP3 one only guesses it
  // from its size, within a few frames of 1152.
  std::vector<float> chunk(std::size_t(4096) * std::max(1, info.channels));
  for (sf_count_t n; handle != nullptr && (n = sf_readf_float(handle, chunk.data(), 4096)) > 0;) {
    audio.samples.insert(audio.samples.end(), chunk.begin(), chunk.begin() + n * info.channels);
    audio.frames += n;
  }
  if (handle == nullptr ||
      (info.frames != SF_COUNT_MAX && std::abs(audio.frames - info.frames) > info.samplerate / 10))
    ADD_FAILURE() << file << " unreadable: " << sf_strerror(handle);
  if (handle != nullptr) sf_close(handle);
  return audio;
}

std::vector<Stretch> stretchesOf(const Audio& recorded, const Audio& source) {
  const auto left = [](const Audio& a, std::int64_t frame) {
    return std::lrint(a.samples[std::size_t(frame * a.channels)] * 32768.0f);
  };
  const auto key = [&](const Audio& a, std::int64_t frame) {
    std::uint64_t k = 0;
    for (int i = 0; i < 4; ++i) k = k << 16 | std::uint16_t(left(a, frame + i));
    return k;
  };
  std::unordered_map<std::uint64_t, std::int64_t> where;
  for (std::int64_t f = 0; f + 4 <= source.frames; ++f) where.emplace(key(source, f), f);
  const auto same = [&](std::int64_t at, std::int64_t from) {
    for (int c = 0; c < recorded.channels; ++c)
      if (std::abs(recorded.samples[std::size_t(at * recorded.channels + c)] -
                   source.samples[std::size_t(from * source.channels + c)]) > 1e-4f)
        return false;
    return true;
  };
  const auto silent = [&](std::int64_t at) {
    for (int c = 0; c < recorded.channels; ++c)
      if (recorded.samples[std::size_t(at * recorded.channels + c)] != 0) return false;
    return true;
  };
  std::vector<Stretch> runs;
  std::int64_t at = 0;
  while (at < recorded.frames && silent(at)) ++at;
  for (; at < recorded.frames; ++at) {
    Stretch* last = runs.empty() ? nullptr : &runs.back();
    const bool quiet = silent(at);  // a frame of noise may be zero too
    if (last && (last->from >= 0 ? last->from + last->frames < source.frames &&
                                       same(at, last->from + last->frames)
                                 : quiet && last->from == -1)) {
      ++last->frames;
      continue;
    }
    std::int64_t from = quiet ? -1 : -2;
    if (!quiet && at + 4 <= recorded.frames)
      if (auto found = where.find(key(recorded, at));
          found != where.end() && same(at, found->second))
        from = found->second;
    if (last && from == -2 && last->from == -2)
      ++last->frames;
    else
      runs.push_back({at, 1, from});
  }
  return runs;
}

double Audio::toneAmplitude(int channel, double hz, double from, double to) const {
  // Goertzel over the frames between the two times.
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

constexpr double kAudible = 0.2;  // the tones play at 0.5

double onset(const Audio& audio, int hz, double from) {
  for (double at = from; at + 0.05 <= audio.seconds(); at += 0.01)
    if (audio.toneAmplitude(0, hz, at, at + 0.05) >= kAudible) return at;
  return -1;
}

void expectTone(const Audio& audio, int hz, bool present, double to, double from) {
  const double end = std::min(to, audio.seconds());
  for (int channel = 0; channel < audio.channels && !present; ++channel)
    EXPECT_LT(audio.toneAmplitude(channel, hz, from, end), kAudible / 10) << hz << " Hz";
  if (!present) return;
  const double start = onset(audio, hz, from);
  ASSERT_GE(start, 0) << hz << " Hz never heard in " << audio.seconds() << " s";
  EXPECT_LE(start, from + 2.5) << hz << " Hz";
  const int starved = underruns();
  for (int channel = 0; channel < audio.channels; ++channel)
    for (double at = start; at + 0.1 <= end + 1e-9; at += 0.1)
      if (audio.toneAmplitude(channel, hz, at, at + 0.1) < kAudible && starved == 0)
        ADD_FAILURE() << hz << " Hz missing in channel " << channel << " at "
                      << std::lround(at * 1000) << " ms, first heard at "
                      << std::lround(start * 1000) << " ms";
}

void expectDuration(std::int64_t frames, double seconds, int rate) {
  EXPECT_GE(frames, std::llround(seconds * rate)) << frames << " frames";
  EXPECT_LE(frames, std::llround((seconds + 0.25) * rate)) << frames << " frames";
}

std::string target(const std::string& name, pid_t pid) {
  return name + "(pid=" + std::to_string(pid) + ")";
}

void PulseTest::SetUp() {
  dir_ =
      fs::temp_directory_path() / ("process-tap-pulse-" + std::to_string(::getpid()) + "-" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::remove_all(dir_);
  fs::create_directories(dir_);
}

// A failed test keeps its recordings for inspection, not its large tones.
void PulseTest::TearDown() {
  if (!HasFailure()) {
    fs::remove_all(dir_);
    return;
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(dir_))
    if (entry.path().filename().string().starts_with("tone-")) fs::remove(entry.path());
  std::cerr << "recordings of the failed test kept in " << dir_ << "\n";
}

std::string PulseTest::client(const std::string& role) const {
  return role + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

fs::path PulseTest::tone(int hz, double seconds, int rate) {
  std::ostringstream name, length;
  name << "tone-" << hz << "-" << seconds << "-" << rate << ".wav";
  length << seconds;
  const fs::path path = file(name.str());
  if (fs::exists(path)) return path;
  const Outcome run =
      runProgram({"sox", "-q", "-n", "-r", std::to_string(rate), "-c", "2", "-b", "16",
                  path.string(), "synth", length.str(), "sine", std::to_string(hz), "vol", "0.5"},
                 60s);
  if (run.status != 0) throw std::runtime_error("sox failed: " + run.err);
  return path;
}

fs::path PulseTest::noise(double seconds) {
  std::ostringstream length;
  length << seconds;
  const fs::path path = file("tone-noise-" + length.str() + ".wav");
  if (fs::exists(path)) return path;
  const Outcome run =
      runProgram({"sox", "-q", "-R", "-n", "-r", "48000", "-c", "2", "-b", "16", path.string(),
                  "synth", length.str(), "whitenoise", "vol", "0.5", "remix", "1", "1i"},
                 60s);
  if (run.status != 0) throw std::runtime_error("sox failed: " + run.err);
  return path;
}

std::vector<std::string> PulseTest::tapCommand(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv = {PT_PROCESS_TAP};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

}  // namespace pt::pulse_testing
