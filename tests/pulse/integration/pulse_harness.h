// Child processes, sound servers and recorded files for the tests that run the built process-tap
// against a real PulseAudio or PipeWire server.
#pragma once

#include <gtest/gtest.h>
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
namespace fs = std::filesystem;

// Variables to set (or replace) in a child's environment; the rest is inherited.
using Environment = std::map<std::string, std::string>;

// A running child, killed and reaped on destruction, so a failing test leaves nothing behind.
// stdin is /dev/null; stdout and stderr go to the files named (empty: /dev/null).
class Child {
 public:
  Child(const std::vector<std::string>& argv, const Environment& environment = {},
        const fs::path& out = {}, const fs::path& err = {});
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
Outcome runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                   const Environment& environment = {});
std::string fileText(const fs::path& path);

// CI sets PT_REQUIRE_SOUND_SERVER=1: a missing server is then a failure, not a skip.
#define PT_NEED_SERVER(condition, why)                                     \
  do {                                                                     \
    if (!(condition)) {                                                    \
      if (::pt::pulse_testing::soundServerRequired()) FAIL() << (why);     \
      GTEST_SKIP() << (why) << " (set PT_REQUIRE_SOUND_SERVER=1 to fail)"; \
    }                                                                      \
  } while (false)
bool soundServerRequired();
bool serverAnswers();  // `pactl info` answers

enum class Server { pulseaudio, pipewire };
// The kind of the server `pactl info` reaches.
Server serverKind(const Environment& environment = {});

// A server of the test's own (scripts/pulse-test-server.sh or pipewire-test-server.sh), stopped
// on destruction.
class PrivateServer {
 public:
  explicit PrivateServer(Server kind = Server::pulseaudio);
  ~PrivateServer();
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  bool started() const { return startError_.empty(); }
  const std::string& startError() const { return startError_; }
  // What a client needs to reach this server, and only this one.
  const Environment& environment() const { return environment_; }
  // Its processes: PulseAudio's daemon, or PipeWire's, WirePlumber's and pipewire-pulse's.
  std::vector<pid_t> daemonPids() const;

 private:
  Server kind_;
  std::string script_;
  std::string directory_;
  std::string startError_;
  Environment environment_;
};

// Waits until the process `pid` records: a capture stream of its shows on the server.
bool waitForCapture(pid_t pid, const Environment& environment = {});

// paplay as the client `name`. 200 ms is a latency at which players do not starve on a loaded
// machine; 0 asks for none, under which a sink may render up to 2 s ahead.
std::vector<std::string> paplay(const std::string& name, const fs::path& file, int latencyMs = 200);

// Runs `argv` until destroyed; visible once a stream of the client `name` (if any) plays.
class Player {
 public:
  Player(const std::vector<std::string>& argv, const std::string& name,
         const Environment& environment = {});
  // paplay as `name`, visible once its sink also renders less than 300 ms ahead: only then does
  // a new monitor get sound at once. Its underruns count in underruns().
  Player(const std::string& name, const fs::path& file, const Environment& environment = {});
  pid_t pid() const { return child_.pid(); }
  bool visible() const { return visible_; }
  Child& child() { return child_; }

 private:
  Child child_;
  bool visible_;
};
// A source `name` playing the tone `hz` (`tone`, its file) for the object's life, a microphone's
// stand-in: module-sine-source, or where the server has none (pipewire-pulse), a null sink of its
// own whose monitor is remapped into a source, the tone played on that sink.
class Microphone {
 public:
  Microphone(const std::string& name, const fs::path& tone, int hz);
  ~Microphone() { unload(); }
  Microphone(const Microphone&) = delete;
  Microphone& operator=(const Microphone&) = delete;
  void unload();
  bool loaded() const { return loaded_ && (!player_ || player_->visible()); }

 private:
  bool load(std::vector<std::string> arguments);
  std::vector<std::string> modules_;  // unloaded last first
  bool loaded_ = false;
  std::optional<Player> player_;
};

// How often the players have starved so far: the server then plays silence for them, which
// every recorder hears as a gap.
int underruns();

// The line process-tap prints after a recording; nullopt unless `text` is exactly that line.
struct Summary {
  std::string targets;
  std::int64_t frames = 0;
};
std::optional<Summary> parseSummary(const std::string& text);

struct Audio {
  int sampleRate = 0;
  int channels = 0;
  std::int64_t frames = 0;
  std::vector<float> samples;  // interleaved

  double seconds() const { return sampleRate > 0 ? double(frames) / sampleRate : 0; }
  // Amplitude of the sine at `hz` in one channel between two times; a full-scale sine gives 1.
  double toneAmplitude(int channel, double hz, double from, double to) const;
};
// The file's audio; a test failure when libsndfile cannot read it.
Audio audioOf(const fs::path& file);

// A stretch of a recording: frames that follow one another in a source (`from`: the source's
// frame at `at`), silence (`from` -1), or frames found nowhere in it (`from` -2).
struct Stretch {
  std::int64_t at = 0, frames = 0, from = -1;
  std::int64_t offset() const { return from - at; }  // the same all along: no frame lost or added
};
// The recording as stretches of `source`, a stereo recording of noise whose every four frames
// are unique (from a recording's first sound on, that is: nothing before it is judged).
std::vector<Stretch> stretchesOf(const Audio& recorded, const Audio& source);

// When `hz` is first heard in channel 0, in steps of 10 ms; -1 if never.
double onset(const Audio& audio, int hz, double from = 0);
// Both channels carry `hz` audibly in every 100 ms from its first sound (after `from`, by 2.5 s:
// a sink rendering ahead hands over up to 2 s late) up to `to`, so a late start or a gap fails;
// or it is heard nowhere. A gap is forgiven when a player starved: every recorder has it.
void expectTone(const Audio& audio, int hz, bool present, double to = 1e9, double from = 0);
// The duration, not a cycle short; a loaded machine may wake the recorder to stop up to 250 ms
// late.
void expectDuration(std::int64_t frames, double seconds, int rate = 48000);
std::string target(const std::string& name, pid_t pid);  // as the summary names it

// A scratch folder per test, kept with its recordings when the test fails.
class PulseTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  fs::path file(const std::string& name) const { return dir_ / name; }
  // A client name no other test uses: tests share the server of the environment.
  std::string client(const std::string& role) const;
  // A stereo sine at half scale, 30 s by default: longer than any recording.
  fs::path tone(int hz, double seconds = 30, int rate = 48000);
  // White noise at half scale, right the inverted left, so that a frame lost, added or swapped
  // shows: 16-bit, 48 kHz.
  fs::path noise(double seconds);
  std::vector<std::string> tapCommand(const std::vector<std::string>& arguments) const;
  Outcome tap(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
              const Environment& environment = {}) {
    return runProgram(tapCommand(arguments), timeout, environment);
  }

  fs::path dir_;
};

}  // namespace pt::pulse_testing
