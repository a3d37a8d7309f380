// The built process-tap against a real PulseAudio server: what it lists, which clients it hears,
// the files it writes, and how it ends on a signal, a vanished target or a dying server.
//
// Tests run in parallel against the server of the environment, so every client name is unique to
// its test; only KeywordsListingAndAutoChoice plays "Music" there. Tests that need to know every
// client start a server of their own. A recording is judged as a listener would: from its first
// sound, which a loaded machine or a sink rendering ahead may delay, to its end, without a gap.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "audio/property_access.h"
#include "processes/inventory.h"
#include "tests/pulse/integration/pulse_harness.h"

namespace pt::pulse_testing {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

class SharedServer : public PulseTest {
 protected:
  void SetUp() override {
    PulseTest::SetUp();
    PT_NEED_SERVER(serverAnswers(), "no sound server answers `pactl info`");
  }
};
using ProcessTapPulse = PulseTest;
// Too heavy for a sanitizer's build on 2 cores: CI runs them in the plain build only.
using HeavyPulse = PulseTest;

TEST_F(SharedServer, KeywordsListingAndAutoChoice) {
  const std::string radio = client("Radio");
  Player music("Music", tone(440));
  Player other(radio, tone(1000));
  ASSERT_TRUE(music.visible());
  ASSERT_TRUE(other.visible());

  const Outcome list = tap({file("unused.caf"), "1", "--list"}, 30s);
  EXPECT_EQ(list.status, 0);
  EXPECT_THAT(list.err, IsEmpty());
  EXPECT_FALSE(fs::exists(file("unused.caf")));
  for (const auto& [player, name] : {std::pair{&music, "Music"}, {&other, radio.c_str()}})
    EXPECT_THAT(list.out, HasSubstr("pid=" + std::to_string(player->pid()) +
                                    " active=true name=" + name + " bundle="));

  struct Case {
    std::string keyword;
    std::string targets;
    bool hears440, hears1000;
  };
  const std::string both = target("Music", music.pid()) + "," + target(radio, other.pid());
  for (const Case& c : {Case{"Music", target("Music", music.pid()), true, false},
                        Case{"Music," + radio, both, true, true},
                        Case{std::to_string(other.pid()), target(radio, other.pid()), false, true},
                        Case{"auto", target("Music", music.pid()), true, false}}) {
    SCOPED_TRACE(c.keyword);
    const fs::path out = file("keyword.caf");
    const Outcome run = tap({out, "2", c.keyword}, 60s);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.err, IsEmpty());
    const std::optional<Summary> summary = parseSummary(run.out);
    ASSERT_TRUE(summary) << run.out;
    EXPECT_EQ(summary->targets, c.targets);
    expectDuration(summary->frames, 2);
    const Audio audio = audioOf(out);
    EXPECT_EQ(audio.frames, summary->frames);
    expectTone(audio, 440, c.hears440);
    expectTone(audio, 1000, c.hears1000);
  }
}

// A call kept as a file per side, and everything but one player. Tones of their own: the global
// mix holds the other tests' players too.
// Two players and a microphone into three files that line up; then an exclusion of one player.
TEST_F(SharedServer, AFilePerTargetTheMicrophoneAndAnExclusion) {
  const std::string near = client("Near"), far = client("Far"), mic = client("mic");
  const Microphone source(mic, tone(660), 660);
  ASSERT_TRUE(source.loaded());
  // The device is found by the name the listing gives it.
  const Outcome listed = tap({file("x.wav"), "1", "--list"}, 30s);
  std::smatch line;
  ASSERT_TRUE(std::regex_search(
      listed.out, line,
      std::regex("\ninput default=(true|false) channels=([0-9]+) uid=" + mic + " name=([^\n]*)\n")))
      << listed.out;
  const std::string device = line[3];
  const int channels = std::stoi(line[2]);
  // The players start last: one visible is heard at once only while its sink renders little ahead.
  Player a(near, tone(523)), b(far, tone(1319));
  ASSERT_TRUE(a.visible());
  ASSERT_TRUE(b.visible());

  const Outcome call = tap({file("call-{name}.wav"), "3", near + "," + far + ",@" + device}, 60s);
  ASSERT_EQ(call.status, 0) << call.err;
  EXPECT_THAT(call.err, IsEmpty());
  EXPECT_THAT(
      call.out,
      HasSubstr(
          "wrote=" + file("call-" + near + ".wav").string() + " targets=" + target(near, a.pid()) +
          " wrote=" + file("call-" + far + ".wav").string() + " targets=" + target(far, b.pid()) +
          " wrote=" + file("call-" + device + ".wav").string() + " input=" + device + " buffers="));
  const Audio nearSide = audioOf(file("call-" + near + ".wav"));
  const Audio farSide = audioOf(file("call-" + far + ".wav"));
  const Audio voice = audioOf(file("call-" + device + ".wav"));
  expectDuration(nearSide.frames, 3);
  EXPECT_EQ(nearSide.frames, farSide.frames) << "the files share the device's time line";
  EXPECT_EQ(nearSide.frames, voice.frames) << "the microphone's too";
  EXPECT_EQ(voice.channels, channels) << "the microphone's own channels";
  expectTone(nearSide, 523, true);
  expectTone(nearSide, 1319, false);
  expectTone(nearSide, 660, false);
  expectTone(farSide, 1319, true);
  expectTone(farSide, 523, false);
  // PulseAudio's sine source is the server's own and never pauses; pipewire-pulse's stand-in is a
  // player, whose stream may pause when the graph is relinked for the recording.
  if (serverKind() == Server::pulseaudio)
    expectTone(voice, 660, true);
  else
    EXPECT_GE(onset(voice, 660), 0) << "660 Hz never heard";
  expectTone(voice, 523, false);

  const Outcome all = tap({file("all.wav"), "2", "-" + far}, 60s);
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_THAT(all.out, HasSubstr(" targets=全局系统音频(pid=0) excluded=" + target(far, b.pid()) +
                                 " buffers="));
  const Audio rest = audioOf(file("all.wav"));
  expectTone(rest, 523, true);
  expectTone(rest, 1319, false);
}

// OUTPUT "-": a WAV stream that sox takes as it comes, long before the recording ends, and the
// summary on standard error.
TEST_F(SharedServer, ThePipeIsReadLive) {
  const std::string radio = client("Piped");
  Player player(radio, tone(523));
  ASSERT_TRUE(player.visible());
  // The reader notes when its first bytes came and when the stream ended, then hands it to sox.
  const std::string reader =
      "import sys, time, subprocess\n"
      "sox = subprocess.Popen(['sox', '-q', '-t', 'wav', '-', sys.argv[1]], "
      "stdin=subprocess.PIPE)\n"
      "chunk = sys.stdin.buffer.read1(65536); first = time.monotonic()\n"
      "while chunk: sox.stdin.write(chunk); chunk = sys.stdin.buffer.read1(65536)\n"
      "print(time.monotonic() - first); sox.stdin.close(); sys.exit(sox.wait())\n";
  std::string command;
  for (const std::string& word : tapCommand({"-", "3", radio})) command += "'" + word + "' ";
  const Outcome run = runProgram(
      {"sh", "-c", command + "2>'" + file("err").string() + "' | python3 -c \"$0\" \"$1\"", reader,
       file("piped.wav")},
      60s);
  ASSERT_EQ(run.status, 0) << fileText(file("err"));
  EXPECT_GT(std::stod(run.out), 1.5) << "the stream came all at once, at the end";
  const std::optional<Summary> summary = parseSummary(fileText(file("err")));
  ASSERT_TRUE(summary) << fileText(file("err"));
  const Audio audio = audioOf(file("piped.wav"));
  EXPECT_EQ(audio.frames, summary->frames);
  expectDuration(audio.frames, 3);
  expectTone(audio, 523, true);
}

// The stream ends on its own (its 1.5-s file played out well before the recording's last second)
// or its client is killed half a second in.
TEST_F(SharedServer, TargetThatStopsPlayingLeavesSilence) {
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "played out");
    const std::string radio = client(killed ? "Killed" : "Ended");
    Player player(radio, killed ? tone(440) : tone(440, 1.5));
    ASSERT_TRUE(player.visible());
    const fs::path out = file(radio + ".wav"), stdoutFile = file("out"), stderrFile = file("err");
    Child recorder(tapCommand({out, "3", radio}), {}, stdoutFile, stderrFile);
    if (killed) {
      ASSERT_TRUE(waitForCapture(recorder.pid()));
      std::this_thread::sleep_for(500ms);
      player.child().signal(SIGKILL);
    }
    ASSERT_EQ(recorder.wait(60s), std::optional<int>(0)) << fileText(stderrFile);
    EXPECT_THAT(fileText(stderrFile), IsEmpty());
    const std::optional<Summary> summary = parseSummary(fileText(stdoutFile));
    ASSERT_TRUE(summary) << fileText(stdoutFile);
    expectDuration(summary->frames, 3);
    const Audio audio = audioOf(out);
    expectTone(audio, 440, true, 0.4);
    expectTone(audio, 440, false, 3, 2);
  }
}

// An inventory answers from one view of the server: a client that joins between its reads is in
// none of them, so that every process object has its application.
TEST_F(SharedServer, AnInventoryReadsOneViewOfTheServer) {
  const std::unique_ptr<Platform> native = makeNativePlatform();
  Platform* const previous = installPlatform(native.get());
  const std::vector<RunningApplication> applications = platform().runningApplications();
  Player joiner(client("Joiner"), tone(440));
  ASSERT_TRUE(joiner.visible());
  const std::vector<AudioObjectID> objects = readProcessList();
  EXPECT_FALSE(objects.empty());
  for (const AudioObjectID object : objects) {
    const std::int32_t pid = object.read<std::int32_t>(kAudioProcessPropertyPID, -1);
    EXPECT_TRUE(
        std::any_of(applications.begin(), applications.end(),
                    [&](const RunningApplication& a) { return a.processIdentifier == pid; }))
        << pid << (pid == joiner.pid() ? " (the joiner)" : "");
  }
  installPlatform(previous);
}

// The server keeps a stopped recorder's backlog and hands it over when it runs again: all of it
// reaches the file, as parec's holds it.
TEST_F(SharedServer, ARecorderStoppedForSecondsKeepsWhatTheServerKept) {
  const std::string radio = client("Radio");
  const fs::path noise = this->noise(30);
  Player player(paplay(radio, noise, 500), radio);
  ASSERT_TRUE(player.visible());
  const fs::path out = file("stopped.wav"), stdoutFile = file("out"), stderrFile = file("err");
  Child recorder(tapCommand({out, "7", radio}), {}, stdoutFile, stderrFile);
  ASSERT_TRUE(waitForCapture(recorder.pid()));
  std::this_thread::sleep_for(1s);
  recorder.signal(SIGSTOP);
  std::this_thread::sleep_for(3s);
  recorder.signal(SIGCONT);
  ASSERT_EQ(recorder.wait(60s), std::optional<int>(0)) << fileText(stderrFile);
  EXPECT_THAT(fileText(stderrFile), IsEmpty());
  const Audio recorded = audioOf(out);
  EXPECT_EQ(recorded.frames, 7 * 48000);
  const std::vector<Stretch> runs = stretchesOf(recorded, audioOf(noise));
  ASSERT_FALSE(runs.empty());
  EXPECT_TRUE((runs.size() == 1 && runs[0].from >= 0) || underruns() > 0) << runs.size() << " runs";
}

// Stopped for longer than a server keeps a backlog (PipeWire under a second; PulseAudio holds
// about a dozen seconds of 48 kHz stereo float, more or less by run), the recorder loses audio at
// the server: measured, reported, and silence of its length in its place, so that the file holds
// the duration and what follows the gap is where it was played. Never a gap unreported.
TEST_F(SharedServer, ARecorderStoppedLongerThanTheServerKeepsLosesOnlyWhatItReports) {
  const std::string radio = client("Radio");
  const fs::path noise = this->noise(40);
  Player player(paplay(radio, noise, 500), radio);
  ASSERT_TRUE(player.visible());
  const fs::path out = file("lost.wav"), stdoutFile = file("out"), stderrFile = file("err");
  Child recorder(tapCommand({out, "26", radio}), {}, stdoutFile, stderrFile);
  ASSERT_TRUE(waitForCapture(recorder.pid()));
  // Once the audio flows: a sink rendering ahead hands a new stream up to 2 s at once, of which
  // the time before a stop does not tell.
  std::this_thread::sleep_for(3s);
  recorder.signal(SIGSTOP);
  std::this_thread::sleep_for(20s);
  recorder.signal(SIGCONT);
  const std::optional<int> status = recorder.wait(60s);
  ASSERT_TRUE(status == 0 || status == 1);
  const Audio recorded = audioOf(out);
  EXPECT_EQ(recorded.frames, 26 * 48000);
  const std::vector<Stretch> runs = stretchesOf(recorded, audioOf(noise));
  const std::string err = fileText(stderrFile);
  if (*status == 0) {
    EXPECT_THAT(err, IsEmpty());
    EXPECT_TRUE((runs.size() == 1 && runs[0].from >= 0) || underruns() > 0) << runs.size();
    return;
  }
  static const std::regex reported("录音丢失了音频：音频系统丢弃了 ([0-9.]+) 秒音频\n.*");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(err, match, reported)) << err;
  const double lost = std::stod(match[1]);
  // The audio before the gap and after it, each where it was played; between them the gap, and
  // on PulseAudio the scraps a full queue still took now and then (measured with the gap).
  std::int64_t silence = 0, scraps = 0;
  const Stretch* before = nullptr;
  const Stretch* after = nullptr;
  for (const Stretch& run : runs) {
    if (run.from >= 0 && run.frames >= 48000 / 2) (before ? after : before) = &run;
    if (before && !after && &run != before) (run.from == -1 ? silence : scraps) += run.frames;
  }
  ASSERT_TRUE(before && after) << runs.size() << " runs";
  EXPECT_NEAR(double(silence) / 48000, lost, 0.05);
  EXPECT_LT(scraps, 48000 / 2);
  EXPECT_NEAR(double(after->offset() - before->offset()) / 48000, 0, 0.25);
}

// Nothing listens, or a socket takes the connection and never answers: given up after a wait.
TEST_F(ProcessTapPulse, UnreachableServerFailsBeforeAnyFile) {
  const fs::path silent = file("silent.sock");
  Child listener(
      {"python3", "-c",
       "import socket, sys, time\n"
       "s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); s.listen(); time.sleep(90)",
       silent});
  for (int i = 0; i < 100 && !fs::exists(silent); ++i) std::this_thread::sleep_for(50ms);
  for (const auto& [server, keyword] : {std::pair{"/nonexistent/native", "--list"},
                                        {"/nonexistent/native", "auto"},
                                        {silent.c_str(), "--list"}}) {
    SCOPED_TRACE(std::string(server) + " " + keyword);
    const Outcome run = tap({file("out.wav"), "1", keyword}, 60s,
                            {{"PULSE_SERVER", std::string("unix:") + server}});
    EXPECT_EQ(run.status, 1);
    // The status, then where the server was looked for; no usage line.
    EXPECT_EQ(
        run.err,
        "读取音频进程列表大小失败：1937010544\n无法连接声音服务器：PULSE_SERVER 指定的 unix:" +
            std::string(server) +
            " 没有应答；PulseAudio 或 pipewire-pulse 是否在运行，PULSE_SERVER 是否正确？\n");
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_FALSE(fs::exists(file("out.wav")));
  }
  // Ctrl-C ends that wait at once, also for a tool started with it ignored (a script's `&`).
  std::vector<std::string> ignoring = {"sh", "-c", "trap '' INT; exec \"$0\" \"$@\""};
  for (const std::string& argument : tapCommand({file("out.wav"), "1", "--list"}))
    ignoring.push_back(argument);
  Child waiting(ignoring, {{"PULSE_SERVER", std::string("unix:") + silent.c_str()}});
  std::this_thread::sleep_for(500ms);
  waiting.signal(SIGINT);
  EXPECT_EQ(waiting.wait(2s), std::optional<int>(128 + SIGINT));
}

// 32 players, each its own tone, all named so that the automatic choice passes over them: it
// records the whole mix, which the last of them joins once the recording runs. A list of their
// pids records the same. Under this many players a loaded server may leave gaps in all of them,
// so hearing each is what counts.
TEST_F(HeavyPulse, EveryStreamOfAGlobalCaptureOrAListIsInTheFile) {
  PrivateServer server;
  PT_NEED_SERVER(server.started(), server.startError());
  const Environment& env = server.environment();
  const auto hzOf = [](int i) { return 400 + 60 * i; };
  std::vector<std::unique_ptr<Player>> players;
  std::string pids;
  // Small tones that outlast the start of 33 players on a loaded machine.
  const auto play = [&](const std::string& name, int i) {
    players.push_back(std::make_unique<Player>(paplay(name, tone(hzOf(i), 60, 8000)), name, env));
    pids += (pids.empty() ? "" : ",") + std::to_string(players.back()->pid());
    return players.back()->visible();
  };
  for (int i = 0; i < 31; ++i) ASSERT_TRUE(play("Brindlex Tone " + std::to_string(i), i)) << i;
  tone(hzOf(31), 60, 8000);
  const fs::path global = file("global.caf"), out = file("global.out");
  Child recorder(tapCommand({global, "5", "auto"}), env, out);
  ASSERT_TRUE(waitForCapture(recorder.pid(), env));
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(play("Brindlex Late", 31));
  // Stopping waits for the streams' data up to the stop, which a starved server hands over late.
  ASSERT_EQ(recorder.wait(120s), std::optional<int>(0));
  const std::optional<Summary> summary = parseSummary(fileText(out));
  ASSERT_TRUE(summary) << fileText(out);
  EXPECT_EQ(summary->targets, "全局系统音频(pid=0)");
  // A player the server starved plays silence to every recorder: its own log says so.
  const auto expectEveryTone = [&](const Audio& audio) {
    for (int i = 0; i < 32; ++i)
      EXPECT_TRUE(onset(audio, hzOf(i)) >= 0 || underruns() > 0) << hzOf(i) << " Hz";
  };
  expectEveryTone(audioOf(global));
  const Outcome run = tap({file("list.wav"), "3", pids}, 120s, env);
  ASSERT_EQ(run.status, 0) << run.err;
  expectEveryTone(audioOf(file("list.wav")));
}

// Native PipeWire clients (pw-play, GStreamer's pipewiresink) carry their pid on their client
// only, not on their streams. On a loaded machine pipewiresink may fall silent for seconds, in
// the sink itself, so a tone missing is tried again; a tone where none belongs fails at once.
TEST_F(ProcessTapPulse, NativePipeWireClientsAreRecordedByNamePidAndGlobally) {
  PrivateServer server(Server::pipewire);
  PT_NEED_SERVER(server.started(), server.startError());
  const Environment& env = server.environment();
  // Copies named so that the automatic choice passes over them, for a global capture.
  for (const char* program : {"pw-cat", "gst-launch-1.0"}) {
    const Outcome where = runProgram({"sh", "-c", "command -v $0", program}, 10s);
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
  for (int i = 0; i < 100 && !(listing.find(active(pw.pid())) != std::string::npos &&
                               listing.find(active(gst.pid())) != std::string::npos);
       ++i, std::this_thread::sleep_for(200ms))
    listing = tap({file("unused.wav"), "1", "--list"}, 30s, env).out;
  EXPECT_THAT(listing, HasSubstr(active(pw.pid())));
  EXPECT_THAT(listing, HasSubstr(active(gst.pid())));
  struct Case {
    std::string keyword;
    bool hears440, hears1000;
  };
  for (const Case& c : {Case{"brindlex-pw", true, false},
                        Case{std::to_string(gst.pid()), false, true}, Case{"auto", true, true}}) {
    SCOPED_TRACE(c.keyword);
    bool missing = true;
    for (int attempt = 0; attempt < 3 && missing; ++attempt) {
      const Outcome run = tap({file("native.wav"), "3", c.keyword}, 60s, env);
      ASSERT_EQ(run.status, 0) << run.err;
      const Audio audio = audioOf(file("native.wav"));
      missing = false;
      for (const auto& [hz, heard] : {std::pair{440, c.hears440}, std::pair{1000, c.hears1000}}) {
        missing = missing || (heard && onset(audio, hz) < 0);
        EXPECT_TRUE(heard || onset(audio, hz) < 0) << hz << " Hz, " << run.out;
      }
    }
    EXPECT_FALSE(missing) << "a tone missing three times";
  }
}

// A loaded machine delivers the streams late; the file still has no gap and its full length.
// The load is bounded: it ends with the test, or on its own after 60 s.
TEST_F(HeavyPulse, ARecordingUnderLoadHasNoGap) {
  PT_NEED_SERVER(serverAnswers(), "no sound server answers `pactl info`");
  const std::string radio = client("Radio");
  Player player(radio, tone(440));
  ASSERT_TRUE(player.visible());
  const std::vector<std::string> spin = {"timeout", "60", "nice", "-n",
                                         "19",      "sh", "-c",   "while :; do :; done"};
  Child cpu1(spin), cpu2(spin);
  Child disk({"timeout", "60", "nice", "-n", "19", "sh", "-c",
              "while :; do dd if=/dev/zero of=\"$0\" bs=1M count=64 conv=fsync 2>/dev/null; done",
              file("load").string()});
  const Outcome run = tap({file("loaded.wav"), "4", radio}, 60s);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::optional<Summary> summary = parseSummary(run.out);
  ASSERT_TRUE(summary) << run.out;
  expectDuration(summary->frames, 4);
  expectTone(audioOf(file("loaded.wav")), 440, true);
}

// What the server holds that a recording may add: modules, sinks, sources, capture streams.
std::string serverState(const Environment& env) {
  std::string state;
  for (const char* kind : {"modules", "sinks", "sources", "source-outputs"})
    state += runProgram({"pactl", "list", "short", kind}, 30s, env).out;
  return state;
}

// A signal ends the recording with a complete file, SIGHUP (the terminal went away) like SIGINT.
// A client that only records, under the music player's name, is listed as active ('pir?') but
// never chosen automatically.
TEST_F(ProcessTapPulse, RunsLeaveTheServerAsTheyFoundIt) {
  PrivateServer server;
  PT_NEED_SERVER(server.started(), server.startError());
  const Environment& env = server.environment();
  Child parecord({"parecord", "--client-name=Music", file("parecord.wav")}, env);
  ASSERT_TRUE(waitForCapture(parecord.pid(), env));
  Player player("Radio", tone(440), env);
  ASSERT_TRUE(player.visible());
  EXPECT_THAT(tap({file("unused.wav"), "1", "--list"}, 30s, env).out,
              HasSubstr("pid=" + std::to_string(parecord.pid()) + " active=true name=Music"));
  EXPECT_THAT(tap({file("auto.wav"), "0.5", "auto"}, 60s, env).out,
              HasSubstr(" targets=" + target("Radio", player.pid()) + " "));
  const std::string before = serverState(env);
  const auto expectBefore = [&] {
    // The server notices a closed connection shortly after the exit.
    std::string now;
    for (int i = 0; i < 100 && (now = serverState(env)) != before; ++i)
      std::this_thread::sleep_for(50ms);
    EXPECT_EQ(now, before);
  };
  const Outcome failed = tap({file("nobody.wav"), "0.5", "Nobody"}, 30s, env);
  EXPECT_EQ(failed.status, 1);
  EXPECT_THAT(failed.err, ::testing::StartsWith("未找到音频进程：Nobody\n用法：process-tap "));
  EXPECT_FALSE(fs::exists(file("nobody.wav")));
  expectBefore();
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    const fs::path out = file("interrupted.caf"), stdoutFile = file("out"), err = file("err");
    Child recorder(tapCommand({out, "10", "Radio"}), env, stdoutFile, err);
    // Until the recording runs, a signal ends the process as usual: wait for it, which under a
    // sanitizer may take longer than any fixed delay.
    ASSERT_TRUE(waitForCapture(recorder.pid(), env));
    std::this_thread::sleep_for(1s);
    recorder.signal(signal);
    ASSERT_EQ(recorder.wait(30s), std::optional<int>(0)) << fileText(err);
    EXPECT_THAT(fileText(err), IsEmpty());
    const std::optional<Summary> summary = parseSummary(fileText(stdoutFile));
    ASSERT_TRUE(summary) << fileText(stdoutFile);
    const Audio audio = audioOf(out);
    EXPECT_EQ(audio.frames, summary->frames);
    EXPECT_GE(audio.seconds(), 0.7);
    EXPECT_LE(audio.seconds(), 5);
    expectTone(audio, 440, true);
    expectBefore();
  }
}

// A sink that renders far ahead hands its monitors nothing until its next wake-up; what arrives
// after that must be whole. The sink runs at 44100 Hz: samples taken at one rate and labelled
// with another would move the tone off 440 Hz.
TEST_F(ProcessTapPulse, PlayerWithoutLatencyWishIsHeardLateButWithoutGapAtTheSinksRate) {
  PrivateServer server;
  PT_NEED_SERVER(server.started(), server.startError());
  const Environment& env = server.environment();
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"pactl", "load-module", "module-null-sink", "sink_name=slow",
                                 "rate=44100"},
        {"pactl", "set-default-sink", "slow"}})
    ASSERT_EQ(runProgram(command, 30s, env).status, 0);
  Player player(paplay("Radio", tone(440, 30, 44100), 0), "Radio", env);
  ASSERT_TRUE(player.visible());
  const Outcome run = tap({file("late.wav"), "3.5", "Radio"}, 60s, env);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::optional<Summary> summary = parseSummary(run.out);
  ASSERT_TRUE(summary) << run.out;
  expectDuration(summary->frames, 3.5, 44100);
  const Audio audio = audioOf(file("late.wav"));
  EXPECT_EQ(audio.sampleRate, 44100);
  expectTone(audio, 440, true);
}

// A stream moved to another sink loses its monitor there; the device follows it to the new sink.
TEST_F(ProcessTapPulse, AStreamMovedToAnotherSinkIsFollowed) {
  PrivateServer server;
  PT_NEED_SERVER(server.started(), server.startError());
  const Environment& env = server.environment();
  ASSERT_EQ(
      runProgram({"pactl", "load-module", "module-null-sink", "sink_name=other"}, 30s, env).status,
      0);
  Player player("Radio", tone(440), env);
  ASSERT_TRUE(player.visible());
  const fs::path out = file("moved.wav");
  Child recorder(tapCommand({out, "4", "Radio"}), env);
  ASSERT_TRUE(waitForCapture(recorder.pid(), env));
  std::this_thread::sleep_for(1s);
  const std::string input = runProgram({"pactl", "list", "short", "sink-inputs"}, 30s, env).out;
  ASSERT_EQ(
      runProgram({"pactl", "move-sink-input", input.substr(0, input.find('\t')), "other"}, 30s, env)
          .status,
      0);
  ASSERT_EQ(recorder.wait(60s), std::optional<int>(0));
  expectTone(audioOf(out), 440, true, 4, 2);
}

// A server stopped for a second, then for three, renders the time it missed itself when it runs
// again: the recording waits for it and holds what parec beside it holds, adding nothing of its
// own. (PipeWire renders that silence for each stream on its own.)
TEST_F(ProcessTapPulse, AStoppedServerIsWaitedForAndAddsNothing) {
  PrivateServer server(serverKind());
  PT_NEED_SERVER(server.started(), server.startError());
  const Environment& env = server.environment();
  const fs::path noise = this->noise(30);
  Player player(paplay("Radio", noise, 200), "Radio", env);
  ASSERT_TRUE(player.visible());
  const std::vector<pid_t> daemons = server.daemonPids();
  ASSERT_FALSE(daemons.empty());
  const std::string input = runProgram({"pactl", "list", "short", "sink-inputs"}, 30s, env).out;
  const fs::path reference = file("parec.wav");
  Child parec(
      {"parec", "--monitor-stream=" + input.substr(0, input.find('\t')), "--latency-msec=100",
       "--format=float32le", "--rate=48000", "--channels=2", "--file-format=wav", reference},
      env);
  ASSERT_TRUE(waitForCapture(parec.pid(), env));
  const fs::path out = file("stalled.wav"), stdoutFile = file("out"), stderrFile = file("err");
  Child recorder(tapCommand({out, "8", "Radio"}), env, stdoutFile, stderrFile);
  ASSERT_TRUE(waitForCapture(recorder.pid(), env));
  for (const auto seconds : {1s, 3s}) {
    std::this_thread::sleep_for(1s);
    for (const pid_t pid : daemons) ::kill(pid, SIGSTOP);
    std::this_thread::sleep_for(seconds);
    for (const pid_t pid : daemons) ::kill(pid, SIGCONT);
  }
  ASSERT_EQ(recorder.wait(60s), std::optional<int>(0)) << fileText(stderrFile);
  EXPECT_THAT(fileText(stderrFile), IsEmpty());
  // parec still holds the recording's last fragments in flight, and a SIGINT drops them: stop it
  // only once a second more has reached its file.
  const std::uintmax_t wanted = fs::file_size(reference) + 48000 * 2 * sizeof(float);
  for (int i = 0; i < 300 && fs::file_size(reference) < wanted; ++i)
    std::this_thread::sleep_for(100ms);
  EXPECT_GE(fs::file_size(reference), wanted);
  parec.signal(SIGINT);
  ASSERT_TRUE(parec.wait(30s));
  const Audio recorded = audioOf(out), heard = audioOf(reference);
  EXPECT_EQ(recorded.frames, 8 * 48000);
  const std::vector<Stretch> runs = stretchesOf(recorded, heard);
  ASSERT_FALSE(runs.empty());
  const bool pipewire = serverKind(env) == Server::pipewire;
  const std::int64_t slack = pipewire ? 2 * 1024 : 0;
  // PipeWire's silence for the stop differs between two streams by a few quanta either way on a
  // busy machine (seen: 4 more for the recorder, 12 fewer); a tool that invents its own adds
  // half a second and more.
  const std::int64_t silenceSlack = pipewire ? 8 * 1024 : 0;
  const auto sounds = [&](std::int64_t frame) {
    return heard.samples[std::size_t(frame * 2)] != 0 ||
           heard.samples[std::size_t(frame * 2 + 1)] != 0;
  };
  // Between two stretches parec heard: the silence the recording holds beyond parec's is what it
  // added; sound of parec's it skipped is what it lost.
  std::int64_t unmatched = 0, added = 0, lost = 0;
  const Stretch* last = nullptr;
  for (const Stretch& run : runs) {
    if (run.from == -2) unmatched += run.frames;
    if (run.from < 0) continue;
    if (last) {
      const std::int64_t after = last->from + last->frames;
      added += std::max<std::int64_t>(0, (run.at - last->at - last->frames) - (run.from - after));
      for (std::int64_t f = after; f < run.from; ++f) lost += sounds(f);
      EXPECT_GE(run.from, after) << run.at;
    }
    last = &run;
  }
  EXPECT_LE(unmatched, slack) << runs.size() << " runs";
  EXPECT_LE(added, silenceSlack) << runs.size() << " runs";
  EXPECT_LE(lost, slack) << runs.size() << " runs";
}

TEST_F(ProcessTapPulse, DyingServerEndsTheRecordingWithWhatItHeard) {
  PrivateServer server;
  PT_NEED_SERVER(server.started(), server.startError());
  Player music("Music", tone(440), server.environment());
  ASSERT_TRUE(music.visible());
  ASSERT_EQ(server.daemonPids().size(), 1u);
  const fs::path out = file("cut-short.caf"), stdoutFile = file("out"), stderrFile = file("err");
  Child recorder(tapCommand({out, "10", "Music"}), server.environment(), stdoutFile, stderrFile);
  ASSERT_TRUE(waitForCapture(recorder.pid(), server.environment()));
  std::this_thread::sleep_for(1s);
  ASSERT_EQ(::kill(server.daemonPids()[0], SIGKILL), 0);
  // Well before the 10 s it was asked for.
  EXPECT_EQ(recorder.wait(6s), std::optional<int>(1));
  const std::string err = fileText(stderrFile);
  EXPECT_EQ(err, "Tap 聚合设备已停止工作，录音提前结束\n");
  const std::optional<Summary> summary = parseSummary(fileText(stdoutFile));
  ASSERT_TRUE(summary) << fileText(stdoutFile);
  EXPECT_EQ(summary->targets, target("Music", music.pid()));
  const Audio audio = audioOf(out);
  EXPECT_EQ(audio.frames, summary->frames);
  EXPECT_GE(audio.seconds(), 0.7);
  expectTone(audio, 440, true, 0.7);
}

}  // namespace
}  // namespace pt::pulse_testing
