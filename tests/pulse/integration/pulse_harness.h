// Child processes, sound servers and recorded files for the tests that run the built process-tap
// against a real PulseAudio server.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pt::pulse_testing {

using namespace std::chrono_literals;

// Variables to set (or replace) in a child's environment; the rest is inherited.
using Environment = std::map<std::string, std::string>;

// A running child. The destructor kills and reaps it if it still runs, so a failing test never
// leaves a player or a recorder behind.
class Child {
 public:
  // stdin is /dev/null; stdout and stderr go to the files named (empty: /dev/null).
  Child(const std::vector<std::string>& argv, const Environment& environment = {},
        const std::filesystem::path& out = {}, const std::filesystem::path& err = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // The exit code, or 128 + the signal that ended it; nullopt if it still runs after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  void signal(int signal) const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

struct Outcome {
  std::optional<int> status;  // nullopt: killed after its timeout
  std::string out;
  std::string err;
};

// Runs to completion in `directory` (which receives its output files), killing it after
// `timeout`.
Outcome runProgram(const std::vector<std::string>& argv, const std::filesystem::path& directory,
                   std::chrono::milliseconds timeout, const Environment& environment = {});

std::string fileText(const std::filesystem::path& path);

// True when `pactl info` answers with `environment`.
bool serverAnswers(const Environment& environment = {});
// CI sets PT_REQUIRE_SOUND_SERVER=1: a missing server is then a failure, not a skip.
bool soundServerRequired();

enum class Server { pulseaudio, pipewire };

// A server of the test's own (scripts/pulse-test-server.sh or pipewire-test-server.sh), stopped
// on destruction.
class PrivateServer {
 public:
  explicit PrivateServer(const std::filesystem::path& scratch, Server kind = Server::pulseaudio);
  ~PrivateServer();
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  bool started() const { return !directory_.empty() && startError_.empty(); }
  const std::string& startError() const { return startError_; }
  // What a client needs to reach this server, and only this one.
  const Environment& environment() const { return environment_; }
  // PulseAudio's pid from its pid file; -1 if unreadable.
  pid_t daemonPid() const;

 private:
  std::filesystem::path scratch_;
  std::string script_;
  std::string directory_;
  std::string startError_;
  Environment environment_;
};

// Writes a stereo sine tone at half scale with sox.
void makeTone(const std::filesystem::path& file, double seconds, int hz, int rate = 48000);

// Waits until a playback stream of the client named `name` shows in `pactl list sink-inputs`.
bool waitForPlayback(const std::string& name, const Environment& environment = {},
                     std::chrono::milliseconds timeout = 10s);

// Waits until the sink that plays the client `name` renders less than 300 ms ahead: only then
// does a new monitor get sound at once. A sink that ran idle starts up to 2 s ahead.
bool waitForLowSinkLatency(const std::string& name, const Environment& environment = {},
                           std::chrono::milliseconds timeout = 4s);

// Waits until the process `pid` records from the server: a capture stream of its shows in
// `pactl list source-outputs`.
bool waitForCapture(pid_t pid, const Environment& environment = {},
                    std::chrono::milliseconds timeout = 10s);

// paplay playing `file` as the client `name`. 200 ms is a latency at which players do not
// starve on a loaded machine; 0 asks for none, under which a sink may render up to 2 s ahead.
std::vector<std::string> paplay(const std::string& name, const std::filesystem::path& file,
                                int latencyMs = 200);

// Runs `argv` until destroyed; visible once a stream of the client `name` (if any) plays.
class Player {
 public:
  Player(const std::vector<std::string>& argv, const std::string& name,
         const Environment& environment = {}, const std::filesystem::path& err = {});
  // paplay as the client `name`; visible once its sink has caught up with its latency. Its
  // underruns are counted (underruns()).
  Player(const std::string& name, const std::filesystem::path& file,
         const Environment& environment = {});
  pid_t pid() const { return child_.pid(); }
  bool visible() const { return visible_; }
  Child& child() { return child_; }

 private:
  Child child_;
  bool visible_;
};

// How often the players of this process have starved so far: the server then plays silence for
// them, which every recorder hears as a gap.
int underruns();

// The line process-tap prints after a recording.
struct Summary {
  std::string path;
  std::string targets;
  std::int64_t buffers = 0;
  std::int64_t frames = 0;
  std::int64_t sampleRate = 0;
  std::int64_t channels = 0;
};
// nullopt unless `text` is exactly one summary line.
std::optional<Summary> parseSummary(const std::string& text);

struct Audio {
  int majorFormat = 0;  // SF_FORMAT_TYPEMASK part
  int subtype = 0;      // SF_FORMAT_SUBMASK part
  int sampleRate = 0;
  int channels = 0;
  std::int64_t frames = 0;
  std::vector<float> samples;  // interleaved

  double seconds() const { return sampleRate > 0 ? double(frames) / sampleRate : 0; }
  // Amplitude of the sine at `hz` in one channel between two times (Goertzel); a full-scale
  // sine gives 1.
  double toneAmplitude(int channel, double hz, double from, double to) const;
};
// nullopt when libsndfile cannot read the file; `error` says why.
std::optional<Audio> readAudio(const std::filesystem::path& file, std::string& error);

}  // namespace pt::pulse_testing
