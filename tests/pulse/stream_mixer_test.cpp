#include "audio/pulse/stream_mixer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

namespace pt {
namespace {

// Mixes into a buffer that fails the test if the mixer writes short or past the mix.
std::vector<float> mixOf(StreamMixer& mixer, std::size_t frames) {
  std::vector<float> out(frames * mixer.channels() + 16, std::nanf(""));
  mixer.mix(out.data(), frames);
  for (std::size_t i = 0; i < out.size(); ++i)
    if (std::isnan(out[i]) == (i < frames * mixer.channels())) ADD_FAILURE() << "sample " << i;
  out.resize(frames * mixer.channels());
  return out;
}

// One channel counting from 1 (0 is silence), exact in float up to 2^24 frames.
void pushRamp(StreamMixer& mixer, int slot, std::uint64_t first, std::size_t count) {
  std::vector<float> frames(count);
  for (std::size_t i = 0; i < count; ++i) frames[i] = float(first + i + 1);
  mixer.push(slot, frames.data(), count);
}

TEST(StreamMixer, SumsStreamsAndPlaysAClosedOneOutBeforeItsSlotIsReused) {
  StreamMixer mixer(1, 2, 64);
  const int a = mixer.openStream(), b = mixer.openStream();
  ASSERT_NE(a, b);
  EXPECT_EQ(mixer.openStream(), -1);
  const std::vector<float> fa = {0.5f, -0.25f, 0.125f, 1}, fb = {0.25f, 0.25f, -1, 2};
  mixer.push(a, fa.data(), 4);
  mixer.push(b, fb.data(), 3);
  EXPECT_EQ(mixer.mixable(4), 3u) << "b holds 3";
  EXPECT_EQ(mixOf(mixer, 3), (std::vector<float>{0.75f, 0, -0.875f}));
  mixer.closeStream(a);
  EXPECT_EQ(mixer.openStream(), -1) << "freed before it played out";
  EXPECT_EQ(mixer.mixable(4), 0u) << "b is awaited, a no longer";
  mixer.push(b, fb.data() + 3, 1);
  EXPECT_EQ(mixOf(mixer, 2), (std::vector<float>{3, 0}));
  const int c = mixer.openStream();
  EXPECT_EQ(c, a);
  EXPECT_EQ(mixOf(mixer, 1), (std::vector<float>{0})) << "a reused slot replays old audio";
}

// Two taps on one clock: each stream goes to its own output, and a stream late in one holds
// back both, so that the outputs stay frame for frame in line.
TEST(StreamMixer, EachOutputSumsItsOwnStreamsOnOneClock) {
  StreamMixer mixer(1, 4, 64, 2);
  const int a = mixer.openStream(0), b = mixer.openStream(1), c = mixer.openStream(1);
  EXPECT_EQ(mixer.openStream(2), -1);
  const std::vector<float> fa = {1, 2, 3}, fb = {10, 20, 30}, fc = {100, 200};
  mixer.push(a, fa.data(), 3);
  mixer.push(b, fb.data(), 3);
  mixer.push(c, fc.data(), 2);
  EXPECT_EQ(mixer.mixable(3), 2u) << "c holds 2";
  std::vector<float> first(2, std::nanf("")), second(2, std::nanf(""));
  float* outs[] = {first.data(), second.data()};
  mixer.mix(outs, 2);
  EXPECT_EQ(first, (std::vector<float>{1, 2}));
  EXPECT_EQ(second, (std::vector<float>{110, 220}));
}

// The consumer mixes what every awaited stream can give, every 10 ms of its clock. The stream's
// deliveries come late by up to 250 ms, in bursts: the mix waits, and nothing is lost or silent.
TEST(StreamMixer, AStreamDeliveredLateLeavesNoGap) {
  constexpr std::size_t kCycle = 480;
  StreamMixer mixer(1, 4, 48000);
  const int slot = mixer.openStream();
  std::uint64_t pushed = 0, mixed = 0, expected = 1;
  for (std::uint64_t tick = 1; tick <= 1000; ++tick) {
    const std::uint64_t lateness = (tick % 200 < 25) ? (tick % 200) : 0;  // up to 250 ms
    const std::uint64_t deliverable = (tick - lateness) * kCycle;
    if (deliverable > pushed)
      pushRamp(mixer, slot, pushed, deliverable - pushed), pushed = deliverable;
    const std::size_t n = mixer.mixable(tick * kCycle - mixed);
    for (float sample : mixOf(mixer, n)) ASSERT_EQ(sample, float(expected++));
    mixed += n;
  }
  EXPECT_EQ(mixed, 1000 * kCycle);
  EXPECT_EQ(mixer.droppedFrames(), 0u);
}

// A stream that stopped delivering keeps the others waiting until the consumer gives up on it;
// it is then awaited again once it holds a whole mix. A mix forced past it plays what it held.
TEST(StreamMixer, AStreamThatStopsIsNoLongerAwaitedUntilItHoldsAWholeMix) {
  StreamMixer mixer(1, 2, 64);
  const int stopped = mixer.openStream(), playing = mixer.openStream();
  pushRamp(mixer, stopped, 0, 3);
  pushRamp(mixer, playing, 100, 8);
  EXPECT_EQ(mixer.mixable(4), 3u);
  mixer.stopAwaitingStreamsShortOf(4);
  EXPECT_EQ(mixer.mixable(4), 4u);
  EXPECT_EQ(mixOf(mixer, 4), (std::vector<float>{101, 102, 103, 104}));
  pushRamp(mixer, stopped, 3, 1);
  EXPECT_EQ(mixOf(mixer, 4), (std::vector<float>{106, 108, 110, 112}));
  pushRamp(mixer, playing, 108, 4);
  EXPECT_EQ(mixer.mixable(4), 0u) << "the stopped stream is awaited again";
  EXPECT_EQ(mixOf(mixer, 4), (std::vector<float>{109, 110, 111, 112}));
}

// A backlog is never trimmed: only what finds no room in the ring is lost, silence in its place,
// and the frames of the streams refused for want of a slot, once per stream and frame mixed
// while they play.
TEST(StreamMixer, CountsWhatFindsNoRoomAndTheStreamsWithoutASlot) {
  StreamMixer mixer(1, 1, 8);
  const int slot = mixer.openStream();
  pushRamp(mixer, slot, 0, 10);
  EXPECT_EQ(mixer.droppedFrames(), 2u);
  EXPECT_EQ(mixer.mixable(16), 10u) << "the lost frames hold their place";
  EXPECT_EQ(mixOf(mixer, 2), (std::vector<float>{1, 2})) << "the oldest frames are kept";
  mixer.setRefusedStreams(2);
  mixOf(mixer, 3);
  mixer.setRefusedStreams(0);
  EXPECT_EQ(mixOf(mixer, 5), (std::vector<float>{6, 7, 8, 0, 0}));
  EXPECT_EQ(mixer.droppedFrames(), 8u);
}

// Audio a stream lost goes where it was lost: before a frame already there, before one yet to
// come (held back until that frame is there), or at once when the mix passed its place.
TEST(StreamMixer, AGapIsSilenceAtItsPlace) {
  StreamMixer mixer(1, 2, 64);
  const int slot = mixer.openStream();
  pushRamp(mixer, slot, 0, 4);
  mixer.skip(slot, 2, 2, true);
  mixer.skip(slot, 6, 1, false);  // a hole before the 7th frame, not yet pushed
  EXPECT_EQ(mixer.mixable(16), 6u) << "the second gap waits for its place";
  EXPECT_EQ(mixOf(mixer, 6), (std::vector<float>{1, 2, 0, 0, 3, 4}));
  pushRamp(mixer, slot, 4, 4);
  EXPECT_EQ(mixOf(mixer, 5), (std::vector<float>{5, 6, 0, 7, 8}));
  mixer.skip(slot, 1, 3, true);  // long passed
  pushRamp(mixer, slot, 8, 1);
  EXPECT_EQ(mixOf(mixer, 4), (std::vector<float>{0, 0, 0, 9}));
  EXPECT_EQ(mixer.droppedFrames(), 5u) << "a hole is no loss";
}

TEST(StreamMixer, AProducerThreadsRampArrivesInOrder) {
  constexpr std::uint64_t kFrames = 1 << 18;
  StreamMixer mixer(1, 4, 2048);
  const int slot = mixer.openStream();
  std::atomic<std::uint64_t> taken{0};
  std::thread producer([&] {
    for (std::uint64_t pushed = 0; pushed < kFrames; pushed += 64) {
      while (pushed > taken.load() + 1024) std::this_thread::yield();
      pushRamp(mixer, slot, pushed, 64);
    }
  });
  std::uint64_t expected = 1;
  while (expected <= kFrames) {
    const std::size_t n = mixer.mixable(256);
    for (float sample : mixOf(mixer, n)) EXPECT_EQ(sample, float(expected++));
    taken.store(expected - 1);
    if (n == 0) std::this_thread::yield();
  }
  producer.join();
  mixer.closeStream(slot);
  mixOf(mixer, 1);
  EXPECT_EQ(mixer.openStream(), 0) << "the drained slot was not freed";
}

}  // namespace
}  // namespace pt
