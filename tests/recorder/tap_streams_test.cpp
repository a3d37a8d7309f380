// The IO block sees only the tap's buffers of the aggregate's input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "audio/simulated/simulated_platform.h"
#include "recorder/aggregate_description.h"
#include "recorder/input_mix.h"
#include "recorder/tap_streams.h"

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

// The HAL calls the block on its real-time thread: picking each part's buffers out of the list
// (an input device's first stream, then each tap's) and mixing the voice into a tap allocate
// nothing, and a list of another length than the aggregate last stated is not read.
TEST(TapStreams, EachPartsBuffersArePickedOutAndTheVoiceMixedWithoutAllocating) {
  sim::SimulatedPlatform sim;
  sim.addOutputDevice(60, "Out");
  sim.setSubDeviceInput(1, 1000);
  sim.addInputDevice({70, "Mic", "MicUID", 2});
  sim::PlatformScope scope(sim);
  AudioObjectID tap = AudioObjectID::unknown, device = AudioObjectID::unknown;
  for (const char* uuid : {"Tap", "Tap2"}) {
    CATapDescription description;
    description.UUID = uuid;
    ASSERT_EQ(sim.createProcessTap(description, tap), noErr);
  }
  ASSERT_EQ(
      sim.createAggregateDevice(aggregateDeviceDescription({}, "Device", "Out", {"Tap", "Tap2"},
                                                           InputSubDevice{"MicUID"}),
                                device),
      noErr);
  auto tracker = std::make_shared<TapStreamsTracker>(
      device, std::vector<StreamPart>{{{2}, 1}, tapPart({2, true}), tapPart({2, true})});
  tracker->find();

  // The output device's own microphone, the input device's stereo stream, two taps; 2000 frames,
  // more than one slice of the mix.
  std::vector<float> own(2000), voice(4000), first(4000, 0.5f), second(4000, 0.25f);
  for (std::size_t f = 0; f < 2000; ++f) voice[2 * f] = voice[2 * f + 1] = f % 2 ? 0.125f : 0;
  struct {
    std::uint32_t count = 4;
    AudioBuffer buffers[5];
  } input{4,
          {{1, 8000, own.data()},
           {2, 16000, voice.data()},
           {2, 16000, first.data()},
           {2, 16000, second.data()},
           {1, 8000, own.data()}}};
  const AudioBufferList* seen[2] = {nullptr, nullptr};
  std::vector<float> mixed;
  mixed.reserve(4000);
  std::vector<double> stamps;
  stamps.reserve(4);
  auto mix = std::make_shared<InputMix>(2);
  std::vector<AudioDeviceIOBlock> blocks{mix->inputBlock()};
  blocks.push_back(mix->mixedInto(
      [&](const AudioTimeStamp*, const AudioBufferList* list, const AudioTimeStamp* time,
          AudioBufferList*, const AudioTimeStamp*) {
        seen[0] = list;
        if (!list) return;
        const auto* samples = static_cast<const float*>(list->mBuffers[0].mData);
        mixed.insert(mixed.end(), samples, samples + list->mBuffers[0].mDataByteSize / 4);
        stamps.push_back(time->mSampleTime);
      },
      {2, true}));
  blocks.push_back([&](const AudioTimeStamp*, const AudioBufferList* list, const AudioTimeStamp*,
                       AudioBufferList*, const AudioTimeStamp*) { seen[1] = list; });
  AudioDeviceIOBlock block = TapStreamsTracker::tapInputOnly(std::move(blocks), tracker);
  AudioTimeStamp time{};
  time.mSampleTime = 100;
  time.mFlags = kAudioTimeStampSampleTimeValid;
  counting = true;
  block(nullptr, reinterpret_cast<const AudioBufferList*>(&input), &time, nullptr, nullptr);
  counting = false;
  EXPECT_EQ(allocations.load(), 0);
  ASSERT_TRUE(seen[0] && seen[1]);
  ASSERT_EQ(seen[1]->mNumberBuffers, 1u);
  EXPECT_EQ(seen[1]->mBuffers[0].mData, second.data());
  ASSERT_EQ(mixed.size(), 4000u);
  for (std::size_t f : {0, 1, 1023, 1024, 1999})
    EXPECT_FLOAT_EQ(mixed[2 * f + 1], f % 2 ? 0.625f : 0.5f) << f;
  EXPECT_THAT(stamps, ::testing::ElementsAre(100, 1124));
  EXPECT_TRUE(mix->heardSound());
  EXPECT_EQ(mix->missingCycles(), 0);

  for (std::uint32_t count : {3u, 5u}) {
    input.count = count;
    block(nullptr, reinterpret_cast<const AudioBufferList*>(&input), &time, nullptr, nullptr);
    EXPECT_EQ(seen[0], nullptr);
    EXPECT_EQ(seen[1], nullptr);
  }
}

}  // namespace
}  // namespace pt
