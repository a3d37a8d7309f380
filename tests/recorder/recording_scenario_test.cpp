// The recording keys of a scenario, seen through the recordings they produce.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "audio/simulated/scenario.h"
#include "audio/text_error.h"
#include "recorder/process_tap_recorder.h"

namespace pt {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

const AudioProcessInfo kMusic{812, 11, "Music", "", true};

struct Outcome {
  std::string out, err, error;
};

Outcome recordScenario(const json& recording, const std::string& extension = ".caf") {
  json scenario = recording;
  scenario["processObjects"] = json::array({{{"id", 11}, {"pid", 812}, {"running", 1}}});
  sim::SimulatedPlatform sim;
  sim::loadScenario(sim, scenario);
  sim::PlatformScope scope(sim);
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("pt-scenario-" + std::to_string(::getpid()) + extension))
                               .string();
  Outcome outcome;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  try {
    ProcessTapRecorder::make({kMusic}, path, 0.05)->run();
  } catch (const TextError& error) {
    outcome.error = error.what();
  }
  outcome.out = ::testing::internal::GetCapturedStdout();
  outcome.err = ::testing::internal::GetCapturedStderr();
  std::filesystem::remove(path);
  return outcome;
}

TEST(RecordingScenario, EachKeyShapesTheRecording) {
  struct Case {
    const char* scenario;
    const char* out;  // part of the summary, or "" when the run fails
    const char* error;
  } cases[] = {
      {R"({})", "buffers=4 frames=2048 sampleRate=48000 channels=2", ""},
      {R"({"tone": {"11": 440}, "ioFrames": 240})", "buffers=10 frames=2400", ""},
      {R"({"tapFormat": {"sampleRate": 44100, "channels": 1, "interleaved": false}})",
       "sampleRate=44100 channels=1", ""},
      {R"({"tapFormat": {"formatID": "aac "}})", "", "创建 Tap 音频格式失败"},
      {R"({"tapFormat": {"status": "who?"}})", "", "读取 Core Audio 属性大小失败：2003332927"},
      {R"({"deviceSampleRate": 96000})", "buffers=9 frames=4608 sampleRate=96000", ""},
      {R"({"deviceSampleRate": {"status": -1}})", "sampleRate=48000", ""},
      {R"({"faults": {"createProcessTap": -50}})", "", "创建进程音频 Tap 失败：-50"},
      {R"({"faults": {"defaultOutputDevice": "!obj"}})", "",
       "读取 Core Audio 属性大小失败：560947818"},
      {R"({"faults": {"deviceUID": 5}})", "", "读取 Core Audio 属性大小失败：5"},
      {R"({"outputDevice": {"id": 7, "uid": "X"}, "faults": {"deviceUID": 5}})", "",
       "读取 Core Audio 属性大小失败：5"},
      {R"({"faults": {"createAggregateDevice": 6}})", "", "创建聚合音频设备失败：6"},
      {R"({"faults": {"captureFormat": true}})", "", "创建 Tap 音频格式失败"},
      {R"({"faults": {"createIOProc": 8}})", "", "创建 Tap 回调失败：8"},
      {R"({"faults": {"watchDevice": 10}})", "", "监听 Tap 聚合设备失败：10"},
      {R"({"faults": {"start": 9}})", "", "启动 Tap 聚合设备失败：9"},
      {R"({"faults": {"writeFailures": [1, 4]}})", "buffers=2 frames=1024",
       "录音丢失了音频：2 个 IO 周期（0.02 秒音频）未能写入文件"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    const Outcome outcome = recordScenario(json::parse(c.scenario));
    EXPECT_EQ(outcome.error, c.error);
    if (*c.out != '\0') {
      EXPECT_THAT(outcome.out, HasSubstr(c.out));
    } else {
      EXPECT_EQ(outcome.out, "");
    }
  }
}

TEST(RecordingScenario, AnInterruptionOrTheDevicesEndArrivesAtItsVirtualTime) {
  Outcome outcome = recordScenario(json::parse(R"({"interruptAt": 0.02})"));
  EXPECT_THAT(outcome.out, HasSubstr("buffers=1 frames=512"));
  EXPECT_EQ(outcome.error, "");
  // The summary still counts what was written before the end; the run fails after it.
  outcome = recordScenario(json::parse(R"({"deviceLostAt": 0.03})"));
  EXPECT_THAT(outcome.out, HasSubstr("buffers=2 frames=1024"));
  EXPECT_EQ(outcome.error, kDeviceLost);
}

TEST(RecordingScenario, RefusesWhatItCannotMeanNamingTheKey) {
  const char* cases[][2] = {
      {R"({"tapFormt": {}})", "top level: unknown key \"tapFormt\""},
      {R"({"tapFormat": {"rate": 1}})", "tapFormat: unknown key \"rate\""},
      {R"({"tapFormat": {"formatID": "pcm"}})", "tapFormat.formatID"},
      {R"({"tone": {"x": 440}})", "tone.x"},
      {R"({"tone": {"11": -1}})", "tone.11"},
      {R"({"ioFrames": 0})", "ioFrames"},
      {R"({"deviceSampleRate": "fast"})", "deviceSampleRate"},
      {R"({"faults": {"start": 0}})", "faults.start"},
      {R"({"faults": {"stop": 1}})", "faults: unknown key \"stop\""},
      {R"({"faults": {"captureFormat": 1}})", "faults.captureFormat"},
      {R"({"faults": {"writeFailures": [0]}})", "faults.writeFailures[0]"},
      {R"({"interruptAt": -1})", "interruptAt"},
      {R"({"deviceLostAt": "soon"})", "deviceLostAt"},
  };
  for (const auto& [scenario, where] : cases) {
    SCOPED_TRACE(scenario);
    sim::SimulatedPlatform sim;
    try {
      sim::loadScenario(sim, json::parse(scenario));
      ADD_FAILURE() << "loaded";
    } catch (const sim::ScenarioError& error) {
      EXPECT_THAT(error.what(), ::testing::StartsWith(where));
    }
  }
}

}  // namespace
}  // namespace pt
