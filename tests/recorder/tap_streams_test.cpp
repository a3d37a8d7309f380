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

// The HAL calls the block on its real-time thread: picking each tap's buffers out of the list
// allocates nothing, and a list of another length than the aggregate last stated is not read.
TEST(TapStreams, EachTapsBuffersArePickedOutOfTheListWithoutAllocating) {
  sim::SimulatedPlatform sim;
  sim.addOutputDevice(60, "Out");
  sim.setSubDeviceInput(1, 1000);
  sim::PlatformScope scope(sim);
  AudioObjectID tap = AudioObjectID::unknown, device = AudioObjectID::unknown;
  for (const char* uuid : {"Tap", "Tap2"}) {
    CATapDescription description;
    description.UUID = uuid;
    ASSERT_EQ(sim.createProcessTap(description, tap), noErr);
  }
  ASSERT_EQ(sim.createAggregateDevice(
                aggregateDeviceDescription({}, "Device", "Out", {"Tap", "Tap2"}), device),
            noErr);
  auto tracker =
      std::make_shared<TapStreamsTracker>(device, std::vector<TapLayout>{{2, true}, {2, true}});
  tracker->find();

  std::vector<float> microphone(512), first(1024, 0.5f), second(1024, 0.25f);
  struct {
    std::uint32_t count = 3;
    AudioBuffer buffers[4];
  } input{3,
          {{1, 2048, microphone.data()},
           {2, 4096, first.data()},
           {2, 4096, second.data()},
           {1, 2048, microphone.data()}}};
  const AudioBufferList* seen[2] = {nullptr, nullptr};
  std::vector<AudioDeviceIOBlock> blocks;
  for (const AudioBufferList*& each : seen)
    blocks.push_back([&each](const AudioTimeStamp*, const AudioBufferList* list,
                             const AudioTimeStamp*, AudioBufferList*,
                             const AudioTimeStamp*) { each = list; });
  AudioDeviceIOBlock block = TapStreamsTracker::tapInputOnly(std::move(blocks), tracker);
  counting = true;
  block(nullptr, reinterpret_cast<const AudioBufferList*>(&input), nullptr, nullptr, nullptr);
  counting = false;
  EXPECT_EQ(allocations.load(), 0);
  ASSERT_TRUE(seen[0] && seen[1]);
  ASSERT_EQ(seen[0]->mNumberBuffers, 1u);
  EXPECT_EQ(seen[0]->mBuffers[0].mData, first.data());
  ASSERT_EQ(seen[1]->mNumberBuffers, 1u);
  EXPECT_EQ(seen[1]->mBuffers[0].mData, second.data());

  for (std::uint32_t count : {2u, 4u}) {
    input.count = count;
    block(nullptr, reinterpret_cast<const AudioBufferList*>(&input), nullptr, nullptr, nullptr);
    EXPECT_EQ(seen[0], nullptr);
    EXPECT_EQ(seen[1], nullptr);
  }
}

}  // namespace
}  // namespace pt
