// An input device through the platform against a real server: a tone's source stands in for the
// microphone, recorded alone (it clocks the device) and beside a tap (it follows the taps' clock).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/property_access.h"
#include "processes/inventory.h"
#include "tests/pulse/integration/pulse_harness.h"

namespace pt::pulse_testing {
namespace {

std::string defaultSink() {
  const std::string out = runProgram({"pactl", "get-default-sink"}, 10s).out;
  return out.substr(0, out.find('\n'));
}

std::string stringOf(AudioObjectID object, AudioObjectPropertySelector selector) {
  const CFStringRef string = object.read<CFStringRef>(selector, nullptr);
  std::string text = platform().stringText(string);
  platform().releaseString(string);
  return text;
}

// What the IO block was handed: per call, each buffer's channels and frames; every sample of
// the first buffer and of the last (one apart when there is one buffer).
using Layout = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
struct Cycles {
  std::vector<Layout> layouts;
  std::vector<double> sampleTimes;
  Audio first, last;
  std::atomic<std::int64_t> frames{0};
  std::int64_t dropped = -1;
};

class InputPulse : public PulseTest {
 protected:
  void SetUp() override {
    PulseTest::SetUp();
    PT_NEED_SERVER(serverAnswers(), "no sound server answers `pactl info`");
    previous_ = installPlatform(native_.get());
  }
  void TearDown() override {
    installPlatform(previous_);
    PulseTest::TearDown();
  }

  // The input device the platform lists under `name`, checked as the portable side reads it.
  AudioObjectID inputDevice(const std::string& name) {
    std::uint32_t size = 0;
    const AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    EXPECT_EQ(platform().getPropertyDataSize(AudioObjectID::system, devices, 0, nullptr, size), 0);
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    EXPECT_EQ(
        platform().getPropertyData(AudioObjectID::system, devices, 0, nullptr, size, ids.data()),
        0);
    AudioObjectID found = AudioObjectID::unknown;
    for (const AudioObjectID id : ids) {
      const std::string uid = stringOf(id, kAudioDevicePropertyDeviceUID);
      EXPECT_FALSE(uid.ends_with(".monitor")) << "a monitor is no input device";
      if (uid == name) found = id;
    }
    return found;
  }

  // Runs the device until the block had `seconds`, then stops and destroys it.
  void run(const Value& description, double seconds, Cycles& cycles) {
    AudioObjectID device = AudioObjectID::unknown;
    ASSERT_EQ(platform().createAggregateDevice(description, device), 0);
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(platform().createIOProcIDWithBlock(
                  proc, device, platform().makeSerialQueue("input test"),
                  [&](const AudioTimeStamp*, const AudioBufferList* list, const AudioTimeStamp* at,
                      AudioBufferList*, const AudioTimeStamp*) {
                    auto& layout = cycles.layouts.emplace_back();
                    for (std::uint32_t k = 0; k < list->mNumberBuffers; ++k) {
                      const AudioBuffer& b = list->mBuffers[k];
                      layout.emplace_back(b.mNumberChannels,
                                          b.mDataByteSize / b.mNumberChannels / sizeof(float));
                    }
                    cycles.sampleTimes.push_back(at->mSampleTime);
                    for (auto [audio, k] :
                         {std::pair{&cycles.first, 0u}, {&cycles.last, list->mNumberBuffers - 1}}) {
                      const AudioBuffer& b = list->mBuffers[k];
                      const auto* samples = static_cast<const float*>(b.mData);
                      audio->samples.insert(audio->samples.end(), samples,
                                            samples + b.mDataByteSize / sizeof(float));
                      audio->channels = int(b.mNumberChannels);
                      audio->frames += b.mDataByteSize / b.mNumberChannels / sizeof(float);
                    }
                    cycles.frames = cycles.last.frames;
                  }),
              0);
    ASSERT_EQ(platform().deviceStart(device, proc), 0);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (cycles.frames.load() < std::int64_t(seconds * 48000) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    EXPECT_EQ(platform().deviceStop(device, proc), 0);
    cycles.dropped = platform().droppedFrames(device);
    EXPECT_EQ(platform().destroyIOProcID(device, proc), 0);
    EXPECT_EQ(platform().destroyAggregateDevice(device), 0);
    cycles.first.sampleRate = cycles.last.sampleRate = 48000;
    ASSERT_GE(cycles.frames.load(), std::int64_t(seconds * 48000));
    // One time line: each call starts where the last ended.
    double expected = 0;
    for (std::size_t i = 0; i < cycles.sampleTimes.size(); ++i) {
      ASSERT_EQ(cycles.sampleTimes[i], expected) << "call " << i;
      expected += cycles.layouts[i].front().second;
    }
  }

  Value description(const std::string& source, const Value::List& taps) const {
    const std::string sink =
        stringOf(AudioObjectID::system.read<AudioObjectID>(
                     kAudioHardwarePropertyDefaultSystemOutputDevice, AudioObjectID::unknown),
                 kAudioDevicePropertyDeviceUID);
    return Value::Dictionary{
        {"name", "input test"},
        {"uid", "input-test"},
        {"master", sink},
        {"private", true},
        {"stacked", false},
        {"tapautostart", true},
        {"subdevices", Value::List{Value::Dictionary{{"uid", sink}},
                                   Value::Dictionary{{"uid", source}, {"drift", true}}}},
        {"taps", taps},
    };
  }

  std::unique_ptr<Platform> native_ = makeNativePlatform();
  Platform* previous_ = nullptr;
};

// Alone, the input clocks the device: its own channels, and its tone without a gap, also across
// the sine source's 2 s deliveries.
TEST_F(InputPulse, AnInputAloneIsTheDevicesOneBuffer) {
  const std::string name = client("mic");
  Microphone microphone(name, tone(660), 660);
  ASSERT_TRUE(microphone.loaded());
  const AudioObjectID mic = inputDevice(name);
  ASSERT_NE(mic, AudioObjectID::unknown);
  EXPECT_FALSE(stringOf(mic, kAudioObjectPropertyName).empty());
  const auto layout = mic.read<AudioBufferList>(kAudioDevicePropertyStreamConfiguration, {},
                                                kAudioObjectPropertyScopeInput);
  ASSERT_EQ(layout.mNumberBuffers, 1u);
  const std::uint32_t channels = layout.mBuffers[0].mNumberChannels;
  EXPECT_GT(mic.read<double>(kAudioDevicePropertyNominalSampleRate, 0), 0);
  // The default source, unless it is a monitor: then there is no default input device.
  // (PipeWire's session manager makes a new default a moment after pactl returns.)
  const auto defaultInput = [](const std::string& source, AudioObjectID expected) {
    EXPECT_EQ(runProgram({"pactl", "set-default-source", source}, 10s).status, 0);
    AudioObjectID answer = AudioObjectID::system;
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;
         answer != expected && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(20ms))
      answer = AudioObjectID::system.read<AudioObjectID>(kAudioHardwarePropertyDefaultInputDevice,
                                                         AudioObjectID::system);
    return answer;
  };
  EXPECT_EQ(defaultInput(name, mic), mic);
  const std::string monitor = defaultSink() + ".monitor";
  EXPECT_EQ(defaultInput(monitor, AudioObjectID::unknown), AudioObjectID::unknown);

  Cycles cycles;
  run(description(name, {}), 2.5, cycles);
  for (const auto& call : cycles.layouts) ASSERT_EQ(call, (Layout{{channels, call[0].second}}));
  EXPECT_EQ(cycles.dropped, 0);
  const double from = onset(cycles.first, 660);
  ASSERT_GE(from, 0);
  for (double at = from; at + 0.1 <= cycles.first.seconds(); at += 0.1)
    ASSERT_GT(cycles.first.toneAmplitude(0, 660, at, at + 0.1), 0.05) << at;
}

// Beside a tap, the input's buffer comes first, as long as the tap's, and each holds its own.
TEST_F(InputPulse, AnInputBesideATapComesFirst) {
  const std::string name = client("mic"), radio = client("Radio");
  Microphone microphone(name, tone(660), 660);
  ASSERT_TRUE(microphone.loaded());
  const std::uint32_t channels = inputDevice(name)
                                     .read<AudioBufferList>(kAudioDevicePropertyStreamConfiguration,
                                                            {}, kAudioObjectPropertyScopeInput)
                                     .mBuffers[0]
                                     .mNumberChannels;
  Player player(radio, tone(440));
  ASSERT_TRUE(player.visible());
  const AudioObjectID process = translatePIDToProcessObjectID(player.pid());
  ASSERT_NE(process, AudioObjectID::unknown);
  CATapDescription tap;
  tap.processes = {process};
  tap.UUID = platform().randomUUID();
  AudioObjectID tapID = AudioObjectID::unknown;
  ASSERT_EQ(platform().createProcessTap(tap, tapID), 0);

  Cycles cycles;
  run(description(name, {Value::Dictionary{{"uid", tap.UUID}, {"drift", true}}}), 3, cycles);
  EXPECT_EQ(platform().destroyProcessTap(tapID), 0);
  for (const auto& call : cycles.layouts)
    ASSERT_EQ(call, (Layout{{channels, call[0].second}, {2, call[0].second}}));
  // Before its first audio the input is silence, not a loss; when that comes depends on the
  // source's fragments (PulseAudio's sine source hands over seconds at once) and on the load.
  EXPECT_EQ(cycles.dropped, 0);
  const double end = cycles.first.seconds();
  EXPECT_GE(onset(cycles.first, 660), 0) << "660 Hz never heard";
  EXPECT_GT(cycles.last.toneAmplitude(0, 440, end - 0.5, end), 0.05);
  EXPECT_LT(cycles.last.toneAmplitude(0, 660, 0, end), 0.01);
}

// A source that goes away takes the device with it, as a lost server does.
TEST_F(InputPulse, AnInputThatGoesAwayEndsTheDevice) {
  const std::string name = client("mic");
  Microphone microphone(name, tone(660), 660);
  ASSERT_TRUE(microphone.loaded());
  AudioObjectID device = AudioObjectID::unknown;
  ASSERT_EQ(platform().createAggregateDevice(description(name, {}), device), 0);
  const auto alive = [&] {
    return device.read<std::uint32_t>(kAudioDevicePropertyDeviceIsAlive, 2);
  };
  EXPECT_EQ(alive(), 1u);
  microphone.unload();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (alive() == 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(alive(), 0u);
  EXPECT_EQ(platform().destroyAggregateDevice(device), 0);
}

// Sources the description cannot mean are refused, as a tap that is not there is.
TEST_F(InputPulse, AnUnknownOrSecondInputIsRefused) {
  const std::string name = client("mic");
  Microphone microphone(name, tone(660), 660);
  ASSERT_TRUE(microphone.loaded());
  AudioObjectID device = AudioObjectID::unknown;
  EXPECT_EQ(platform().createAggregateDevice(description(name + "-none", {}), device),
            kAudioHardwareBadObjectError);
  Value two = description(name, {});
  EXPECT_EQ(platform().createAggregateDevice(
                Value::Dictionary{{"master", *two.find("master")},
                                  {"subdevices", Value::List{Value::Dictionary{{"uid", name}},
                                                             Value::Dictionary{{"uid", name}}}},
                                  {"taps", Value::List{}}},
                device),
            kAudioHardwareIllegalOperationError);
}

}  // namespace
}  // namespace pt::pulse_testing
