// Whole runs of the real entry, driven through process-tap-sim as a user would run it: what
// each run leaves on standard output, standard error, in its exit status and on disk.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>
#include "audio/macos/silent_capture_reason.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/readers/readers.h"

namespace pt {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using json = nlohmann::json;

enum class Stdout { file, fullDisk, closedPipe };

struct SimRun {
  int exitStatus = -1;  // -1 when the process did not exit normally
  std::string out, err;
  std::vector<std::string> files;  // what the run left in its working directory
  std::string dir;                 // its working directory, gone when it returns
  std::int64_t frames = -1;        // in the audio file it left, if one
  double hz = 0, soxHz = 0;        // its first channel's pitch, as libsndfile and sox read it
  testing::Readings readings;      // the file in libsndfile, sox and ffmpeg
  std::map<std::string, std::vector<float>> left;  // each audio file's first channel
};

std::string contents(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Runs process-tap-sim with `arguments` in a fresh directory that holds `scenario` as
// scenario.json, unless the scenario is empty.
SimRun runSim(const std::string& scenario, std::vector<std::string> arguments,
              Stdout where = Stdout::file) {
  static int counter = 0;
  const fs::path dir = fs::temp_directory_path() /
                       ("pt-sim-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  fs::create_directories(dir);
  if (!scenario.empty()) std::ofstream(dir / "scenario.json") << scenario;
  arguments.insert(arguments.begin(), PT_PROCESS_TAP_SIM);
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string outPath = where == Stdout::fullDisk ? "/dev/full" : dir / "stdout";
  const std::string errPath = dir / "stderr";
  int ends[2] = {-1, -1};  // a pipe without a reader, from the start
  if (where == Stdout::closedPipe && (::pipe(ends) != 0 || ::close(ends[0]) != 0)) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec. SIGPIPE as a shell leaves it, whatever
    // the test runner does.
    ::signal(SIGPIPE, SIG_DFL);
    const int out = where == Stdout::closedPipe
                        ? ends[1]
                        : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::chdir(dir.c_str()) != 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
      ::_exit(127);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (where == Stdout::closedPipe) ::close(ends[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  SimRun run;
  run.dir = dir.string();
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.err = contents(errPath);
  if (where == Stdout::file) run.out = contents(outPath);
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename();
    if (name == "scenario.json" || name == "stdout" || name == "stderr") continue;
    run.files.push_back(name);
    SF_INFO info{};
    if (SNDFILE* audio = sf_open(entry.path().c_str(), SFM_READ, &info)) {
      run.frames = info.frames;
      std::vector<float> frames(std::size_t(info.frames * info.channels));
      sf_readf_float(audio, frames.data(), info.frames);
      sf_close(audio);
      for (std::size_t i = 0; i < frames.size(); i += std::size_t(info.channels))
        run.left[name].push_back(frames[i]);
      int rises = 0;  // from below -0.1 to above 0.1, so that codec noise adds none
      bool low = false;
      for (std::size_t i = 0; i < frames.size(); i += std::size_t(info.channels)) {
        if (frames[i] < -0.1f) low = true;
        if (frames[i] > 0.1f && low) ++rises, low = false;
      }
      run.hz = rises * double(info.samplerate) / double(info.frames);
      run.readings = testing::readEverywhere(entry.path());
      const std::string sox = "sox '" + entry.path().string() + "' -n remix 1 stat 2>&1";
      if (FILE* pipe = ::popen(sox.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, pipe))
          if (std::string_view(line).starts_with("Rough   frequency:"))
            run.soxHz = std::atof(line + 18);
        ::pclose(pipe);
      }
    }
  }
  fs::remove_all(dir);
  return run;
}

const std::string kUsage =
    "用法：process-tap [OUTPUT [SECONDS [KEYWORD]]]；第三个参数为 --list "
    "时列出音频客户端；详见 man process-tap；版本：process-tap " PT_VERSION "\n";

// The usage line when the first argument looks like an option.
std::string usageNoting(const std::string& first) {
  std::string line = kUsage;
  return line.insert(line.find("；"), "；第一个参数（" + first + "）是输出文件的路径，不是选项");
}

// Only Radio plays, so nothing matches the default keyword.
const json kRadioOnly = json::parse(R"({
  "processObjects": [{"id": 72, "pid": 900, "bundleID": "com.example.Radio", "running": 1}],
  "applications": [{"pid": 900, "name": "Radio", "bundleID": "com.example.Radio"}]
})");

TEST(ScenarioRunner, ListingIsOnStandardOutputOrTheRunFails) {
  for (Stdout where : {Stdout::file, Stdout::fullDisk, Stdout::closedPipe}) {
    const SimRun run =
        runSim(kRadioOnly.dump(), {"scenario.json", "rec.caf", "1", "--list"}, where);
    EXPECT_EQ(run.exitStatus, where == Stdout::file ? 0 : 1) << "stdout kind " << int(where);
    if (where == Stdout::file)
      EXPECT_EQ(run.out + run.err, "pid=900 active=true name=Radio bundle=com.example.Radio\n");
    else
      EXPECT_THAT(run.err, ::testing::MatchesRegex("写入音频进程列表失败：[^\n]+\n"));
  }
}

// A keyword that matches nothing and an output path that cannot be a file the platform writes
// are mistakes in the command line: the usage line follows, and nothing is made. The keyword is
// resolved only for a path that can be written; only the keyword's position asks for a listing.
TEST(ScenarioRunner, MistakesInTheCommandLineEndWithTheUsageBeforeAnyFile) {
  const std::string written =
      "；本平台可写的扩展名：.caf、.wav、.aif、.aiff、.aifc、.w64、.rf64、.flac、.ogg、.opus、."
      "mp3\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "未找到音频进程：Music\n"},
      {{"out.caf", "--list"}, "未找到音频进程：Music\n"},
      {{"out.caf", "1", "Nope"}, "未找到音频进程：Nope\n"},
      {{"out.wva", "1", "Nope"}, "DIR/out.wva：不支持的文件扩展名 .wva" + written},
      {{"--help"}, "DIR/--help：文件名没有扩展名" + written},
      {{"out.M4A"}, "DIR/out.M4A：本平台不支持该文件格式" + written},
      {{"."}, "DIR/.：这是一个文件夹，不是文件\n"},
      {{"absent/out.caf"}, "DIR/absent/out.caf：文件夹 DIR/absent 不存在\n"},
  };
  for (auto [arguments, message] : cases) {
    SCOPED_TRACE(message);
    const bool option = !arguments.empty() && arguments[0].starts_with('-');
    arguments.insert(arguments.begin(), "scenario.json");
    const SimRun run = runSim(kRadioOnly.dump(), arguments);
    std::string err = run.err;
    for (auto at = err.find(run.dir); at != std::string::npos; at = err.find(run.dir))
      err.replace(at, run.dir.size(), "DIR");
    EXPECT_EQ(err, (message.starts_with("DIR") ? "无法创建音频文件 " : "") + message +
                       (option ? usageNoting(arguments[1]) : kUsage));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.files.empty());
  }
}

// A failure of the recording, of the platform or of standard output, and lost audio, are no
// mistake in the command line: their lines alone, no usage line, even for a path like an option.
// With nobody left to read the summary, the file is still complete.
TEST(ScenarioRunner, RecordingsEndWithTheirStatusSummaryAndFile) {
  struct Case {
    const char* recording;  // keys added to the scenario where Radio plays
    int status;
    const char* out;      // part of standard output, or "" for none
    std::string err;      // all of it
    std::int64_t frames;  // in -out.wav, or -1 when there is none
    Stdout where = Stdout::file;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {R"({})", 0, "/-out.wav targets=Radio(pid=900) buffers=94 frames=48000 sampleRate=48000", "", 48000},
      {R"({"deviceLostAt": 0.5})", 1, "buffers=46 frames=23552", "Tap 聚合设备已停止工作，录音提前结束\n", 23552},
      // Notifications of the change still queued reach nothing once the tool has ended.
      {R"({"deviceRateChange": {"at": 0.5, "rate": 44100, "repeats": 2}})", 1, "buffers=46 frames=23552",
       "录音设备的采样率已改变，录音提前结束\n", 23552},
      {R"({"faults": {"writeFailures": [10]}})", 1, "buffers=93 frames=48000",
       "写入 Tap 音频失败：模拟的写入失败\n录音丢失了音频：1 个 IO 周期（0.01 秒音频）未能写入文件\n", 48000},
      {R"({})", 1, "", "无法写出录音摘要：Broken pipe\n", 48000, Stdout::closedPipe},
      {R"({"faults": {"createProcessTap": -50}})", 1, "", "创建进程音频 Tap 失败：-50\n", -1},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recording);
    json scenario = kRadioOnly;
    scenario["tone"] = {{"72", 440}};
    scenario.update(json::parse(c.recording));
    const SimRun run =
        runSim(scenario.dump(), {"scenario.json", "-out.wav", "1", "Radio"}, c.where);
    EXPECT_EQ(run.exitStatus, c.status);
    EXPECT_EQ(run.err, c.err);
    EXPECT_THAT(run.out, HasSubstr(c.out));
    EXPECT_EQ(run.out.empty(), *c.out == '\0');
    EXPECT_EQ(run.files,
              c.frames < 0 ? std::vector<std::string>{} : std::vector<std::string>{"-out.wav"});
    EXPECT_EQ(run.frames, c.frames);
  }
}

// A file per target starts at the same sample and holds the same frames; a cycle one tap could
// not read is silence in its file alone. An exclusion records the rest of the system mix.
TEST(ScenarioRunner, AFilePerTargetAndTheSystemMixWithoutOne) {
  const json both = json::parse(R"({
    "processObjects": [{"id": 71, "pid": 812, "bundleID": "com.apple.Music", "running": 1},
                       {"id": 72, "pid": 900, "bundleID": "com.example.Radio", "running": 1}],
    "applications": [{"pid": 812, "name": "Music", "bundleID": "com.apple.Music"},
                     {"pid": 900, "name": "Radio", "bundleID": "com.example.Radio"}],
    "tone": {"71": 440, "72": 660}
  })");
  const auto peak = [](const std::vector<float>& samples, std::size_t from, std::size_t to) {
    float most = 0;
    for (std::size_t i = from; i < to && i < samples.size(); ++i)
      most = std::max(most, std::abs(samples[i]));
    return most;
  };
  json gap = both;
  gap["faults"] = {{"unreadableCycles", {10}}, {"unreadableTap", 1}};
  for (const json& scenario : {both, gap}) {
    const bool lost = scenario.contains("faults");
    SCOPED_TRACE(lost ? "a gap in Radio's" : "no gap");
    const SimRun run =
        runSim(scenario.dump(), {"scenario.json", "call-{name}.wav", "1", "Music,radio"});
    EXPECT_EQ(run.exitStatus, lost ? 1 : 0);
    EXPECT_THAT(run.out,
                HasSubstr("/call-Music.wav targets=Music(pid=812) wrote=" + run.dir +
                          "/call-Radio.wav targets=Radio(pid=900) buffers=94 frames=48000 "));
    EXPECT_EQ(run.err, lost ? run.dir +
                                  "/call-Radio.wav：录音丢失了音频：1 个 IO 周期的输入无法读取"
                                  "（0.01 秒音频）\n"
                            : "");
    const std::vector<float>& music = run.left.at("call-Music.wav");
    const std::vector<float>& radio = run.left.at("call-Radio.wav");
    ASSERT_EQ(music.size(), 48000u);
    ASSERT_EQ(radio.size(), 48000u);
    // The tones at the same sample of each file: each is its own process's alone.
    for (std::size_t i : {std::size_t(100), std::size_t(30000)}) {
      EXPECT_FLOAT_EQ(music[i], float(0.25 * std::sin(2 * M_PI * 440 * double(i) / 48000)));
      EXPECT_FLOAT_EQ(radio[i], float(0.25 * std::sin(2 * M_PI * 660 * double(i) / 48000)));
    }
    // Cycle 10 is frames 4608 to 5119.
    EXPECT_GT(peak(music, 4608, 5120), 0.2f);
    EXPECT_EQ(peak(radio, 4608, 5120) == 0, lost);
  }

  const SimRun rest = runSim(both.dump(), {"scenario.json", "rest.wav", "1", "-radio"});
  EXPECT_EQ(rest.exitStatus, 0) << rest.err;
  EXPECT_THAT(rest.out, HasSubstr(" targets=全局系统音频(pid=0) excluded=Radio(pid=900) buffers="));
  for (std::size_t i : {std::size_t(100), std::size_t(30000)})
    EXPECT_FLOAT_EQ(rest.left.at("rest.wav").at(i),
                    float(0.25 * std::sin(2 * M_PI * 440 * double(i) / 48000)));
}

// The microphone beside a player: listed after the processes, on a track of its own with its own
// tone and the player's length, or mixed into the player's file; without the Microphone
// permission it is silence, and the run says why.
TEST(ScenarioRunner, TheMicrophoneOnItsOwnTrackOrInTheMix) {
  json call = kRadioOnly;
  call["tone"] = {{"72", 440}};
  call["inputDevices"] = json::parse(
      R"([{"id": 80, "name": "USB Headset", "uid": "USB-1", "tone": 1000},
          {"id": 81, "name": "MacBook Pro Microphone", "uid": "BuiltIn", "default": true}])");
  const auto at = [](double hertz, std::size_t i) {
    return float(0.25 * std::sin(2 * M_PI * hertz * double(i) / 48000));
  };
  const SimRun listed = runSim(call.dump(), {"scenario.json", "x.wav", "1", "--list"});
  EXPECT_THAT(listed.out, HasSubstr("bundle=com.example.Radio\n"
                                    "input default=false channels=1 uid=USB-1 name=USB Headset\n"
                                    "input default=true channels=1 uid=BuiltIn name=MacBook Pro "
                                    "Microphone\n"));

  const SimRun own = runSim(call.dump(), {"scenario.json", "call-{name}.wav", "1", "radio,@usb"});
  EXPECT_EQ(own.exitStatus, 0) << own.err;
  EXPECT_THAT(own.out, HasSubstr("/call-Radio.wav targets=Radio(pid=900) wrote=" + own.dir +
                                 "/call-USB Headset.wav input=USB Headset buffers=94 "));
  const std::vector<float>& voice = own.left.at("call-USB Headset.wav");
  ASSERT_EQ(voice.size(), 48000u);
  ASSERT_EQ(own.left.at("call-Radio.wav").size(), 48000u);
  for (std::size_t i : {std::size_t(100), std::size_t(30000)}) {
    EXPECT_FLOAT_EQ(voice[i], at(1000, i));
    EXPECT_FLOAT_EQ(own.left.at("call-Radio.wav")[i], at(440, i));
  }

  const SimRun mixed = runSim(call.dump(), {"scenario.json", "call.wav", "1", "@,Radio"});
  EXPECT_EQ(mixed.exitStatus, 0) << mixed.err;
  EXPECT_THAT(mixed.out, HasSubstr(" targets=Radio(pid=900) input=MacBook Pro Microphone "));
  for (std::size_t i : {std::size_t(100), std::size_t(30000)})
    EXPECT_FLOAT_EQ(mixed.left.at("call.wav").at(i), at(440, i) + at(660, i));

  call["faults"] = {{"microphoneDenied", true}};
  const SimRun denied = runSim(call.dump(), {"scenario.json", "me.wav", "1", "@"});
  EXPECT_EQ(denied.exitStatus, 0);
  EXPECT_THAT(denied.out, HasSubstr("wrote=" + denied.dir +
                                    "/me.wav input=MacBook Pro Microphone "
                                    "buffers=94 frames=48000 sampleRate=48000 channels=1\n"));
  EXPECT_EQ(denied.err, std::string("输入设备只录到了静音（MacBook Pro Microphone）：") +
                            kMicrophoneNotAllowed + "\n");
  const SimRun two = runSim(call.dump(), {"scenario.json", "me.wav", "1", "@,@usb"});
  EXPECT_EQ(two.exitStatus, 1);
  EXPECT_THAT(two.err, HasSubstr("一次录音只能录一个输入设备：@usb\n"));
}

// OUTPUT "-" is the recording on standard output as a WAV stream, the summary on standard
// error; a reader that is gone before the start ends the run before anything is recorded.
TEST(ScenarioRunner, TheRecordingOnStandardOutput) {
  json radio = kRadioOnly;
  radio["tone"] = {{"72", 440}};
  const SimRun piped = runSim(radio.dump(), {"scenario.json", "-", "1", "Radio"});
  EXPECT_EQ(piped.exitStatus, 0);
  EXPECT_EQ(piped.err,
            "wrote=- targets=Radio(pid=900) buffers=94 frames=48000 sampleRate=48000 channels=2\n");
  EXPECT_EQ(piped.out.substr(0, 4), "RIFF");
  EXPECT_EQ(piped.out.size(), 46u + 48000 * 2 * sizeof(float));
  EXPECT_TRUE(piped.files.empty());
  const SimRun gone =
      runSim(radio.dump(), {"scenario.json", "-", "1", "Radio"}, Stdout::closedPipe);
  EXPECT_EQ(gone.exitStatus, 1);
  EXPECT_EQ(gone.err, "无法写入标准输出：Broken pipe\n");
}

// Every container the extension chooses holds the tone, as libsndfile and as sox read it, and all
// three readers read its length cleanly: sox all of an MP3's frames, with the encoder's delay and
// padding that its LAME tag tells the others to drop, and no Opus at all in Debian's sox.
TEST(ScenarioRunner, EachContainerHoldsTheTone) {
  json radio = kRadioOnly;
  radio["tone"] = {{"72", 440}};
  for (const char* name : {"a.caf", "a.wav", "a.aif", "a.aiff", "a.w64", "a.rf64", "a.flac",
                           "a.ogg", "a.opus", "a.mp3"}) {
    SCOPED_TRACE(name);
    const SimRun run = runSim(radio.dump(), {"scenario.json", name, "1", "Radio"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr(" frames=48000 "));
    EXPECT_NEAR(double(run.frames), 48000, 4800);  // encoders may pad a little
    EXPECT_NEAR(run.hz, 440, 5);
    // ffprobe and soxi state an MP3's length with its delay and padding, ffprobe an Opus one's
    // with its pre-skip.
    const testing::Readings& r = run.readings;
    const bool mp3 = std::string_view(name) == "a.mp3", opus = std::string_view(name) == "a.opus";
    EXPECT_EQ(std::tuple(r.sndfile.complaint, r.sndfile.stated, r.sndfile.decoded),
              std::tuple("", 48000, 48000));
    EXPECT_EQ(std::tuple(r.ffmpeg.complaint, r.ffmpeg.decoded), std::tuple("", 48000));
    if (!mp3 && !opus) {
      EXPECT_EQ(r.ffmpeg.stated, 48000);
    }
    if (opus) continue;
    EXPECT_NEAR(run.soxHz, 440, 5);
    EXPECT_EQ(std::tuple(r.sox.complaint, r.sox.decoded),
              std::tuple("", mp3 ? 48000 + 1536 : 48000));
    if (!mp3) {
      EXPECT_EQ(r.sox.stated, 48000);
    }
  }
}

// A scenario at fault is the runner's failure, not the tool's: status 2 and what is wrong.
TEST(ScenarioRunner, ABrokenOrMissingScenarioIsStatusTwo) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"usage: process-tap-sim SCENARIO.json", {}},
      {"absent.json: cannot be read", {"absent.json", "out.caf"}},
      {"scenario.json: not valid JSON", {"scenario.json"}},
  };
  for (const auto& [mention, arguments] : cases) {
    const SimRun run = runSim(R"({"processObjects": [)", arguments);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_THAT(run.err, HasSubstr(mention));
    EXPECT_EQ(run.out, "");
  }
}

TEST(ScenarioRunner, ExamplesLoad) {
  for (const auto& entry : fs::directory_iterator(PT_EXAMPLES_DIR)) {
    SCOPED_TRACE(entry.path().string());
    EXPECT_NE(
        runSim(contents(entry.path()), {"scenario.json", "out.caf", "1", "--list"}).exitStatus, 2);
  }
}

}  // namespace
}  // namespace pt
