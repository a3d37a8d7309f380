// Whole recordings on the simulated platform: teardown order, teardown after every failure, the
// file and the summary, the device's rate, lost audio, interruption and the device's end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <variant>

#include "audio/file_settings.h"
#include "audio/input_devices.h"
#include "audio/macos/silent_capture_reason.h"
#include "audio/simulated/scenario.h"
#include "audio/simulated/simulated_platform.h"
#include "audio/text_error.h"
#include "recorder/interruption.h"
#include "recorder/process_tap_recorder.h"
#include "recorder/silence_diagnosis.h"

namespace pt {
namespace {

using nlohmann::json;
using ::testing::Contains;
using ::testing::HasSubstr;

const AudioProcessInfo kMusic{812, 11, "Music", "com.apple.Music", true};
const AudioProcessInfo kSafari{913, 12, "Safari", "com.apple.Safari", true};
const AudioProcessInfo kGlobal{0, 0, "全局系统音频", "global.system.audio", true};
constexpr double kForever = std::numeric_limits<double>::infinity();

struct Decoded {
  int rate = 0, channels = 0;
  std::vector<float> samples;
};

Decoded decode(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) throw std::runtime_error(path + ": " + sf_strerror(nullptr));
  Decoded d{info.samplerate, info.channels, std::vector<float>(info.frames * info.channels)};
  sf_readf_float(file, d.samples.data(), info.frames);
  sf_close(file);
  return d;
}

float tone(std::vector<double> hertz, double rate, std::int64_t frame) {
  return sim::SimulatedPlatform::toneSample(hertz, rate, frame);
}

class RecordingTest : public ::testing::Test {
 protected:
  RecordingTest() : scope_(sim_) {
    sim_.addProcessObject({11, 812, std::string("com.apple.Music"), 1u});
    sim_.addProcessObject({12, 913, std::string("com.apple.Safari"), 1u});
    sim_.setProcessObjectForPid(sim_.ownPid(), AudioObjectID(99));
    sim_.addOutputDevice(60, "Speakers");
    sim_.setTone(11, 440);
    sim_.setTone(12, 660);
    directory_ = std::filesystem::temp_directory_path() /
                 ("pt-recording-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(directory_);
    path_ = (directory_ / "out.caf").string();
  }
  ~RecordingTest() override {
    recorder_.reset();
    std::filesystem::remove_all(directory_);
  }

  // Runs one recording and keeps what it printed; gives the error it ended with, or "".
  std::string record(std::vector<AudioProcessInfo> targets, double seconds) {
    recorder_ = ProcessTapRecorder::make({{std::move(targets), {}, path_}}, seconds);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    std::string error;
    try {
      recorder_->run();
    } catch (const TextError& e) {
      error = e.what();
    }
    out_ = ::testing::internal::GetCapturedStdout();
    err_ = ::testing::internal::GetCapturedStderr();
    return error;
  }

  // Records 0.05 s on a platform set up by `scenario`, where Music (object 11, pid 812) and the
  // tool itself (object 99, pid 4242) are audio clients.
  void recordScenario(json scenario, std::vector<AudioProcessInfo> targets) {
    scenario["processObjects"] = json::array(
        {{{"id", 11}, {"pid", 812}, {"running", 1}}, {{"id", 99}, {"pid", 4242}, {"running", 1}}});
    sim::SimulatedPlatform sim;
    sim::loadScenario(sim, scenario);
    sim::PlatformScope scope(sim);
    EXPECT_EQ(record(std::move(targets), 0.05), "");
    microphoneDelivered_ = sim.subDeviceInputDelivered();
    recorder_.reset();
  }

  sim::SimulatedPlatform sim_;
  sim::PlatformScope scope_;
  std::filesystem::path directory_;
  std::string path_;
  std::shared_ptr<ProcessTapRecorder> recorder_;
  std::string out_, err_;
  bool microphoneDelivered_ = false;
};

// The device's rate is not finite: the tap's is used.
TEST_F(RecordingTest, AGoodRunHoldsEveryCycleTearsDownInOrderAndReportsOnce) {
  sim_.setDeviceSampleRate(kForever);
  ASSERT_EQ(record({kMusic, kSafari}, 0.1), "");
  const std::vector<std::string> calls = sim_.calls();
  ASSERT_GE(calls.size(), 8u);
  EXPECT_EQ(std::vector<std::string>(calls.end() - 8, calls.end()),
            (std::vector<std::string>{"removePropertyListenerBlock 200 'livn' listener1",
                                      "removePropertyListenerBlock 200 'nsrt' listener2",
                                      "removePropertyListenerBlock 100 'tfmt' listener3",
                                      "removePropertyListenerBlock 200 'stm#' listener4",
                                      "deviceStop 200 proc1", "destroyIOProcID 200 proc1",
                                      "destroyAggregateDevice 200", "destroyProcessTap 100"}));
  // The listeners have a queue of their own: a notification never holds up an IO cycle.
  EXPECT_THAT(calls,
              Contains("addPropertyListenerBlock 200 'livn' brindlex.process-tap.notifications"));
  EXPECT_THAT(calls, Contains("deviceWillStopAt 200 4800"));
  // 0.1 s at 48000 Hz: nine cycles of 512 frames and 192 of the tenth.
  EXPECT_EQ(out_, "wrote=" + path_ +
                      " targets=Music(pid=812),Safari(pid=913) buffers=10 frames=4800"
                      " sampleRate=48000 channels=2\n");
  EXPECT_EQ(err_, "");
  const Decoded file = decode(path_);
  EXPECT_EQ(file.rate, 48000);
  ASSERT_EQ(file.channels, 2);
  ASSERT_EQ(file.samples.size(), std::size_t(4800 * 2));
  for (std::size_t frame = 0; frame < 4800; frame += 37) {
    EXPECT_EQ(file.samples[2 * frame], tone({440, 660}, 48000, frame)) << frame;
    EXPECT_EQ(file.samples[2 * frame + 1], tone({440, 660}, 48000, frame)) << frame;
  }
  // A private device around the tap, clocked by the output device.
  const std::string uuid = "00000000-0000-4000-8000-00000000000";
  // clang-format off
  EXPECT_EQ(sim_.aggregateDescriptions().at(0), Value(Value::Dictionary{
      {"name", "brindlex-process-tap-Music+Safari"}, {"uid", uuid + "2"}, {"master", "Speakers"},
      {"private", true}, {"stacked", false}, {"tapautostart", true},
      {"subdevices", Value::List{Value::Dictionary{{"uid", "Speakers"}}}},
      {"taps", Value::List{Value::Dictionary{{"drift", true}, {"uid", uuid + "1"}}}}}));
  // clang-format on
  sim_.clearCalls();
  recorder_->cleanup();
  recorder_.reset();
  EXPECT_TRUE(sim_.calls().empty());  // teardown happens once
  // Any duration to the frame, the last cycle cut to fit.
  for (const auto& [seconds, summary] :
       {std::pair{1.234, "buffers=116 frames=59232 "}, std::pair{0.015, "buffers=2 frames=720 "},
        std::pair{0.001, "buffers=1 frames=48 "}}) {
    ASSERT_EQ(record({kMusic}, seconds), "");
    EXPECT_THAT(out_, HasSubstr(summary));
    EXPECT_EQ(
        decode(path_).samples.size(),
        2 * std::stoul(std::string(summary).substr(std::string(summary).find("frames=") + 7)));
  }
}

// clang-format off
using Calls = std::vector<std::string>;
const Calls kTap = {"destroyProcessTap 100"};
const Calls kDevice = {"destroyAggregateDevice 200", "destroyProcessTap 100"};
const Calls kAll = {"deviceStop 200 proc1", "destroyIOProcID 200 proc1", "destroyAggregateDevice 200",
                    "destroyProcessTap 100"};
const Calls kWatched = {"removePropertyListenerBlock 200 'livn' listener1", "removePropertyListenerBlock 200 'nsrt' listener2",
                        "removePropertyListenerBlock 100 'tfmt' listener3", "removePropertyListenerBlock 200 'stm#' listener4",
                        "deviceStop 200 proc1",
                        "destroyIOProcID 200 proc1", "destroyAggregateDevice 200", "destroyProcessTap 100"};
// clang-format on

// Each recording key of a scenario, seen through the recording it produces: the summary or the
// error, and the teardown of what was made, done by run() before the error left it (no stop
// without a registered block).
TEST_F(RecordingTest, EachScenarioKeyShapesTheRecordingAndAFailureTearsDownWhatWasMade) {
  struct Case {
    const char* scenario;
    const char* out;  // part of the summary, or "" when nothing is written to standard output
    std::string error;
    Calls teardown;
    bool leavesHandles = false;  // a platform that writes its handle even when it fails
    std::string path = {};       // instead of the fixture's
  };
  const std::string missing = (directory_ / "missing" / "out.caf").string();
  const std::string m4a = (directory_ / "out.m4a").string();
  const std::string buffer = "32 位浮点；缓冲区 48000 Hz、2 声道、交错、32 位浮点）";
  // clang-format off
  const Case cases[] = {
      {R"({})", "buffers=5 frames=2400 sampleRate=48000 channels=2", "", kWatched},
      {R"({"tone": {"11": 440}, "ioFrames": 240})", "buffers=10 frames=2400", "", kWatched},
      {R"({"tapFormat": {"sampleRate": 44100, "channels": 1, "interleaved": false}})", "sampleRate=44100 channels=1", "", kWatched},
      {R"({"deviceSampleRate": 96000})", "sampleRate=96000", "", kWatched},
      {R"({"deviceSampleRate": {"status": -1}})", "sampleRate=48000", "", kWatched},
      // A notification that changes nothing goes unheeded.
      {R"({"deviceSampleRate": 48000, "deviceRateChange": {"at": 0.02, "rate": 48000}})", "buffers=5 frames=2400", "", kWatched},
      {R"({"faults": {"createProcessTap": -50}})", "", "创建进程音频 Tap 失败：-50", {}},
      {R"({"faults": {"defaultOutputDevice": "!obj"}})", "", "读取 Core Audio 属性大小失败：560947818", kTap},
      {R"({"outputDevice": {"id": 7, "uid": "X"}, "faults": {"deviceUID": 5}})", "", "读取 Core Audio 属性大小失败：5", kTap},
      {R"({"faults": {"createAggregateDevice": 6}})", "", "创建聚合音频设备失败：6", kTap},
      {R"({"faults": {"createAggregateDevice": 6}})", "", "创建聚合音频设备失败：6", kDevice, true},
      {R"({"tapFormat": {"status": "who?"}})", "", "读取 Core Audio 属性大小失败：2003332927", kDevice},
      {R"({"tapFormat": {"formatID": "aac "}})", "", "创建 Tap 音频格式失败", kDevice},
      {R"({"faults": {"captureFormat": true}})", "", "创建 Tap 音频格式失败", kDevice},
      {R"({"aggregateInput": {"tapStreamChannels": 1}, "subDeviceInput": {}})", "",
       "聚合设备的输入中没有 Tap 的音频流：预期 1 个流（2 声道），实际为 2 个流（1、1 声道）", kDevice},
      {R"({"aggregateInput": {"tapStreamsAfter": 6}})", "",
       "聚合设备的输入中没有 Tap 的音频流：预期 1 个流（2 声道），实际为 0 个流", kDevice},
      {R"({})", "", "无法创建音频文件 " + missing, kDevice, false, missing},
      {R"({"deviceSampleRate": 96000})", "", "无法创建音频文件 " + m4a + "：AAC 不支持 96000 Hz 的采样率，最高只支持 48000 Hz", kDevice, false, m4a},
      // The file would refuse every buffer; AVAudioFormat ignores the interleaving of mono.
      {R"({"faults": {"processingFormat": {"sampleRate": 44100}}})", "",
       "无法创建音频文件 " + path_ + "：文件的处理格式与 Tap 缓冲区的格式不同（文件 44100 Hz、2 声道、交错、" + buffer, kDevice},
      {R"({"faults": {"processingFormat": {"interleaved": false}}})", "", "无法创建音频文件 " + path_, kDevice},
      {R"({"tapFormat": {"channels": 1}, "faults": {"processingFormat": {"interleaved": false}}})", "channels=1", "", kWatched},
      {R"({"faults": {"createIOProc": 8}})", "", "创建 Tap 回调失败：8", kDevice},
      {R"({"faults": {"createIOProc": 8}})", "", "创建 Tap 回调失败：8", kAll, true},
      {R"({"faults": {"watchDevice": 10}})", "", "监听 Tap 聚合设备失败：10", kAll},
      {R"({"faults": {"start": 9}})", "", "启动 Tap 聚合设备失败：9", kWatched},
  };
  // clang-format on
  const std::string file = path_;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    json scenario = json::parse(c.scenario);
    scenario["processObjects"] = {{{"id", 11}, {"pid", 812}, {"running", 1}}};
    sim::SimulatedPlatform sim;
    sim::loadScenario(sim, scenario);
    sim::PlatformScope scope(sim);
    sim.setWriteHandlesOnFailure(c.leavesHandles);
    path_ = c.path.empty() ? file : c.path;
    const std::string error = record({kMusic}, 0.05);
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    EXPECT_THAT(out_, HasSubstr(c.out));
    EXPECT_EQ(out_.empty(), *c.out == '\0');
    // The file has the rate that the summary names.
    const std::string rate =
        c.error.empty() ? " sampleRate=" + std::to_string(decode(path_).rate) + " " : "";
    EXPECT_THAT(out_, HasSubstr(rate));
    Calls torn;  // the stops, removals and destructions, in order
    for (const std::string& call : sim.calls())
      if (call.rfind("deviceStop", 0) == 0 || call.rfind("destroy", 0) == 0 ||
          call.rfind("remove", 0) == 0)
        torn.push_back(call);
    EXPECT_EQ(torn, c.teardown);
    sim.clearCalls();
    recorder_.reset();
    EXPECT_EQ(sim.calls(), Calls{});
  }
}

// An input device joins the aggregate after the output device, with drift compensation unless
// both say they share a clock; a headset's own input is the output device's, already there. The
// recorded input's first stream, and only it, is mixed into the tap's channels.
TEST_F(RecordingTest, TheInputDeviceJoinsTheAggregateOnItsClockAndIntoTheMix) {
  struct Case {
    const char* name;
    AudioObjectID id;
    std::string uid;
    std::uint32_t domain;
    bool subDevice, drift;
  };
  sim_.setValue(AudioObjectID(60), kAudioDevicePropertyClockDomain, std::uint32_t(5));
  sim_.setTone(11, 0);
  for (const Case& c : {Case{"another clock", 70, "Mic", 7, true, true},
                        Case{"an unknown clock", 71, "Mic2", 0, true, true},
                        Case{"one clock", 72, "Mic3", 5, true, false},
                        Case{"the headset's", 60, "Speakers", 5, false, false}}) {
    SCOPED_TRACE(c.name);
    sim_.setSubDeviceInput(1, 1000);  // the output device's own, not recorded but by a headset
    sim_.addInputDevice({c.id, "Mic", c.uid, 2, 660, c.domain});
    std::optional<InputDevice> input;
    for (const InputDevice& device : readInputDevices())
      if (device.uid == c.uid) input = device;
    ASSERT_TRUE(input);
    recorder_ = ProcessTapRecorder::make({{{kMusic}, {}, path_, input}}, 0.05);
    ::testing::internal::CaptureStdout();
    recorder_->run();
    EXPECT_THAT(::testing::internal::GetCapturedStdout(), HasSubstr(" input=Mic buffers="));
    recorder_.reset();
    const Value::List subdevices = sim_.aggregateDescriptions().back().find("subdevices")->list();
    ASSERT_EQ(subdevices.size(), c.subDevice ? 2u : 1u);
    if (c.subDevice) {
      EXPECT_EQ(subdevices[1].find("uid")->text(), c.uid);
      EXPECT_EQ(subdevices[1].find("drift") != nullptr, c.drift);
    }
    const Decoded file = decode(path_);
    ASSERT_EQ(file.channels, 2);
    for (std::int64_t f : {0, 700, 2399})
      for (int channel : {0, 1})
        EXPECT_FLOAT_EQ(file.samples[std::size_t(f) * 2 + channel], tone({660}, 48000, f));
  }
}

struct GlobalCase {
  const char* name;
  std::vector<AudioProcessInfo> targets;
  std::variant<AudioObjectID, sim::Fail> ownObject;
  CATapDescription::Kind kind;
  std::vector<AudioObjectID> processes;
  std::string deviceName;
};

// Only real processes are tapped, yet every target is named; a tap of the whole system leaves
// out the tool's own process as far as it is known.
TEST_F(RecordingTest, TheTapTakesTheRealTargetsOrTheSystemWithoutTheTool) {
  using Kind = CATapDescription::Kind;
  const std::string prefix = "brindlex-process-tap-";
  const Kind mix = Kind::stereoMixdownOfProcesses, all = Kind::stereoGlobalTapButExcludeProcesses;
  // clang-format off
  const std::vector<GlobalCase> cases = {
      {"global and Music", {kGlobal, kMusic}, AudioObjectID(99), mix, {11}, prefix + "全局系统音频+Music"},
      {"translated", {kGlobal}, AudioObjectID(99), all, {99}, prefix + "全局系统音频"},
      {"translation fails", {kGlobal}, sim::Fail{-50}, all, {}, prefix + "全局系统音频"},
      {"translated to nothing", {kGlobal}, AudioObjectID(0), all, {}, prefix + "全局系统音频"},
      {"no targets", {}, AudioObjectID(99), all, {99}, prefix}};
  // clang-format on
  for (const GlobalCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimulatedPlatform sim;
    sim::PlatformScope scope(sim);
    sim.addOutputDevice(60, "Speakers");
    sim.addProcessObject({11, 812, std::string("com.apple.Music"), 1u});
    sim.setProcessObjectForPid(sim.ownPid(), c.ownObject);
    ASSERT_EQ(record(c.targets, 0), "");
    EXPECT_EQ(err_, "");  // silent, but nothing was written: nothing to warn about
    ASSERT_EQ(sim.tapDescriptions().size(), 1u);
    EXPECT_EQ(sim.tapDescriptions()[0].kind, c.kind);
    EXPECT_EQ(sim.tapDescriptions()[0].processes, c.processes);
    EXPECT_EQ(sim.tapDescriptions()[0].muteBehavior, CATapMuteBehavior::CATapUnmuted);
    EXPECT_EQ(sim.aggregateDescriptions()[0].find("name")->text(), c.deviceName);
    recorder_.reset();
  }
}

// Cycles whose input could not be read and cycles the file refused are summed up after the
// summary, and the run fails; the recording goes on after each.
TEST_F(RecordingTest, LostAudioIsCountedAfterTheSummaryAndFailsTheRun) {
  struct Case {
    std::set<std::int64_t> unreadable;
    std::set<std::int64_t> failingWrites;
    bool deviceLost;
    std::string summary, err, error;  // counts in the summary, standard error, the error
  };
  const std::string write = "写入 Tap 音频失败：模拟的写入失败\n";
  // 0.05 s holds four cycles of 512 frames; 0.04 s three.
  // clang-format off
  for (const Case& c : std::vector<Case>{
           // Silence in the place of each: the file holds the duration.
           {{2}, {3, 4}, false, "buffers=2 frames=2400", write + write,
            "录音丢失了音频：1 个 IO 周期的输入无法读取（0.01 秒音频），2 个 IO 周期（0.02 秒音频）"
            "未能写入文件；共 0.03 秒"},
           {{}, {1}, true, "buffers=2 frames=1536",
            write + "录音丢失了音频：1 个 IO 周期（0.01 秒音频）未能写入文件\n", kDeviceLost}}) {
    // clang-format on
    sim::SimulatedPlatform sim;
    sim::PlatformScope scope(sim);
    sim.addProcessObject({11, 812, std::string("com.apple.Music"), 1u});
    sim.addOutputDevice(60, "Speakers");
    sim.setUnreadableCycles(c.unreadable);
    sim.setWriteFailures(c.failingWrites);
    if (c.deviceLost) sim.loseDeviceAt(0.04);
    EXPECT_EQ(record({kMusic}, 0.05), c.error);
    EXPECT_THAT(out_, HasSubstr(c.summary));
    EXPECT_EQ(err_, c.err);
    recorder_.reset();
  }
}

// The ring absorbs a stalled write shorter than itself; a longer stall, an overloaded IO block
// that makes the device skip cycles, and the platform's own drops are counted and fail the run.
// A recorder that was itself stopped loses nothing.
TEST_F(RecordingTest, TheRealTimePathLosesOnlyWhatItCountsAndReports) {
  const std::string lost = std::string(kLostAudio) + "：";
  struct Case {
    const char* faults;
    double seconds;
    std::string summary, error;
    const char* scenario = "{}";
  } cases[] = {
      {R"({"stalledWrites": {"10": 1000}})", 1.5, "buffers=141 frames=72000 ", ""},
      // The tool itself stopped for longer than the watchdog's quiet time, the backlog kept: no
      // cycle for that long is not the device's end, nor are the slices of cycles after it. The
      // stop begins with a slice (at 1 s), so that one slice sees no cycle at all.
      {"{}", 22, "frames=1056000 ", "", R"({"recorderStopped": {"at": 1, "seconds": 11}})"},
      // Cycles 11 to 196 fill the ring behind the stalled 10th; 197 to 291 find it full, and
      // are silence in their place. A stall that outlasts the recording ends in the time after.
      {R"({"stalledWrites": {"10": 3000}})", 4, "frames=192000 ",
       lost + "写入跟不上，1.01 秒音频未能进入缓冲区"},
      {R"({"stalledWrites": {"15": 3500}})", 3, "frames=144000 ",
       lost + "写入跟不上，0.85 秒音频未能进入缓冲区"},
      // The block of cycle 5 runs 30 ms: the device skips cycles 6 and 7.
      {R"({"ioOverloads": {"5": 30}})", 0.1, "frames=4800 ",
       lost + "设备跳过了 IO 周期（0.02 秒音频）"},
      {R"({"droppedFrames": 4800, "ioOverloads": {"1": 15}})", 0.1, "frames=4800 ",
       lost + "设备跳过了 IO 周期（0.01 秒音频），音频系统丢弃了 0.10 秒音频；共 0.11 秒"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    sim::SimulatedPlatform sim;
    json scenario = json::parse(c.scenario);
    scenario.update({{"processObjects", {{{"id", 11}, {"pid", 812}}}},
                     {"tone", {{"11", 440}}},
                     {"faults", json::parse(c.faults)}});
    sim::loadScenario(sim, scenario);
    sim::PlatformScope scope(sim);
    EXPECT_EQ(record({kMusic}, c.seconds), c.error);
    EXPECT_THAT(out_, HasSubstr(c.summary));
    recorder_.reset();
  }
}

// Core Audio puts a headset's microphone into the aggregate's input, beside the tap.
// The tap's streams are found wherever the aggregate lists them, once they appear, and again
// when the list changes while the start waits or during the recording (a microphone of another
// shape than the tap's streams, so that the two ends cannot be confused).
TEST_F(RecordingTest, AHeadsetsMicrophoneInTheAggregateIsNeitherRecordedNorOpened) {
  for (auto [format, microphone] : {std::pair{R"({"channels": 2})", 1u},
                                    std::pair{R"({"channels": 2, "interleaved": false})", 2u}}) {
    for (const char* extra :
         {R"({"aggregateInput": {}})", R"({"aggregateInput": {"tapFirst": true}})",
          R"({"aggregateInput": {"tapStreamsAfter": 0.3}})",
          R"({"aggregateInput": {"tapFirst": true, "tapStreamsAfter": 0.3}})",
          R"({"aggregateInput": {"subDeviceStreamsAfter": 0.02}})",
          R"({"aggregateInput": {"tapFirst": true, "subDeviceStreamsAfter": 0.02}})",
          R"({"aggregateInput": {"subDeviceStreamsAfter": 0.1}, "blockedStart": 0.2})"}) {
      SCOPED_TRACE(std::string(format) + " " + extra);
      json scenario = json::parse(extra);
      scenario.update({{"tapFormat", json::parse(format)},
                       {"tone", {{"11", 440}}},
                       {"subDeviceInput", {{"channels", microphone}, {"tone", 1000}}}});
      recordScenario(scenario, {kMusic});
      EXPECT_FALSE(microphoneDelivered_);
      const Decoded file = decode(path_);
      ASSERT_EQ(file.samples.size(), 2400u * 2);
      for (std::size_t frame : {1u, 100u, 2399u})
        EXPECT_EQ(file.samples[2 * frame + 1], tone({440}, 48000, frame));
    }
  }
}

TEST_F(RecordingTest, ASilentRecordingSaysWhetherTheTargetsPlayed) {
  const std::string withheld =
      std::string(kSilentWhilePlaying) + kSystemAudioRecordingNotAllowed + "\n";
  struct Case {
    const char* name;
    json scenario;
    std::vector<AudioProcessInfo> targets;
    std::string err;
    const char* summary = "";
  } cases[] = {
      {"target played, permission missing",
       {{"tone", {{"11", 440}}}, {"faults", {{"permissionDenied", true}}}},
       {kMusic},
       withheld},
      {"target silent", json::object(), {kMusic}, std::string(kSilentTargetsIdle) + "\n"},
      {"another process played into the global tap",
       {{"tone", {{"11", 440}}}, {"faults", {{"permissionDenied", true}}}},
       {kGlobal},
       withheld},
      // The tool's own output is not what the global tap records.
      {"only the tool itself played",
       {{"tone", {{"99", 440}}}, {"ownProcessObject", 99u}},
       {kGlobal},
       std::string(kSilentSystemIdle) + "\n"},
      {"target played with permission", {{"tone", {{"11", 440}}}}, {kMusic}, ""},
      // A start that waits for the targets' first audio (tapautostart) ends with the interrupt;
      // a target that plays later is recorded for the whole duration from then.
      {"start waited until interrupted",
       {{"blockedStart", true}, {"interruptAt", 0.3}},
       {kMusic},
       std::string(kSilentTargetsIdle) + "\n",
       "buffers=0 frames=0 "},
      {"start waited until the target played",
       {{"blockedStart", 0.3}, {"tone", {{"11", 440}}}},
       {kMusic},
       "",
       "buffers=5 frames=2400 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recordScenario(c.scenario, c.targets);
    EXPECT_EQ(err_, c.err);
    EXPECT_THAT(out_, HasSubstr(c.summary));
  }
}

// A start that waits for sound outlives the stop: once the device and the tap are gone it is
// waited for a moment only, and the run ends with its summary.
TEST_F(RecordingTest, AStartThatNeverReturnsIsLeftBehindOnceTheDeviceAndTapAreGone) {
  sim_.blockStart(kForever, true);
  sim_.interruptAt(0.3);
  EXPECT_EQ(record({kMusic}, 5), "");
  EXPECT_THAT(out_, HasSubstr("buffers=0 frames=0 "));
  const Calls calls = sim_.calls();
  const auto stop = std::find(calls.begin(), calls.end(), "deviceStop 200 proc1");
  ASSERT_GE(calls.end() - stop, 5);
  EXPECT_EQ(Calls(stop, stop + 5), (Calls{"deviceStop 200 proc1", "destroyIOProcID 200 proc1",
                                          "destroyAggregateDevice 200", "destroyProcessTap 100",
                                          "sleepForTimeInterval 2"}));
}

TEST(SilenceDiagnosis, AnUnreadablePlayingStateLeavesBothCausesOpen) {
  sim::SimulatedPlatform sim;
  sim.addProcessObject({11, 812, std::string("com.apple.Music"), 1u});
  sim.failProperty(11, kAudioProcessPropertyIsRunningOutput, kAudioHardwareBadObjectError, 0);
  sim::PlatformScope scope(sim);
  EXPECT_EQ(silenceDiagnosis({AudioObjectID(11)}, {}),
            std::string(kSilentUnexplained) + kSystemAudioRecordingNotAllowed);
}

// An interruption ends the run with success, the device's end or a change of its rate with an
// error; either way after the summary of what the file holds, at the rate it began with, and
// after teardown.
TEST_F(RecordingTest, AnEarlyEndKeepsACompleteFileAndItsSummary) {
  struct sigaction before {};
  sigaction(SIGINT, nullptr, &before);
  for (double seconds : {kForever, 5.0}) {
    // A device that says it died, whose rate changed, or whose cycles stop without a word ('livn'
    // unchanged).
    for (const std::string ending :
         {"interrupted", "device lost", "rate changed", "cycles stopped"}) {
      SCOPED_TRACE(ending);
      std::string expected;
      if (ending == "interrupted") {
        sim_.interruptAt(sim_.virtualTime() + 0.5);
      } else if (ending == "device lost") {
        sim_.loseDeviceAt(0.5);
        expected = kDeviceLost;
      } else if (ending == "rate changed") {
        sim_.changeDeviceRateAt(0.5, 44100);  // another app switched the output device
        expected = kRateChanged;
      } else {
        sim_.stopCyclesAt(0.5);
        expected = kDeviceLost;
      }
      EXPECT_EQ(record({kMusic}, seconds), expected);
      sim_.stopCyclesAt(kForever);
      // The 46 whole cycles before the end.
      EXPECT_THAT(out_, HasSubstr("buffers=46 frames=23552 sampleRate=48000"));
      EXPECT_EQ(err_, "");  // the error is the entry's to print
      const Decoded file = decode(path_);
      EXPECT_EQ(file.rate, 48000);
      ASSERT_EQ(file.samples.size(), 23552u * 2);
      EXPECT_EQ(file.samples[2 * 23551], tone({440}, 48000, 23551));
      EXPECT_FALSE(recorder_->hasAudioFile());
      EXPECT_THAT(sim_.calls(), Contains("destroyProcessTap 100"));
    }
  }
  struct sigaction after {};
  sigaction(SIGINT, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);  // the handler lives for the wait only
}

// The model holds the recorder to the real-time thread's rules: a stop or a file write on the
// IO queue ends the process (a stop there deadlocks on a Mac; a write stalls the HAL).
TEST(SimulatedIOQueue, EndsTheProcessOnAStopOrAWriteThere) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = ::testing::TempDir() + "pt-io-queue.caf";
  for (const char* call : {"deviceStop", "file write"}) {
    EXPECT_DEATH(
        {
          sim::SimulatedPlatform sim;
          sim::PlatformScope scope(sim);
          AudioObjectID device = AudioObjectID::unknown;
          AudioDeviceIOProcID proc = nullptr;
          sim.createAggregateDevice(Value::Dictionary{{"name", "x"}}, device);
          auto file =
              sim.openAudioFileForWriting(path, audioFileSettingsFor(path, 48000, 2),
                                          AVAudioCommonFormat::AVAudioPCMFormatFloat32, true);
          sim.createIOProcIDWithBlock(
              proc, device, sim.makeSerialQueue("q"),
              [&](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                  AudioBufferList*, const AudioTimeStamp*) {
                std::string_view error;
                if (*call == 'd')
                  sim.deviceStop(device, proc);
                else
                  file->writeFromBuffer(PCMBuffer(input, 512), error);
              });
          sim.deviceStart(device, proc);
          std::atomic<bool> never{false};
          sim.sleepForTimeInterval(0.1, never);
        },
        std::string(call) + ".* on the IO queue");
  }
  std::filesystem::remove(path);
}

// `kill` stops a recording as Ctrl-C does, with a complete file.
TEST(Interruption, EitherSignalEndsTheWait) {
  for (int signal : {SIGINT, SIGTERM}) {
    std::atomic<bool> interrupted{false};
    {
      InterruptionScope scope(interrupted);
      std::raise(signal);
    }
    EXPECT_TRUE(interrupted.load()) << signal;
  }
}

}  // namespace
}  // namespace pt
