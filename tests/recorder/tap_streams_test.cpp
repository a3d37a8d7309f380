// The IO block sees only the tap's buffers of the aggregate's input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "audio/simulated/simulated_platform.h"
#include "recorder/aggregate_description.h"
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

// The HAL calls the block on its real-time thread: picking the tap's buffers out of the list
// allocates nothing, and a list of another length than the aggregate last stated is not read.
TEST(TapStreams, TheTapsBuffersArePickedOutOfTheListWithoutAllocating) {
  sim::SimulatedPlatform sim;
  sim.addOutputDevice(60, "Out");
  sim.setSubDeviceInput(1, 1000);
  sim::PlatformScope scope(sim);
  CATapDescription description;
  description.UUID = "Tap";
  AudioObjectID tap = AudioObjectID::unknown, device = AudioObjectID::unknown;
  ASSERT_EQ(sim.createProcessTap(description, tap), noErr);
  ASSERT_EQ(
      sim.createAggregateDevice(aggregateDeviceDescription({}, "Device", "Out", "Tap"), device),
      noErr);
  auto tracker = std::make_shared<TapStreamsTracker>(device, 2, true);
  tracker->find();

  std::vector<float> microphone(512), tapSamples(1024, 0.5f);
  struct {
    std::uint32_t count = 2;
    AudioBuffer buffers[3];
  } input{
      2,
      {{1, 2048, microphone.data()}, {2, 4096, tapSamples.data()}, {1, 2048, microphone.data()}}};
  const AudioBufferList* seen = nullptr;
  AudioDeviceIOBlock block = TapStreamsTracker::tapInputOnly(
      [&](const AudioTimeStamp*, const AudioBufferList* list, const AudioTimeStamp*,
          AudioBufferList*, const AudioTimeStamp*) { seen = list; },
      tracker);
  counting = true;
  block(nullptr, reinterpret_cast<const AudioBufferList*>(&input), nullptr, nullptr, nullptr);
  counting = false;
  EXPECT_EQ(allocations.load(), 0);
  ASSERT_NE(seen, nullptr);
  ASSERT_EQ(seen->mNumberBuffers, 1u);
  EXPECT_EQ(seen->mBuffers[0].mData, tapSamples.data());

  for (std::uint32_t count : {1u, 3u}) {
    input.count = count;
    block(nullptr, reinterpret_cast<const AudioBufferList*>(&input), nullptr, nullptr, nullptr);
    EXPECT_EQ(seen, nullptr);
  }
}

}  // namespace
}  // namespace pt
