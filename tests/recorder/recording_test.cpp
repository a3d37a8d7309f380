// Whole recordings on the simulated platform: set-up order, teardown after every failure,
// the file that results, interruption, the device's rate and silent captures.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>

#include "audio/simulated/simulated_platform.h"
#include "audio/text_error.h"
#include "recorder/process_tap_recorder.h"
#include "recorder/silence_diagnosis.h"

namespace pt {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const AudioProcessInfo kMusic{812, 11, "Music", "com.apple.Music", true};
const AudioProcessInfo kSafari{913, 12, "Safari", "com.apple.Safari", true};
const AudioProcessInfo kGlobal{0, 0, "全局系统音频", "global.system.audio", true};

struct Decoded {
  int rate = 0;
  int channels = 0;
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
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  // Runs one recording; returns what it printed on standard output.
  std::string record(std::vector<AudioProcessInfo> targets, double seconds) {
    recorder_ = ProcessTapRecorder::make(std::move(targets), path_, seconds);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    try {
      recorder_->run();
    } catch (...) {
      out_ = ::testing::internal::GetCapturedStdout();
      err_ = ::testing::internal::GetCapturedStderr();
      throw;
    }
    out_ = ::testing::internal::GetCapturedStdout();
    err_ = ::testing::internal::GetCapturedStderr();
    return out_;
  }

  sim::SimulatedPlatform sim_;
  sim::PlatformScope scope_;
  std::filesystem::path directory_;
  std::string path_;
  std::shared_ptr<ProcessTapRecorder> recorder_;
  std::string out_, err_;
};

// The set-up calls, in order, up to and including the file.
std::vector<std::string> setUpCalls(const std::string& path) {
  return {"makeSerialQueue brindlex.process-tap.demo",
          "randomUUID 00000000-0000-4000-8000-000000000001",
          "createProcessTap stereoMixdownOfProcesses [11] 00000000-0000-4000-8000-000000000001 "
          "mute=0",
          "getPropertyDataSize 1 'sOut' 'glob' 0 q0=null",
          "getPropertyData 1 'sOut' 'glob' 0 q0=null cap4",
          "getPropertyDataSize 60 'uid ' 'glob' 0 q0=null",
          "getPropertyData 60 'uid ' 'glob' 0 q0=null cap8",
          "randomUUID 00000000-0000-4000-8000-000000000002",
          "createAggregateDevice brindlex-process-tap-Music",
          "getPropertyDataSize 200 'stm#' 'inpt' 0 q0=null",
          "getPropertyDataSize 60 'stm#' 'inpt' 0 q0=null",
          "getPropertyDataSize 100 'tfmt' 'glob' 0 q0=null",
          "getPropertyData 100 'tfmt' 'glob' 0 q0=null cap40",
          "getPropertyDataSize 200 'nsrt' 'glob' 0 q0=null",
          "makeAudioFormat 48000 'lpcm' flags=9 2ch 32bit",
          "openAudioFileForWriting " + path + " 'lpcm' 48000 2 common1 interleaved"};
}

TEST_F(RecordingTest, AGoodRunSetsUpInOrderTearsDownInOrderAndReportsOnce) {
  const std::string out = record({kMusic}, 0.05);
  std::vector<std::string> expected = setUpCalls(path_);
  for (const char* call :
       {"createIOProcIDWithBlock 200 brindlex.process-tap.demo",
        "addPropertyListenerBlock 200 'livn' brindlex.process-tap.demo", "deviceStart 200 proc1",
        "sleepForTimeInterval 0.05", "removePropertyListenerBlock 200 'livn' listener1",
        "deviceStop 200 proc1", "destroyIOProcID 200 proc1", "destroyAggregateDevice 200",
        "destroyProcessTap 100"})
    expected.push_back(call);
  EXPECT_EQ(sim_.calls(), expected);
  // 0.05 s at 48000 Hz holds four whole cycles of 512 frames.
  EXPECT_EQ(out, "wrote=" + path_ +
                     " targets=Music(pid=812) buffers=4 frames=2048 sampleRate=48000 channels=2\n");
  EXPECT_EQ(err_, "");
  EXPECT_FALSE(recorder_->tapID().isValid());
  EXPECT_FALSE(recorder_->aggregateDeviceID().isValid());
  EXPECT_FALSE(recorder_->hasAudioFile());

  sim_.clearCalls();
  recorder_->cleanup();
  recorder_.reset();
  EXPECT_THAT(sim_.calls(), IsEmpty());
}

TEST_F(RecordingTest, TheFileDecodesBackToTheTonesOfTheTappedProcesses) {
  sim_.setTone(12, 660);
  record({kMusic, kSafari}, 0.1);
  const Decoded file = decode(path_);
  EXPECT_EQ(file.rate, 48000);
  ASSERT_EQ(file.channels, 2);
  ASSERT_EQ(file.samples.size(), std::size_t(9 * 512 * 2));
  for (std::size_t frame = 0; frame < 9 * 512; frame += 37) {
    const float expected = sim::SimulatedPlatform::toneSample({440, 660}, 48000, frame);
    EXPECT_EQ(file.samples[2 * frame], expected) << frame;
    EXPECT_EQ(file.samples[2 * frame + 1], expected) << frame;
  }
  EXPECT_THAT(out_, HasSubstr("targets=Music(pid=812),Safari(pid=913) buffers=9 frames=4608"));
}

TEST_F(RecordingTest, NonInterleavedCapturesAreWrittenAsTheyArrive) {
  sim_.setTapFormat(
      {44100, kAudioFormatLinearPCM,
       kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved, 4, 1,
       4, 2, 32, 0});
  path_ = (directory_ / "out.WAV").string();
  record({kMusic}, 0.05);
  EXPECT_THAT(sim_.calls(), ::testing::Contains(HasSubstr("44100 2 common1 non-interleaved")));
  const Decoded file = decode(path_);
  EXPECT_EQ(file.rate, 44100);
  ASSERT_EQ(file.samples.size(), std::size_t(4 * 512 * 2));
  EXPECT_EQ(file.samples[2 * 100 + 1], sim::SimulatedPlatform::toneSample({440}, 44100, 100));
}

struct FailurePoint {
  const char* name;
  std::function<void(RecordingTest&, sim::SimulatedPlatform&, std::string& path)> arrange;
  std::string message;  // a prefix for the writer's own message
  std::vector<std::string> teardown;
};

// Test names show the step, not the bytes of the parameter.
void PrintTo(const FailurePoint& point, std::ostream* out) { *out << point.name; }

class FailureTest : public RecordingTest, public ::testing::WithParamInterface<FailurePoint> {};

const std::vector<std::string> kDeviceAndTap = {"deviceStop 200 null", "destroyAggregateDevice 200",
                                                "destroyProcessTap 100"};
const std::vector<std::string> kEverything = {"deviceStop 200 proc1", "destroyIOProcID 200 proc1",
                                              "destroyAggregateDevice 200",
                                              "destroyProcessTap 100"};
const std::vector<std::string> kEverythingWatched = {
    "removePropertyListenerBlock 200 'livn' listener1", "deviceStop 200 proc1",
    "destroyIOProcID 200 proc1", "destroyAggregateDevice 200", "destroyProcessTap 100"};

TEST_P(FailureTest, ThrowsWithoutASummaryAndTheReleaseRemovesExactlyWhatWasMade) {
  const FailurePoint& point = GetParam();
  point.arrange(*this, sim_, path_);
  try {
    record({kMusic}, 1);
    FAIL() << "run() returned";
  } catch (const TextError& error) {
    EXPECT_THAT(error.what(), StartsWith(point.message));
  }
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "");
  sim_.clearCalls();
  recorder_.reset();
  EXPECT_EQ(sim_.calls(), point.teardown);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, FailureTest,
    ::testing::Values(
        FailurePoint{"Tap",
                     [](auto&, auto& sim, auto&) { sim.failCall("createProcessTap", -50); },
                     "创建进程音频 Tap 失败：-50",
                     {}},
        FailurePoint{"OutputDevice",
                     [](auto&, auto& sim, auto&) {
                       sim.failProperty(AudioObjectID::system,
                                        kAudioHardwarePropertyDefaultSystemOutputDevice,
                                        kAudioHardwareBadObjectError, 0);
                     },
                     "读取 Core Audio 属性大小失败：560947818",
                     {"destroyProcessTap 100"}},
        FailurePoint{"OutputDeviceUID",
                     [](auto&, auto& sim, auto&) {
                       sim.failProperty(60, kAudioDevicePropertyDeviceUID, 0, -1);
                     },
                     "读取 Core Audio 属性失败：-1",
                     {"destroyProcessTap 100"}},
        FailurePoint{"Aggregate",
                     [](auto&, auto& sim, auto&) { sim.failCall("createAggregateDevice", 7); },
                     "创建聚合音频设备失败：7",
                     {"destroyProcessTap 100"}},
        FailurePoint{"AggregateThatLeftAnID",
                     [](auto&, auto& sim, auto&) {
                       sim.failCall("createAggregateDevice", 7);
                       sim.setWriteHandlesOnFailure(true);
                     },
                     "创建聚合音频设备失败：7", kDeviceAndTap},
        FailurePoint{"TapFormat", [](auto&, auto& sim, auto&) { sim.failTapFormat(-10); },
                     "读取 Core Audio 属性大小失败：-10", kDeviceAndTap},
        FailurePoint{"CaptureFormat",
                     [](auto&, auto& sim, auto&) { sim.setCaptureFormatUnusable(true); },
                     "创建 Tap 音频格式失败", kDeviceAndTap},
        FailurePoint{"UnusableTapFormat",
                     [](auto&, auto& sim, auto&) {
                       sim.setTapFormat({48000, kAudioFormatLinearPCM, 0, 4, 1, 4, 2, 16, 0});
                     },
                     "创建 Tap 音频格式失败", kDeviceAndTap},
        FailurePoint{
            "File",
            [](auto&, auto&, auto& path) {
              path = (std::filesystem::path(path).parent_path() / "missing" / "out.caf").string();
            },
            "无法创建音频文件 ", kDeviceAndTap},
        FailurePoint{"IOProc",
                     [](auto&, auto& sim, auto&) { sim.failCall("createIOProcIDWithBlock", -66); },
                     "创建 Tap 回调失败：-66", kDeviceAndTap},
        FailurePoint{"IOProcThatLeftAHandle",
                     [](auto&, auto& sim, auto&) {
                       sim.failCall("createIOProcIDWithBlock", -66);
                       sim.setWriteHandlesOnFailure(true);
                     },
                     "创建 Tap 回调失败：-66", kEverything},
        FailurePoint{
            "Watch",
            [](auto&, auto& sim, auto&) { sim.failCall("addPropertyListenerBlock", 1852797029); },
            "监听 Tap 聚合设备失败：1852797029", kEverything},
        FailurePoint{"Start",
                     [](auto&, auto& sim, auto&) { sim.failCall("deviceStart", 1852797029); },
                     "启动 Tap 聚合设备失败：1852797029", kEverythingWatched}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecordingTest, AFailureAfterTheFileOpenedStillLeavesAReadableFile) {
  sim_.failCall("deviceStart", -50);
  EXPECT_THROW(record({kMusic}, 1), TextError);
  recorder_.reset();
  const Decoded file = decode(path_);
  EXPECT_EQ(file.samples.size(), 0u);
}

TEST_F(RecordingTest, OnlyRealProcessesAreTappedButEveryTargetIsNamed) {
  record({kGlobal, kMusic}, 0);
  ASSERT_EQ(sim_.tapDescriptions().size(), 1u);
  EXPECT_EQ(sim_.tapDescriptions()[0].kind, CATapDescription::Kind::stereoMixdownOfProcesses);
  EXPECT_THAT(sim_.tapDescriptions()[0].processes, ElementsAre(AudioObjectID(11)));
  EXPECT_EQ(sim_.aggregateDescriptions()[0].find("name")->text(),
            "brindlex-process-tap-全局系统音频+Music");
  EXPECT_THAT(sim_.calls(), ::testing::Not(::testing::Contains("processIdentifier")));
  EXPECT_THAT(out_, HasSubstr("targets=全局系统音频(pid=0),Music(pid=812) buffers=0 frames=0"));
}

struct GlobalCase {
  const char* name;
  std::vector<AudioProcessInfo> targets;
  std::function<void(sim::SimulatedPlatform&)> arrange;
  std::vector<AudioObjectID> excluded;
  std::string deviceName;
};

class GlobalTapTest : public RecordingTest, public ::testing::WithParamInterface<GlobalCase> {};

TEST_P(GlobalTapTest, LeavesOutTheToolsOwnProcessAsFarAsItIsKnown) {
  GetParam().arrange(sim_);
  record(GetParam().targets, 0.02);
  ASSERT_EQ(sim_.tapDescriptions().size(), 1u);
  const CATapDescription tap = sim_.tapDescriptions()[0];
  EXPECT_EQ(tap.kind, CATapDescription::Kind::stereoGlobalTapButExcludeProcesses);
  EXPECT_EQ(tap.processes, GetParam().excluded);
  EXPECT_EQ(tap.muteBehavior, CATapMuteBehavior::CATapUnmuted);
  EXPECT_EQ(sim_.aggregateDescriptions()[0].find("name")->text(), GetParam().deviceName);
  EXPECT_THAT(out_, StartsWith("wrote="));
}

INSTANTIATE_TEST_SUITE_P(
    OwnPid, GlobalTapTest,
    ::testing::Values(
        GlobalCase{
            "Translated", {kGlobal}, [](auto&) {}, {99}, "brindlex-process-tap-全局系统音频"},
        GlobalCase{"TranslationFails",
                   {kGlobal},
                   [](auto& sim) { sim.setProcessObjectForPid(sim.ownPid(), sim::Fail{-50}); },
                   {},
                   "brindlex-process-tap-全局系统音频"},
        GlobalCase{"TranslatedToNothing",
                   {kGlobal},
                   [](auto& sim) { sim.setProcessObjectForPid(sim.ownPid(), AudioObjectID(0)); },
                   {},
                   "brindlex-process-tap-全局系统音频"},
        GlobalCase{"NoTargets", {}, [](auto&) {}, {99}, "brindlex-process-tap-"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecordingTest, TheGlobalTapHearsEveryProcessButTheExcludedOne) {
  sim_.addProcessObject({99, 4242, std::string("tool"), 1u});
  sim_.setTone(99, 1000);
  record({kGlobal}, 0.02);
  const Decoded file = decode(path_);
  ASSERT_GT(file.samples.size(), 200u);
  EXPECT_EQ(file.samples[200], sim::SimulatedPlatform::toneSample({440, 660}, 48000, 100));
}

TEST_F(RecordingTest, TheFileAndSummaryCarryTheDevicesOwnRate) {
  sim_.setDeviceSampleRate(96000);
  record({kMusic}, 0.05);
  EXPECT_THAT(sim_.calls(), ::testing::Contains(HasSubstr("makeAudioFormat 96000 ")));
  EXPECT_THAT(out_, HasSubstr("buffers=9 frames=4608 sampleRate=96000 channels=2"));
  EXPECT_EQ(decode(path_).rate, 96000);
}

TEST_F(RecordingTest, AnUnreadableOrUnusableDeviceRateLeavesTheTapsRate) {
  for (auto arrange : std::vector<std::function<void()>>{
           [&] { sim_.failDeviceSampleRate(kAudioHardwareUnknownPropertyError); },
           [&] { sim_.setDeviceSampleRate(std::numeric_limits<double>::infinity()); },
           [&] { sim_.setDeviceSampleRate(-1); }}) {
    arrange();
    record({kMusic}, 0.05);
    EXPECT_THAT(out_, HasSubstr("sampleRate=48000 channels=2"));
    EXPECT_EQ(decode(path_).rate, 48000);
  }
}

TEST_F(RecordingTest, FailingWritesAreReportedOneLineEachAndTheRecordingGoesOn) {
  sim_.setWriteFailures({2, 3});
  EXPECT_THROW(record({kMusic}, 0.05), TextError);  // audio was lost
  EXPECT_EQ(err_, "写入 Tap 音频失败：模拟的写入失败\n写入 Tap 音频失败：模拟的写入失败\n");
  EXPECT_THAT(out_, HasSubstr("buffers=2 frames=1024"));
  EXPECT_EQ(decode(path_).samples.size(), 1024u * 2);
}

TEST_F(RecordingTest, ASilentRecordingWarnsAfterTheSummaryButSucceeds) {
  sim_.setTone(11, 0);  // a tone of 0 Hz is digital silence
  record({kMusic}, 0.05);
  EXPECT_THAT(out_, HasSubstr("buffers=4"));
  EXPECT_EQ(err_, std::string(kSilentTargetsIdle) + "\n");

  record({kMusic}, 0);  // nothing written: nothing to warn about
  EXPECT_EQ(err_, "");
}

TEST_F(RecordingTest, AnInterruptionEndsTheWaitAndKeepsACompleteFile) {
  struct sigaction before {};
  sigaction(SIGINT, nullptr, &before);
  for (double seconds : {std::numeric_limits<double>::infinity(), 5.0}) {
    sim_.interruptAt(sim_.virtualTime() + 1.0);
    const double start = sim_.virtualTime();
    record({kMusic}, seconds);
    EXPECT_DOUBLE_EQ(sim_.virtualTime() - start, 1.0);
    // 1 s at 48000 Hz holds 93 whole cycles of 512 frames.
    EXPECT_THAT(out_, HasSubstr("buffers=93 frames=47616"));
    const Decoded file = decode(path_);
    ASSERT_EQ(file.samples.size(), 47616u * 2);
    EXPECT_EQ(file.samples[2 * 47615], sim::SimulatedPlatform::toneSample({440}, 48000, 47615));
    EXPECT_THAT(sim_.calls(), ::testing::Contains("destroyProcessTap 100"));
  }
  struct sigaction after {};
  sigaction(SIGINT, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);  // the handler lives for the wait only
}

TEST_F(RecordingTest, ADeviceThatStopsOnItsOwnEndsTheRunWithItsAudioSummedUpAndAnError) {
  for (double seconds : {std::numeric_limits<double>::infinity(), 5.0}) {
    sim_.loseDeviceAt(0.5);
    const double start = sim_.virtualTime();
    std::string message;
    try {
      record({kMusic}, seconds);
    } catch (const TextError& error) {
      message = error.what();
    }
    EXPECT_EQ(message, kDeviceLost);
    EXPECT_DOUBLE_EQ(sim_.virtualTime() - start, 0.5);
    // The 46 whole cycles before the end, all of them in the file and the summary.
    EXPECT_THAT(out_, HasSubstr("buffers=46 frames=23552"));
    EXPECT_EQ(err_, "");  // the error is the entry's to print
    EXPECT_EQ(decode(path_).samples.size(), 23552u * 2);
    EXPECT_FALSE(recorder_->hasAudioFile());
    EXPECT_THAT(sim_.calls(), ::testing::Contains("destroyProcessTap 100"));
  }
}

TEST_F(RecordingTest, ASummaryThatCannotBeWrittenIsAnError) {
  recorder_ = ProcessTapRecorder::make({kMusic}, path_, 0.05);
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  ::dup2(full, STDOUT_FILENO);
  std::string message;
  try {
    recorder_->run();
  } catch (const TextError& error) {
    message = error.what();
  }
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(full);
  std::clearerr(stdout);
  EXPECT_THAT(message, StartsWith("无法写出录音摘要："));
  EXPECT_FALSE(recorder_->hasAudioFile());  // torn down before the report
}

}  // namespace
}  // namespace pt
