#include "audio/pulse/stream_mixer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

namespace pt {
namespace {

// Mixes into a buffer that fails the test if the mixer writes short or past the
// cycle.
const std::vector<float>& mixCycle(StreamMixer& mixer, std::size_t frames) {
  thread_local std::vector<float> out;
  const std::size_t samples = frames * mixer.channels();
  out.assign(samples + 16, std::numeric_limits<float>::quiet_NaN());
  mixer.mix(out.data(), frames);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (std::isnan(out[i]) == (i < samples)) ADD_FAILURE() << "sample " << i << " of " << samples;
  }
  out.resize(samples);
  return out;
}

// A ramp in two channels, exact in float far beyond 2^24 frames; it counts from
// 1, since zero in both is silence.
void pushRamp(StreamMixer& mixer, int slot, std::uint64_t first, std::size_t count) {
  thread_local std::vector<float> frames;
  frames.resize(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    frames[i * 2] = float((first + i + 1) >> 16);
    frames[i * 2 + 1] = float((first + i + 1) & 0xffff);
  }
  mixer.push(slot, frames.data(), count);
}
// The ramp index of a mixed frame; -1 for silence.
std::int64_t rampAt(const std::vector<float>& out, std::size_t frame) {
  return (std::int64_t(out[frame * 2]) << 16) + std::int64_t(out[frame * 2 + 1]) - 1;
}

TEST(StreamMixerSetup, RejectsSettingsUnderWhichNothingCouldPlay) {
  struct Case {
    std::uint32_t channels;
    std::size_t streams, ring, prime, maxLatency;
    bool valid;
  };
  const std::size_t huge = std::numeric_limits<std::size_t>::max();
  for (const Case& c : std::vector<Case>{{2, 8, 4096, 960, 2400, true},
                                         {1, 1, 300, 512, 512, true},  // ring rounds up to 512
                                         {1, 1, 16, 0, 0, true},
                                         {0, 8, 4096, 960, 2400, false},
                                         {2, 0, 4096, 960, 2400, false},
                                         {2, std::size_t(INT32_MAX) + 1, 16, 0, 0, false},
                                         {2, 8, 0, 0, 0, false},
                                         {1, 1, 300, 513, 600, false},
                                         {2, 8, 4096, 960, 959, false},
                                         {1, 1, huge, 0, 0, false},
                                         {8, 1 << 20, std::size_t(1) << 60, 0, 0, false}}) {
    SCOPED_TRACE(testing::Message() << c.channels << ' ' << c.streams << ' ' << c.ring << ' '
                                    << c.prime << ' ' << c.maxLatency);
    auto make = [&] { StreamMixer(c.channels, c.streams, c.ring, c.prime, c.maxLatency); };
    if (c.valid) {
      EXPECT_NO_THROW(make());
    } else {
      EXPECT_ANY_THROW(make());
    }
  }
}

TEST(StreamMixerSum, TwoStreamsSumSampleExactly) {
  StreamMixer mixer(2, 4, 64, 8, 64);
  const int a = mixer.openStream(), b = mixer.openStream();
  ASSERT_NE(a, b);
  std::vector<float> fa(32), fb(32);
  for (std::size_t i = 0; i < fa.size(); ++i) {
    fa[i] = 0.001f * float(i) - 0.3f;
    fb[i] = 0.25f - 0.0007f * float(i * i % 97);
  }
  mixer.push(a, fa.data(), 16);
  mixer.push(b, fb.data(), 16);
  std::vector<float> out = mixCycle(mixer, 8);
  const std::vector<float> rest = mixCycle(mixer, 8);
  out.insert(out.end(), rest.begin(), rest.end());
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], fa[i] + fb[i]) << i;
}

// Each cycle: frames pushed before it, then whether it plays the stream,
// continuing where it left off and falling silent only at the end of what it
// holds.
TEST(StreamMixerPriming, AStreamJoinsOnlyOnceItHoldsEnough) {
  struct Case {
    const char* name;
    std::size_t prime, cycle;
    std::vector<std::size_t> pushes;
    std::vector<bool> audible;
  };
  for (const Case& c : std::vector<Case>{
           {"late start", 8, 4, {0, 0, 8, 0, 0}, {false, false, true, true, false}},
           {"primes across pushes", 8, 4, {3, 3, 2, 0}, {false, false, true, true}},
           {"prime below the cycle waits for a whole cycle", 2, 8, {4, 4, 0}, {0, 1, 0}},
           {"runs dry then primes again", 4, 4, {6, 0, 2, 4}, {true, true, false, true}}}) {
    SCOPED_TRACE(c.name);
    StreamMixer mixer(1, 2, 64, c.prime, 64);
    const int slot = mixer.openStream();
    float next = 1, expected = 1;
    for (std::size_t k = 0; k < c.pushes.size(); ++k) {
      std::vector<float> frames(c.pushes[k]);
      for (float& f : frames) f = next++;
      mixer.push(slot, frames.data(), frames.size());
      const std::vector<float>& out = mixCycle(mixer, c.cycle);
      EXPECT_EQ(out[0] != 0, c.audible[k]) << "cycle " << k;
      std::size_t i = 0;
      for (; i < out.size() && out[i] != 0; ++i) EXPECT_EQ(out[i], expected++);
      for (; i < out.size(); ++i) EXPECT_EQ(out[i], 0.0f) << "audio after a gap";
    }
  }
}

TEST(StreamMixerEnd, AClosedStreamPlaysOutThenFreesItsSlot) {
  StreamMixer mixer(1, 1, 64, 8, 64);
  const int slot = mixer.openStream();
  ASSERT_EQ(slot, 0);
  const std::vector<float> frames = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  mixer.push(slot, frames.data(), frames.size());
  mixer.closeStream(slot);
  EXPECT_EQ(mixer.openStream(), -1) << "freed before it played out";
  EXPECT_EQ(mixCycle(mixer, 6), (std::vector<float>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(mixer.openStream(), -1);
  EXPECT_EQ(mixCycle(mixer, 6), (std::vector<float>{7, 8, 9, 10, 0, 0}));
  ASSERT_EQ(mixer.openStream(), 0);
  EXPECT_EQ(mixCycle(mixer, 2), (std::vector<float>{0, 0})) << "a reused slot replays old audio";

  // Too short to prime: nothing more will come, so it plays at once.
  mixer.push(slot, frames.data(), 3);
  EXPECT_EQ(mixCycle(mixer, 4), (std::vector<float>{0, 0, 0, 0}));
  mixer.closeStream(slot);
  EXPECT_EQ(mixCycle(mixer, 4), (std::vector<float>{1, 2, 3, 0}));
  EXPECT_EQ(mixer.openStream(), 0);
}

TEST(StreamMixerEnd, CallsOnSlotsThatAreNotOpenAreIgnored) {
  StreamMixer mixer(1, 2, 16, 0, 16);
  const std::vector<float> frames(4, 1.0f);
  for (int bad : {-1, 0, 1, 2, INT32_MIN}) {  // 0 and 1 are not open yet
    mixer.push(bad, frames.data(), 4);
    mixer.closeStream(bad);
  }
  const int slot = mixer.openStream();
  mixer.push(slot, nullptr, 4);
  mixer.closeStream(slot);
  mixer.push(slot, frames.data(), 4);
  mixer.closeStream(slot);
  EXPECT_EQ(mixCycle(mixer, 4), (std::vector<float>{0, 0, 0, 0}));
  EXPECT_EQ(mixer.droppedFrames(), 0u);
  EXPECT_EQ(mixer.openStream(), 0);
  EXPECT_EQ(mixer.openStream(), 1);
  mixer.mix(nullptr, 4);
}

// The oldest frames are kept, in order; a cycle longer than the ring is still
// filled.
TEST(StreamMixerOverflow, FramesThatDoNotFitAreDroppedAndCounted) {
  struct Case {
    std::size_t ring;
    std::vector<std::size_t> pushes;
    std::size_t kept;
  };
  for (const Case& c :
       std::vector<Case>{{8, {8}, 8}, {8, {6, 4}, 8}, {5, {9}, 8}, {16, {40}, 16}}) {
    SCOPED_TRACE(testing::Message() << "ring " << c.ring << " keeps " << c.kept);
    StreamMixer mixer(2, 1, c.ring, 0, 64);
    const int slot = mixer.openStream();
    std::uint64_t pushed = 0;
    for (std::size_t n : c.pushes) pushRamp(mixer, slot, pushed, n), pushed += n;
    EXPECT_EQ(mixer.droppedFrames(), pushed - c.kept);
    const std::vector<float>& out = mixCycle(mixer, 2 * c.kept + 3);
    for (std::size_t i = 0; i < 2 * c.kept + 3; ++i) {
      EXPECT_EQ(rampAt(out, i), i < c.kept ? std::int64_t(i) : -1) << "frame " << i;
    }
  }
}

TEST(StreamMixerOverflow, TrimmingKeepsTheNewestWholeCycle) {
  StreamMixer mixer(1, 1, 64, 2, 10);
  const int slot = mixer.openStream();
  std::vector<float> frames(20);
  for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = float(i + 1);
  mixer.push(slot, frames.data(), frames.size());
  EXPECT_EQ(mixCycle(mixer, 8), (std::vector<float>{13, 14, 15, 16, 17, 18, 19, 20}));
  EXPECT_EQ(mixer.droppedFrames(), 12u);
}

// Ten minutes at 48 kHz in 480-frame cycles, the producer's clock running num/200 of the
// consumer's: about a hundred trims or re-primes, so any growth of the delay would show.
TEST(StreamMixerDrift, LatencyStaysBoundedOverALongRunOfClockDrift) {
  constexpr std::size_t kCycle = 480, kPrime = 960, kMaxLatency = 2400;
  for (const std::uint64_t num : {201, 199}) {
    SCOPED_TRACE(num > 200 ? "producer 0.5 % fast" : "producer 0.5 % slow");
    StreamMixer mixer(2, 2, 4096, kPrime, kMaxLatency);
    const int slot = mixer.openStream();
    std::uint64_t pushed = 0, requested = 0, silent = 0, gap = 0, longestGap = 0, skipped = 0;
    std::uint64_t worstHeld = 0;
    std::int64_t last = -1;
    bool ordered = true;
    for (std::uint64_t k = 0; k < 10 * 60 * 48000 / kCycle; ++k) {
      const std::uint64_t due = (k + 1) * kCycle * num / 200;
      pushRamp(mixer, slot, pushed, due - pushed);
      pushed = due;
      const std::vector<float>& out = mixCycle(mixer, kCycle);
      requested += kCycle;
      for (std::size_t j = 0; j < kCycle; ++j) {
        const std::int64_t n = rampAt(out, j);
        if (n < 0) {
          ++silent, ++gap;
          continue;
        }
        if (j == 0) worstHeld = std::max(worstHeld, pushed - std::uint64_t(n));
        if (last >= 0) longestGap = std::max(longestGap, gap);
        ordered = ordered && n > last;
        skipped += std::uint64_t(n - last - 1);
        last = n, gap = 0;
      }
    }
    EXPECT_TRUE(ordered);
    EXPECT_LE(worstHeld, kMaxLatency);
    EXPECT_EQ(skipped, mixer.droppedFrames()) << "every dropped frame is one skipped, no more";
    if (num > 200) {
      EXPECT_EQ(silent, kCycle) << "only the first cycle, while priming";
      EXPECT_GE(mixer.droppedFrames() + kMaxLatency, pushed - requested);
    } else {
      EXPECT_EQ(skipped, 0u);
      EXPECT_GT(longestGap, 0u);
      EXPECT_LE(longestGap, kPrime + 2 * kCycle) << "gaps are short re-primes";
      // Silence makes up the missing frames and no more: the delay does not grow.
      EXPECT_GE(silent, requested - pushed);
      EXPECT_LE(silent, requested - pushed + kMaxLatency);
    }
  }
}

TEST(StreamMixerThreads, AProducerThreadsRampArrivesInOrder) {
  constexpr std::uint64_t kFrames = 1 << 19;
  constexpr std::size_t kCycle = 256;
  StreamMixer mixer(2, 4, 2048, 512, 1536);
  const int slot = mixer.openStream();
  // Each side paces itself loosely to the other, as two clocks would, instead
  // of spinning ahead.
  std::atomic<std::uint64_t> taken{0}, published{0};
  std::atomic<bool> done{false};
  std::thread producer([&] {
    std::uint32_t seed = 12345;
    for (std::uint64_t pushed = 0; pushed < kFrames;) {
      // Bursty enough to exceed the latency bound now and then.
      if (pushed > taken.load(std::memory_order_relaxed) + 1024) {
        std::this_thread::yield();
        continue;
      }
      seed = seed * 1664525u + 1013904223u;
      const std::size_t n = std::min<std::uint64_t>(1 + (seed >> 8) % 700, kFrames - pushed);
      pushRamp(mixer, slot, pushed, n);
      pushed += n;
      published.store(pushed, std::memory_order_relaxed);
    }
    mixer.closeStream(slot);
    done.store(true, std::memory_order_relaxed);
  });

  std::int64_t last = -1;
  std::uint64_t played = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (played + mixer.droppedFrames() < kFrames && std::chrono::steady_clock::now() < deadline) {
    if (!done.load(std::memory_order_relaxed) &&
        published.load(std::memory_order_relaxed) <
            taken.load(std::memory_order_relaxed) + kCycle) {
      std::this_thread::yield();
      continue;
    }
    const std::vector<float>& out = mixCycle(mixer, kCycle);
    for (std::size_t j = 0; j < kCycle; ++j) {
      const std::int64_t n = rampAt(out, j);
      if (n < 0) continue;
      EXPECT_GT(n, last);
      EXPECT_LT(n, std::int64_t(kFrames));
      last = n, ++played;
    }
    taken.store(played + mixer.droppedFrames(), std::memory_order_relaxed);
  }
  mixCycle(mixer,
           kCycle);  // frees the slot if the close came after the last frames
  producer.join();
  EXPECT_EQ(played + mixer.droppedFrames(), kFrames);
  EXPECT_GT(played, kFrames / 2);
  EXPECT_EQ(mixer.openStream(), 0) << "the drained slot was not freed";
}

}  // namespace
}  // namespace pt
