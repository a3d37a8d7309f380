// What Core Audio does that the recorder must meet, each fact set up through a scenario: a
// headset's microphone in the aggregate's input, a pid without a process object, a tap without
// the user's permission.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <nlohmann/json.hpp>

#include "audio/macos/silent_capture_reason.h"
#include "audio/simulated/scenario.h"
#include "recorder/process_tap_recorder.h"
#include "recorder/silence_diagnosis.h"

// Allocations made while `counting` is set, on any thread. GCC sees free() behind a delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
void* operator new(std::size_t size) {
  if (counting.load()) allocations.fetch_add(1);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace pt {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

const AudioProcessInfo kMusic{812, 11, "Music", "", true};
const AudioProcessInfo kGlobal{0, 0, "全局系统音频", "global.system.audio", true};

struct Recording {
  std::string out, err;
  std::vector<float> samples;  // interleaved
  std::vector<CATapDescription> taps;
  bool microphoneDelivered = false;
};

// Music (object 11, pid 812) and the tool itself (object 99, pid 4242) are audio clients.
Recording record(json scenario, std::vector<AudioProcessInfo> targets) {
  scenario["processObjects"] = json::array(
      {{{"id", 11}, {"pid", 812}, {"running", 1}}, {{"id", 99}, {"pid", 4242}, {"running", 1}}});
  sim::SimulatedPlatform sim;
  sim::loadScenario(sim, scenario);
  sim::PlatformScope scope(sim);
  const std::string path =
      (std::filesystem::temp_directory_path() / ("pt-model-" + std::to_string(::getpid()) + ".caf"))
          .string();
  Recording r;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  ProcessTapRecorder::make(std::move(targets), path, 0.05)->run();
  r.out = ::testing::internal::GetCapturedStdout();
  r.err = ::testing::internal::GetCapturedStderr();
  SF_INFO info{};
  if (SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info)) {
    r.samples.resize(std::size_t(info.frames * info.channels));
    sf_readf_float(file, r.samples.data(), info.frames);
    sf_close(file);
  }
  std::filesystem::remove(path);
  r.taps = sim.tapDescriptions();
  r.microphoneDelivered = sim.subDeviceInputDelivered();
  return r;
}

TEST(CoreAudioModel, AHeadsetsMicrophoneInTheAggregateIsNeitherRecordedNorOpened) {
  for (const char* format : {R"({"channels": 2})", R"({"channels": 2, "interleaved": false})"}) {
    const Recording r = record({{"tapFormat", json::parse(format)},
                                {"tone", {{"11", 440}}},
                                {"subDeviceInput", {{"channels", 1u}, {"tone", 1000}}}},
                               {kMusic});
    SCOPED_TRACE(format);
    EXPECT_THAT(r.out, HasSubstr("buffers=4 frames=2048"));
    ASSERT_EQ(r.samples.size(), 2048u * 2);
    for (std::size_t frame : {1u, 100u, 2047u})
      EXPECT_EQ(r.samples[2 * frame + 1], sim::SimulatedPlatform::toneSample({440}, 48000, frame));
    EXPECT_FALSE(r.microphoneDelivered);
  }
}

// The HAL calls the block on its real-time thread: picking the tap's buffers out of the list
// allocates nothing.
TEST(CoreAudioModel, TheTapsBuffersArePickedOutOfTheListWithoutAllocating) {
  std::vector<float> microphone(512), tap(1024, 0.5f);
  struct {
    std::uint32_t count = 2;
    AudioBuffer buffers[2];
  } input{2, {{1, 2048, microphone.data()}, {2, 4096, tap.data()}}};
  const AudioBufferList* seen = nullptr;
  AudioDeviceIOBlock block =
      tapInputOnly([&](const AudioTimeStamp*, const AudioBufferList* list, const AudioTimeStamp*,
                       AudioBufferList*, const AudioTimeStamp*) { seen = list; },
                   {1, 2});
  counting = true;
  block(nullptr, reinterpret_cast<const AudioBufferList*>(&input), nullptr, nullptr, nullptr);
  counting = false;
  EXPECT_EQ(allocations.load(), 0);
  ASSERT_NE(seen, nullptr);
  ASSERT_EQ(seen->mNumberBuffers, 1u);
  EXPECT_EQ(seen->mBuffers[0].mData, tap.data());
}

TEST(CoreAudioModel, AnOwnPidWithoutAProcessObjectLeavesTheGlobalTapExcludingNothing) {
  // 'id2p' answers kAudioObjectUnknown, without an error, for the tool's pid 4243.
  const Recording r = record({{"ownPid", 4243}}, {kGlobal});
  ASSERT_EQ(r.taps.size(), 1u);
  EXPECT_TRUE(r.taps[0].processes.empty());
}

TEST(CoreAudioModel, ASilentRecordingSaysWhetherTheTargetsPlayed) {
  const std::string withheld =
      std::string(kSilentWhilePlaying) + kSystemAudioRecordingNotAllowed + "\n";
  struct Case {
    const char* name;
    json scenario;
    std::vector<AudioProcessInfo> targets;
    std::string err;
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(record(c.scenario, c.targets).err, c.err);
  }
}

TEST(CoreAudioModel, AnUnreadablePlayingStateLeavesBothCausesOpen) {
  sim::SimulatedPlatform sim;
  sim.addProcessObject({11, 812, std::string("com.apple.Music"), 1u});
  sim.failProperty(11, kAudioProcessPropertyIsRunningOutput, kAudioHardwareBadObjectError, 0);
  sim::PlatformScope scope(sim);
  EXPECT_EQ(silenceDiagnosis({kMusic}),
            std::string(kSilentUnexplained) + kSystemAudioRecordingNotAllowed);
}

TEST(CoreAudioModel, ASubDeviceInputThatCannotBeMeantIsRefusedByKey) {
  sim::SimulatedPlatform sim;
  for (const char* bad :
       {R"({"subDeviceInput": {"channels": 0}})", R"({"subDeviceInput": {"tone": -1}})",
        R"({"subDeviceInput": {"volume": 1}})"})
    EXPECT_THROW(
        try { sim::loadScenario(sim, json::parse(bad)); } catch (const sim::ScenarioError& e) {
          EXPECT_THAT(e.what(), HasSubstr("subDeviceInput"));
          throw;
        },
        sim::ScenarioError)
        << bad;
}

}  // namespace
}  // namespace pt
