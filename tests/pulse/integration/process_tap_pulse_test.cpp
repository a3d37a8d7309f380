// The built process-tap against a real PulseAudio server: what it lists, which clients it hears,
// the files it writes, and how it ends on a signal, a vanished target or a dying server.
//
// Tests run in parallel against one shared server, so every client name is unique to its test;
// only KeywordsListingAndAutoChoice plays "Music" there. Tests that need to know every client
// (the global mix, the server's own state, its death, the sink's latency, native PipeWire
// clients) start a server of their own. A recording is judged as a listener would: from its first
// sound, which a loaded machine or a sink rendering ahead may delay, to its end, without a gap.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/pulse/integration/pulse_harness.h"

namespace pt::pulse_testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr int kRate = 48000;
constexpr double kLatestStart = 2.5;  // a sink rendering ahead hands over up to 2 s late
constexpr double kAudible = 0.2;      // the tones play at 0.5
constexpr double kToneSeconds = 30;   // outlasts every recording of a test

#define PT_NEED_SERVER(condition, why)                                     \
  do {                                                                     \
    if (!(condition)) {                                                    \
      if (soundServerRequired()) FAIL() << (why);                          \
      GTEST_SKIP() << (why) << " (set PT_REQUIRE_SOUND_SERVER=1 to fail)"; \
    }                                                                      \
  } while (false)

class ProcessTapPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    testName_ = info->name();
    dir_ = fs::temp_directory_path() /
           ("process-tap-pulse-" + std::to_string(::getpid()) + "-" + testName_);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  // A failed test keeps its recordings for inspection, not its large tones.
  void TearDown() override {
    if (!HasFailure()) {
      fs::remove_all(dir_);
      return;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_))
      if (entry.path().filename().string().starts_with("tone-")) fs::remove(entry.path());
    std::cerr << "recordings of the failed test kept in " << dir_ << "\n";
  }

  fs::path file(const std::string& name) const { return dir_ / name; }
  // A client name no other test uses.
  std::string client(const std::string& role) const { return role + "-" + testName_; }

  fs::path tone(int hz, double seconds = kToneSeconds, int rate = kRate) {
    std::ostringstream name;
    name << "tone-" << hz << "-" << seconds << "-" << rate << ".wav";
    const fs::path path = file(name.str());
    if (!fs::exists(path)) makeTone(path, seconds, hz, rate);
    return path;
  }

  std::vector<std::string> tapCommand(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv = {PT_PROCESS_TAP};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
  }
  Outcome tap(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
              const Environment& environment = {}) {
    return runProgram(tapCommand(arguments), dir_, timeout, environment);
  }

  fs::path dir_;
  std::string testName_;
};

class SharedServer : public ProcessTapPulse {
 protected:
  void SetUp() override {
    ProcessTapPulse::SetUp();
    PT_NEED_SERVER(serverAnswers(), "no sound server answers `pactl info`");
  }
};

std::string target(const std::string& name, pid_t pid) {
  return name + "(pid=" + std::to_string(pid) + ")";
}

// Reads `path`, failing the test when it cannot.
Audio audioOf(const fs::path& path) {
  std::string error;
  std::optional<Audio> audio = readAudio(path, error);
  EXPECT_TRUE(audio) << path << ": " << error;
  return audio.value_or(Audio{});
}

// When `hz` is first heard in channel 0, in steps of 10 ms; -1 if never.
double onset(const Audio& audio, int hz, double from = 0) {
  for (double at = from; at + 0.05 <= audio.seconds(); at += 0.01)
    if (audio.toneAmplitude(0, hz, at, at + 0.05) >= kAudible) return at;
  return -1;
}

// Both channels carry `hz` audibly in every 100 ms from its first sound (after `from`, by
// kLatestStart) up to `to`, so a late start or a gap fails; or it is heard nowhere.
void expectTone(const Audio& audio, int hz, bool present, double to = 1e9, double from = 0) {
  const double end = std::min(to, audio.seconds());
  if (!present) {
    for (int channel = 0; channel < audio.channels; ++channel)
      EXPECT_LT(audio.toneAmplitude(channel, hz, from, end), kAudible / 10) << hz << " Hz";
    return;
  }
  const double start = onset(audio, hz, from);
  ASSERT_GE(start, 0) << hz << " Hz never heard in " << audio.seconds() << " s";
  EXPECT_LE(start, from + kLatestStart) << hz << " Hz";
  const int starved = underruns();
  for (int channel = 0; channel < audio.channels; ++channel)
    for (double at = start; at + 0.1 <= end + 1e-9; at += 0.1)
      if (audio.toneAmplitude(channel, hz, at, at + 0.1) < kAudible) {
        // A gap the player made is in every recorder's copy; the tool is not to blame.
        if (starved > 0) return;
        ADD_FAILURE() << hz << " Hz missing in channel " << channel << " at "
                      << std::lround(at * 1000) << " ms, first heard at "
                      << std::lround(start * 1000) << " ms";
      }
}

// The duration, not a cycle short; a loaded machine may stop a little late.
void expectDuration(std::int64_t frames, double seconds, int rate = kRate) {
  EXPECT_GE(frames, std::llround(seconds * rate)) << frames << " frames";
  EXPECT_LE(frames, std::llround(seconds * rate * 1.02)) << frames << " frames";
}

TEST_F(SharedServer, KeywordsListingAndAutoChoice) {
  const std::string radio = client("Radio");
  Player music("Music", tone(440));
  Player other(radio, tone(1000));
  ASSERT_TRUE(music.visible());
  ASSERT_TRUE(other.visible());

  {
    SCOPED_TRACE("--list");
    const Outcome run = tap({file("unused.caf"), "1", "--list"}, 10s);
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.err, IsEmpty());
    EXPECT_FALSE(fs::exists(file("unused.caf")));
    for (const auto& [player, name] : {std::pair{&music, "Music"}, {&other, radio.c_str()}})
      EXPECT_THAT(run.out, HasSubstr("pid=" + std::to_string(player->pid()) +
                                     " active=true name=" + name + " bundle="));
  }

  struct Case {
    std::string keyword;
    std::string targets;
    bool hears440;
    bool hears1000;
  };
  const std::vector<Case> cases = {
      {"Music", target("Music", music.pid()), true, false},
      {"Music," + radio, target("Music", music.pid()) + "," + target(radio, other.pid()), true,
       true},
      {std::to_string(other.pid()), target(radio, other.pid()), false, true},
      {"auto", target("Music", music.pid()), true, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keyword);
    const fs::path out = file("keyword-" + std::to_string(n++) + ".wav");
    const Outcome run = tap({out, "1.2", c.keyword}, 15s);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.err, IsEmpty());
    const std::optional<Summary> summary = parseSummary(run.out);
    ASSERT_TRUE(summary) << run.out;
    EXPECT_EQ(summary->targets, c.targets);
    const Audio audio = audioOf(out);
    EXPECT_EQ(audio.frames, summary->frames);
    expectTone(audio, 440, c.hears440);
    expectTone(audio, 1000, c.hears1000);
  }
}

TEST_F(SharedServer, ContainersHoldEveryFrameOfTheSummary) {
  const std::string radio = client("Radio");
  Player player(radio, tone(440));
  ASSERT_TRUE(player.visible());
  struct Case {
    const char* extension;
    int majorFormat;
  };
  const std::vector<Case> cases = {{".caf", SF_FORMAT_CAF},
                                   {".wav", SF_FORMAT_WAVEX},
                                   {".aif", SF_FORMAT_AIFF},
                                   {".w64", SF_FORMAT_W64},
                                   {".rf64", SF_FORMAT_RF64}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extension);
    const fs::path out = file(std::string("two-seconds") + c.extension);
    const Outcome run = tap({out, "2", radio}, 15s);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.err, IsEmpty());
    const std::optional<Summary> summary = parseSummary(run.out);
    ASSERT_TRUE(summary) << run.out;
    EXPECT_EQ(summary->targets, target(radio, player.pid()));
    expectDuration(summary->frames, 2);

    const Audio audio = audioOf(out);
    EXPECT_EQ(audio.majorFormat, c.majorFormat);
    EXPECT_EQ(audio.subtype, SF_FORMAT_FLOAT);
    EXPECT_EQ(audio.sampleRate, kRate);
    EXPECT_EQ(audio.frames, summary->frames);
    expectTone(audio, 440, true);
  }
}

// The stream ends on its own (its 1.5-s file played out well before the recording's last second)
// or its client is killed half a second in.
TEST_F(SharedServer, TargetThatStopsPlayingLeavesSilence) {
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "played out");
    const std::string radio = client(killed ? "Killed" : "Ended");
    Player player(radio, killed ? tone(440) : tone(440, 1.5));
    ASSERT_TRUE(player.visible());
    const fs::path out = file(radio + ".wav");
    const fs::path stdoutFile = file(radio + ".out"), stderrFile = file(radio + ".err");
    Child recorder(tapCommand({out, "3", radio}), {}, stdoutFile, stderrFile);
    if (killed) {
      ASSERT_TRUE(waitForCapture(recorder.pid()));
      std::this_thread::sleep_for(500ms);
      player.child().signal(SIGKILL);
    }
    ASSERT_EQ(recorder.wait(15s), std::optional<int>(0)) << fileText(stderrFile);
    EXPECT_THAT(fileText(stderrFile), IsEmpty());
    const std::optional<Summary> summary = parseSummary(fileText(stdoutFile));
    ASSERT_TRUE(summary) << fileText(stdoutFile);
    expectDuration(summary->frames, 3);
    const Audio audio = audioOf(out);
    EXPECT_EQ(audio.frames, summary->frames);
    expectTone(audio, 440, true, 0.4);
    expectTone(audio, 440, false, 3, 2);
  }
}

TEST_F(ProcessTapPulse, UnreachableServerFailsBeforeAnyFile) {
  const Environment nowhere = {{"PULSE_SERVER", "unix:/nonexistent/native"}};
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"out.caf", "1", "--list"}, {"out.wav", "1", "auto"}}) {
    SCOPED_TRACE(arguments[2]);
    std::vector<std::string> absolute = arguments;
    absolute[0] = file(arguments[0]).string();
    const Outcome run = tap(absolute, 10s, nowhere);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "读取音频进程列表大小失败：1937010544\n");
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_FALSE(fs::exists(absolute[0]));
  }
}

// 32 players, each its own tone, all named so that the automatic choice passes over them: it
// records the whole mix, which the last of them joins once the recording runs. A list of their
// pids records the same.
TEST_F(ProcessTapPulse, EveryStreamOfAGlobalCaptureOrAListIsInTheFile) {
  PrivateServer server(dir_);
  PT_NEED_SERVER(server.started(), server.startError());
  const Environment& env = server.environment();
  const auto hzOf = [](int i) { return 400 + 60 * i; };
  std::vector<std::unique_ptr<Player>> players;
  std::string pids;
  // Small tones that outlast the start of 33 players on a loaded machine.
  const auto play = [&](const std::string& name, int hz) {
    return std::make_unique<Player>(paplay(name, tone(hzOf(hz), 40, 8000)), name, env);
  };
  for (int i = 0; i < 31; ++i) {
    players.push_back(play("Brindlex Tone " + std::to_string(i), i));
    ASSERT_TRUE(players.back()->visible()) << i;
    pids += std::to_string(players.back()->pid()) + ",";
  }
  tone(hzOf(31), 40, 8000);
  const fs::path global = file("global.caf"), out = file("global.out");
  Child recorder(tapCommand({global, "4", "auto"}), env, out);
  ASSERT_TRUE(waitForCapture(recorder.pid(), env));
  std::this_thread::sleep_for(500ms);
  players.push_back(play("Brindlex Late", 31));
  pids += std::to_string(players.back()->pid());
  ASSERT_EQ(recorder.wait(20s), std::optional<int>(0));
  const std::optional<Summary> summary = parseSummary(fileText(out));
  ASSERT_TRUE(summary) << fileText(out);
  EXPECT_EQ(summary->targets, "全局系统音频(pid=0)");
  Audio audio = audioOf(global);
  // Heard, each of them: under this many players a loaded server may leave gaps in all of them.
  for (int i = 0; i < 32; ++i) EXPECT_GE(onset(audio, hzOf(i)), 0) << hzOf(i) << " Hz";

  const Outcome run = tap({file("list.wav"), "1.5", pids}, 20s, env);
  ASSERT_EQ(run.status, 0) << run.err;
  audio = audioOf(file("list.wav"));
  for (int i = 0; i < 32; ++i) EXPECT_GE(onset(audio, hzOf(i)), 0) << hzOf(i) << " Hz";
}

// Native PipeWire clients (pw-play, GStreamer's pipewiresink) carry their pid on their client
// only, not on their streams. They may glitch on a loaded machine, so only hearing them counts.
TEST_F(ProcessTapPulse, NativePipeWireClientsAreRecordedByNamePidAndGlobally) {
  PrivateServer server(dir_, Server::pipewire);
  PT_NEED_SERVER(server.started(), server.startError());
  const Environment& env = server.environment();
  // Copies named so that the automatic choice passes over them, for a global capture.
  for (const char* program : {"pw-cat", "gst-launch-1.0"}) {
    const Outcome where = runProgram({"sh", "-c", "command -v $0", program}, dir_, 5s);
    ASSERT_EQ(where.status, 0) << program << " is missing (scripts/setup-debian.sh)";
    fs::copy_file(where.out.substr(0, where.out.find('\n')),
                  file(std::string("brindlex-") + program));
  }
  Player pw({file("brindlex-pw-cat"), "--playback", "--latency=100ms", tone(440)},
            "brindlex-pw-cat", env);
  Player gst({file("brindlex-gst-launch-1.0"), "-q", "audiotestsrc", "freq=1000", "volume=0.5", "!",
              "audio/x-raw,rate=48000,channels=2", "!", "pipewiresink"},
             "", env);
  // The listing shows them playing (GStreamer's stream has no name to wait for).
  const auto active = [&](pid_t pid) { return "pid=" + std::to_string(pid) + " active=true"; };
  std::string listing;
  for (int i = 0; i < 50 && !(listing.find(active(pw.pid())) != std::string::npos &&
                              listing.find(active(gst.pid())) != std::string::npos);
       ++i, std::this_thread::sleep_for(200ms))
    listing = tap({file("unused.wav"), "1", "--list"}, 10s, env).out;
  EXPECT_THAT(listing, HasSubstr(active(pw.pid())));
  EXPECT_THAT(listing, HasSubstr(active(gst.pid())));
  struct Case {
    std::string keyword;
    bool hears440, hears1000;
  };
  for (const Case& c : {Case{"brindlex-pw", true, false},
                        Case{std::to_string(gst.pid()), false, true}, Case{"auto", true, true}}) {
    SCOPED_TRACE(c.keyword);
    const fs::path out = file("native-" + c.keyword + ".wav");
    const Outcome run = tap({out, "1.5", c.keyword}, 15s, env);
    ASSERT_EQ(run.status, 0) << run.err;
    const Audio audio = audioOf(out);
    for (const auto& [hz, heard] : {std::pair{440, c.hears440}, std::pair{1000, c.hears1000}})
      EXPECT_EQ(onset(audio, hz) >= 0, heard) << hz << " Hz";
  }
}

// A loaded machine delivers the streams late; the file still has no gap and its full length.
// The load is bounded: it ends with the test, or on its own after 30 s.
TEST_F(SharedServer, ARecordingUnderLoadHasNoGap) {
  const std::string radio = client("Radio");
  Player player(radio, tone(440));
  ASSERT_TRUE(player.visible());
  const std::vector<std::string> spin = {"timeout", "30", "nice", "-n",
                                         "19",      "sh", "-c",   "while :; do :; done"};
  Child cpu1(spin), cpu2(spin);
  Child disk({"timeout", "30", "nice", "-n", "19", "sh", "-c",
              "while :; do dd if=/dev/zero of=\"$0\" bs=1M count=64 conv=fsync 2>/dev/null; done",
              file("load").string()});
  const Outcome run = tap({file("loaded.wav"), "4", radio}, 20s);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::optional<Summary> summary = parseSummary(run.out);
  ASSERT_TRUE(summary) << run.out;
  expectDuration(summary->frames, 4);
  expectTone(audioOf(file("loaded.wav")), 440, true);
}

// What the server holds that a recording may add: modules, sinks, sources, capture streams.
std::string serverState(const fs::path& dir, const Environment& env) {
  std::string state;
  for (const char* kind : {"modules", "sinks", "sources", "source-outputs"})
    state += runProgram({"pactl", "list", "short", kind}, dir, 10s, env).out;
  return state;
}

TEST_F(ProcessTapPulse, RunsLeaveTheServerAsTheyFoundIt) {
  PrivateServer server(dir_);
  PT_NEED_SERVER(server.started(), server.startError());
  const Environment& env = server.environment();
  const std::string radio = client("Radio");
  Player player(radio, tone(440), env);
  ASSERT_TRUE(player.visible());
  const std::string before = serverState(dir_, env);
  const auto expectBefore = [&] {
    // The server notices a closed connection shortly after the exit.
    std::string now;
    for (int i = 0; i < 40 && (now = serverState(dir_, env)) != before; ++i)
      std::this_thread::sleep_for(50ms);
    EXPECT_EQ(now, before);
  };

  {
    SCOPED_TRACE("a whole recording");
    const Outcome run = tap({file("whole.wav"), "0.5", radio}, 10s, env);
    EXPECT_EQ(run.status, 0) << run.err;
    expectBefore();
  }
  {
    SCOPED_TRACE("a failed one");
    const Outcome run = tap({file("nobody.wav"), "0.5", "Nobody"}, 10s, env);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "未找到音频进程：Nobody\n");
    EXPECT_FALSE(fs::exists(file("nobody.wav")));
    expectBefore();
  }
  // A signal ends the recording with a complete file.
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
    const fs::path out = file("interrupted.caf"), stdoutFile = file("interrupted.out");
    Child recorder(tapCommand({out, "10", radio}), env, stdoutFile, file("interrupted.err"));
    // Until the recording runs, an interrupt ends the process as usual: wait for it, which under a
    // sanitizer may take longer than any fixed delay.
    ASSERT_TRUE(waitForCapture(recorder.pid(), env));
    std::this_thread::sleep_for(1s);
    recorder.signal(signal);
    ASSERT_EQ(recorder.wait(3s), std::optional<int>(0)) << fileText(file("interrupted.err"));
    EXPECT_THAT(fileText(file("interrupted.err")), IsEmpty());
    const std::optional<Summary> summary = parseSummary(fileText(stdoutFile));
    ASSERT_TRUE(summary) << fileText(stdoutFile);
    const Audio audio = audioOf(out);
    EXPECT_EQ(audio.frames, summary->frames);
    EXPECT_GE(audio.seconds(), 0.7);
    EXPECT_LE(audio.seconds(), 1.5);
    expectTone(audio, 440, true);
    expectBefore();
  }
}

// A sink that renders far ahead hands its monitors nothing until its next wake-up; what arrives
// after that must be whole. The sink runs at 44100 Hz: samples taken at one rate and labelled
// with another would move the tone off 440 Hz.
TEST_F(ProcessTapPulse, PlayerWithoutLatencyWishIsHeardLateButWithoutGapAtTheSinksRate) {
  PrivateServer server(dir_);
  PT_NEED_SERVER(server.started(), server.startError());
  const Environment& env = server.environment();
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"pactl", "load-module", "module-null-sink", "sink_name=slow",
                                 "rate=44100"},
        {"pactl", "set-default-sink", "slow"}})
    ASSERT_EQ(runProgram(command, dir_, 10s, env).status, 0);
  const std::string radio = client("Radio");
  Player player(paplay(radio, tone(440, kToneSeconds, 44100), 0), radio, env);
  ASSERT_TRUE(player.visible());
  const Outcome run = tap({file("late.wav"), "3.5", radio}, 15s, env);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::optional<Summary> summary = parseSummary(run.out);
  ASSERT_TRUE(summary) << run.out;
  expectDuration(summary->frames, 3.5, 44100);
  const Audio audio = audioOf(file("late.wav"));
  EXPECT_EQ(audio.sampleRate, 44100);
  expectTone(audio, 440, true);
}

TEST_F(ProcessTapPulse, DyingServerEndsTheRecordingWithWhatItHeard) {
  PrivateServer server(dir_);
  PT_NEED_SERVER(server.started(), server.startError());
  Player music("Music", tone(440), server.environment());
  ASSERT_TRUE(music.visible());
  const pid_t daemon = server.daemonPid();
  ASSERT_GT(daemon, 0);

  const fs::path out = file("cut-short.caf");
  const fs::path stdoutFile = file("cut-short.out"), stderrFile = file("cut-short.err");
  Child recorder(tapCommand({out, "10", "Music"}), server.environment(), stdoutFile, stderrFile);
  ASSERT_TRUE(waitForCapture(recorder.pid(), server.environment()));
  std::this_thread::sleep_for(1s);
  ASSERT_EQ(::kill(daemon, SIGKILL), 0);
  const std::optional<int> status = recorder.wait(2500ms);
  ASSERT_TRUE(status) << "still recording 2.5 s after the server died";
  EXPECT_EQ(*status, 1);
  const std::string err = fileText(stderrFile);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_TRUE(err.size() > 1 && err.back() == '\n') << err;
  const std::optional<Summary> summary = parseSummary(fileText(stdoutFile));
  ASSERT_TRUE(summary) << fileText(stdoutFile);
  EXPECT_EQ(summary->targets, target("Music", music.pid()));
  const Audio audio = audioOf(out);
  EXPECT_EQ(audio.frames, summary->frames);
  EXPECT_GE(audio.seconds(), 0.7);
  EXPECT_LE(audio.seconds(), 3.5);
  expectTone(audio, 440, true, 0.7);
}

}  // namespace
}  // namespace pt::pulse_testing
