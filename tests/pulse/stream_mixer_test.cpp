#include "audio/pulse/stream_mixer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

namespace pt {
namespace {

constexpr float kUnwritten = std::numeric_limits<float>::quiet_NaN();
constexpr std::size_t kGuard = 16;

// Mixes one cycle into a buffer that fails the test if the mixer writes short or past the end.
std::vector<float> mixCycle(StreamMixer& mixer, std::size_t frames) {
  const std::size_t samples = frames * mixer.channels();
  std::vector<float> out(samples + kGuard, kUnwritten);
  mixer.mix(out.data(), frames);
  for (std::size_t i = 0; i < samples; ++i) {
    if (std::isnan(out[i])) ADD_FAILURE() << "sample " << i << " of " << samples << " unwritten";
  }
  for (std::size_t i = samples; i < out.size(); ++i) {
    if (!std::isnan(out[i])) ADD_FAILURE() << "wrote past the cycle at sample " << i;
  }
  out.resize(samples);
  return out;
}

std::vector<float> constantFrames(std::size_t frames, std::uint32_t channels, float value) {
  return std::vector<float>(frames * channels, value);
}

// Frame n of a ramp, in two channels that stay exact in float far beyond 2^24 frames; zero in
// both is silence, so the ramp counts from 1.
void encode(std::uint64_t n, float* frame) {
  frame[0] = static_cast<float>((n + 1) >> 16);
  frame[1] = static_cast<float>((n + 1) & 0xffff);
}
// The ramp index of a mixed frame; -1 for silence.
std::int64_t decode(const float* frame) {
  const auto value =
      (static_cast<std::int64_t>(frame[0]) << 16) + static_cast<std::int64_t>(frame[1]);
  return value - 1;
}

void pushRamp(StreamMixer& mixer, int slot, std::uint64_t first, std::size_t count,
              std::vector<float>& scratch) {
  scratch.resize(count * 2);
  for (std::size_t i = 0; i < count; ++i) encode(first + i, &scratch[i * 2]);
  mixer.push(slot, scratch.data(), count);
}

TEST(StreamMixerSetup, RejectsSettingsUnderWhichNothingCouldPlay) {
  struct Case {
    const char* name;
    std::uint32_t channels;
    std::size_t streams, ring, prime, maxLatency;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"typical", 2, 8, 4096, 960, 2400, true},
      {"prime equal to the rounded-up ring", 1, 1, 300, 512, 512, true},
      {"prime of zero", 1, 1, 16, 0, 0, true},
      {"no channels", 0, 8, 4096, 960, 2400, false},
      {"no streams", 2, 0, 4096, 960, 2400, false},
      {"streams beyond a slot number", 2, std::size_t(INT32_MAX) + 1, 16, 0, 0, false},
      {"no ring", 2, 8, 0, 0, 0, false},
      {"prime above the rounded-up ring", 1, 1, 300, 513, 600, false},
      {"prime above the latency bound", 2, 8, 4096, 960, 959, false},
      {"ring beyond any power of two", 1, 1, std::numeric_limits<std::size_t>::max(), 0, 0, false},
      {"rings beyond memory", 8, 1 << 20, std::size_t(1) << 60, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
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
  const int a = mixer.openStream();
  const int b = mixer.openStream();
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_NE(a, b);
  std::vector<float> fa(16 * 2), fb(16 * 2);
  for (std::size_t i = 0; i < fa.size(); ++i) {
    fa[i] = 0.001f * float(i) - 0.3f;
    fb[i] = 0.25f - 0.0007f * float(i * i % 97);
  }
  mixer.push(a, fa.data(), 16);
  mixer.push(b, fb.data(), 16);
  std::vector<float> out = mixCycle(mixer, 8);
  const std::vector<float> rest = mixCycle(mixer, 8);
  out.insert(out.end(), rest.begin(), rest.end());
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], fa[i] + fb[i]) << "sample " << i;
  EXPECT_EQ(mixer.droppedFrames(), 0u);
}

TEST(StreamMixerPriming, AStreamJoinsOnlyOnceItHoldsEnough) {
  struct Case {
    const char* name;
    std::size_t prime, cycle;
    std::vector<std::size_t> pushesBeforeCycles;  // frames pushed before each cycle
    std::vector<bool> audible;                    // whether each cycle plays the stream
  };
  const std::vector<Case> cases = {
      {"late start", 8, 4, {0, 0, 8, 0, 0}, {false, false, true, true, false}},
      {"primes across pushes", 8, 4, {3, 3, 2, 0}, {false, false, true, true}},
      {"prime below the cycle waits for a whole cycle", 2, 8, {4, 4, 0}, {false, true, false}},
      {"runs dry then primes again", 4, 4, {6, 0, 2, 4}, {true, true, false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StreamMixer mixer(1, 2, 64, c.prime, 64);
    const int slot = mixer.openStream();
    float next = 1.0f;
    float expected = 1.0f;
    for (std::size_t k = 0; k < c.pushesBeforeCycles.size(); ++k) {
      SCOPED_TRACE(k);
      std::vector<float> frames(c.pushesBeforeCycles[k]);
      for (float& f : frames) f = next++;
      mixer.push(slot, frames.data(), frames.size());
      const std::vector<float> out = mixCycle(mixer, c.cycle);
      if (!c.audible[k]) {
        for (float v : out) EXPECT_EQ(v, 0.0f);
        continue;
      }
      // Audible cycles continue the stream where it left off: nothing skipped while priming.
      std::size_t i = 0;
      for (; i < out.size() && out[i] != 0.0f; ++i) EXPECT_EQ(out[i], expected++);
      for (; i < out.size(); ++i) EXPECT_EQ(out[i], 0.0f) << "audio after a gap at frame " << i;
      EXPECT_GT(out[0], 0.0f);
    }
    EXPECT_EQ(mixer.droppedFrames(), 0u);
  }
}

TEST(StreamMixerEnd, AClosedStreamPlaysOutThenFreesItsSlot) {
  StreamMixer mixer(2, 1, 64, 8, 64);
  const int slot = mixer.openStream();
  ASSERT_EQ(slot, 0);
  EXPECT_EQ(mixer.openStream(), -1);
  const std::vector<float> frames = constantFrames(12, 2, 0.5f);
  mixer.push(slot, frames.data(), 12);
  mixer.closeStream(slot);
  EXPECT_EQ(mixer.openStream(), -1) << "the slot is free before its audio played out";

  const std::vector<float> first = mixCycle(mixer, 8);
  for (float v : first) EXPECT_EQ(v, 0.5f);
  EXPECT_EQ(mixer.openStream(), -1);
  const std::vector<float> second = mixCycle(mixer, 8);
  for (std::size_t i = 0; i < second.size(); ++i) EXPECT_EQ(second[i], i < 8 ? 0.5f : 0.0f);

  const int again = mixer.openStream();
  EXPECT_EQ(again, 0);
  for (float v : mixCycle(mixer, 8)) EXPECT_EQ(v, 0.0f) << "a reused slot replays old audio";
  const std::vector<float> fresh = constantFrames(8, 2, -0.25f);
  mixer.push(again, fresh.data(), 8);
  for (float v : mixCycle(mixer, 8)) EXPECT_EQ(v, -0.25f);
}

TEST(StreamMixerEnd, AStreamClosedBeforePrimingStillPlays) {
  StreamMixer mixer(1, 1, 64, 16, 64);
  const int slot = mixer.openStream();
  const std::vector<float> frames = {1, 2, 3};
  mixer.push(slot, frames.data(), 3);
  for (float v : mixCycle(mixer, 4)) EXPECT_EQ(v, 0.0f);
  mixer.closeStream(slot);
  EXPECT_EQ(mixCycle(mixer, 4), (std::vector<float>{1, 2, 3, 0}));
  EXPECT_EQ(mixer.openStream(), 0);
}

TEST(StreamMixerEnd, CallsOnSlotsThatAreNotOpenAreIgnored) {
  StreamMixer mixer(1, 2, 16, 0, 16);
  const std::vector<float> frames = constantFrames(4, 1, 1.0f);
  for (int bad : {-1, 2, 1000, INT32_MIN}) {
    mixer.push(bad, frames.data(), 4);
    mixer.closeStream(bad);
  }
  mixer.push(0, frames.data(), 4);  // never opened
  mixer.closeStream(1);
  const int slot = mixer.openStream();
  mixer.push(slot, nullptr, 4);
  mixer.closeStream(slot);
  mixer.push(slot, frames.data(), 4);  // after its close
  mixer.closeStream(slot);
  for (float v : mixCycle(mixer, 4)) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(mixer.droppedFrames(), 0u);
  EXPECT_EQ(mixer.openStream(), 0);
  EXPECT_EQ(mixer.openStream(), 1);
  mixer.mix(nullptr, 4);
}

TEST(StreamMixerOverflow, FramesThatDoNotFitAreDroppedAndCounted) {
  struct Case {
    const char* name;
    std::size_t ring;
    std::vector<std::size_t> pushes;
    std::size_t kept;
  };
  const std::vector<Case> cases = {
      {"exact fit", 8, {8}, 8},
      {"one push too many", 8, {6, 4}, 8},
      {"ring rounds up to a power of two", 5, {9}, 8},
      {"push larger than the ring", 16, {40}, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StreamMixer mixer(1, 1, c.ring, 0, 64);
    const int slot = mixer.openStream();
    float next = 1.0f;
    std::size_t pushed = 0;
    for (std::size_t n : c.pushes) {
      std::vector<float> frames(n);
      for (float& f : frames) f = next++;
      mixer.push(slot, frames.data(), n);
      pushed += n;
    }
    EXPECT_EQ(mixer.droppedFrames(), pushed - c.kept);
    mixer.closeStream(slot);
    // The oldest frames are the ones kept, in order.
    const std::vector<float> out = mixCycle(mixer, c.kept + 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i], i < c.kept ? float(i + 1) : 0.0f) << "frame " << i;
    }
  }
}

TEST(StreamMixerOverflow, ACycleLongerThanTheRingIsFilledCompletely) {
  StreamMixer mixer(2, 2, 16, 4, 16);
  const int slot = mixer.openStream();
  std::vector<float> scratch;
  pushRamp(mixer, slot, 0, 16, scratch);
  const std::vector<float> out = mixCycle(mixer, 50);
  for (std::size_t i = 0; i < 50; ++i) {
    EXPECT_EQ(decode(&out[i * 2]), i < 16 ? std::int64_t(i) : -1) << "frame " << i;
  }
}

// An hour at 48 kHz in 480-frame cycles, the producer's clock off by `num/den`.
struct DriftResult {
  std::uint64_t pushed = 0, requested = 0, silent = 0, skipped = 0, dropped = 0;
  std::uint64_t longestGap = 0, silentAfterStart = 0, worstHeld = 0;
  bool ordered = true;
};

DriftResult runDrift(std::uint64_t num, std::uint64_t den, std::size_t prime,
                     std::size_t maxLatency) {
  constexpr std::size_t kCycle = 480;
  constexpr std::uint64_t kCycles = 60 * 60 * 48000 / kCycle;
  StreamMixer mixer(2, 2, 4096, prime, maxLatency);
  const int slot = mixer.openStream();
  std::vector<float> scratch;
  std::vector<float> out(kCycle * 2);
  DriftResult r;
  std::int64_t last = -1;
  std::uint64_t gap = 0;
  bool started = false;
  for (std::uint64_t k = 0; k < kCycles; ++k) {
    const std::uint64_t due = (k + 1) * kCycle * num / den;
    pushRamp(mixer, slot, r.pushed, due - r.pushed, scratch);
    r.pushed = due;
    mixer.mix(out.data(), kCycle);
    r.requested += kCycle;
    for (std::size_t j = 0; j < kCycle; ++j) {
      const std::int64_t n = decode(&out[j * 2]);
      if (n < 0) {
        ++r.silent;
        ++gap;
        if (started) ++r.silentAfterStart;
        continue;
      }
      if (j == 0) r.worstHeld = std::max<std::uint64_t>(r.worstHeld, r.pushed - std::uint64_t(n));
      if (started) r.longestGap = std::max(r.longestGap, gap);
      gap = 0;
      started = true;
      if (n <= last) r.ordered = false;
      r.skipped += std::uint64_t(n - last - 1);
      last = n;
    }
  }
  r.dropped = mixer.droppedFrames();
  return r;
}

TEST(StreamMixerDrift, LatencyStaysBoundedOverAnHourOfClockDrift) {
  constexpr std::size_t kPrime = 960, kMaxLatency = 2400, kCycle = 480;
  {
    SCOPED_TRACE("producer 0.5 % fast");
    const DriftResult r = runDrift(201, 200, kPrime, kMaxLatency);
    EXPECT_TRUE(r.ordered);
    EXPECT_LE(r.worstHeld, kMaxLatency);
    EXPECT_EQ(r.silentAfterStart, 0u) << "a fast producer never needs a gap";
    // Every dropped frame is a frame skipped in the output, and the surplus is what was dropped.
    EXPECT_EQ(r.skipped, r.dropped);
    EXPECT_GE(r.dropped + kMaxLatency, r.pushed - r.requested);
    EXPECT_LE(r.dropped, r.pushed - r.requested + kPrime);
  }
  {
    SCOPED_TRACE("producer 0.5 % slow");
    const DriftResult r = runDrift(199, 200, kPrime, kMaxLatency);
    EXPECT_TRUE(r.ordered);
    EXPECT_LE(r.worstHeld, kMaxLatency);
    EXPECT_EQ(r.dropped, 0u);
    EXPECT_EQ(r.skipped, 0u);
    EXPECT_GT(r.longestGap, 0u);
    EXPECT_LE(r.longestGap, kPrime + 2 * kCycle) << "gaps are short re-primes";
    // Silence makes up the missing frames and no more: the delay does not grow.
    const std::uint64_t deficit = r.requested - r.pushed;
    EXPECT_GE(r.silent, deficit);
    EXPECT_LE(r.silent, deficit + kMaxLatency);
  }
}

TEST(StreamMixerThreads, AProducerThreadsRampArrivesInOrder) {
  constexpr std::uint64_t kFrames = 1 << 19;
  constexpr std::size_t kCycle = 256;
  StreamMixer mixer(2, 4, 2048, 512, 1536);
  const int slot = mixer.openStream();
  ASSERT_GE(slot, 0);
  // Each side paces itself loosely to the other, as two clocks would, instead of spinning ahead.
  std::atomic<std::uint64_t> taken{0}, published{0};
  std::atomic<bool> done{false};

  std::thread producer([&] {
    std::vector<float> scratch;
    std::uint64_t pushed = 0;
    std::uint32_t seed = 12345;
    while (pushed < kFrames) {
      // Bursty enough to exceed the latency bound now and then.
      if (pushed > taken.load(std::memory_order_relaxed) + 1024) {
        std::this_thread::yield();
        continue;
      }
      seed = seed * 1664525u + 1013904223u;
      const std::size_t n = std::min<std::uint64_t>(1 + (seed >> 8) % 700, kFrames - pushed);
      pushRamp(mixer, slot, pushed, n, scratch);
      pushed += n;
      published.store(pushed, std::memory_order_relaxed);
    }
    mixer.closeStream(slot);
    done.store(true, std::memory_order_relaxed);
  });

  std::vector<float> out(kCycle * 2);
  std::int64_t last = -1;
  std::uint64_t played = 0, skipped = 0;
  bool ordered = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (played + mixer.droppedFrames() < kFrames && std::chrono::steady_clock::now() < deadline) {
    if (!done.load(std::memory_order_relaxed) &&
        published.load(std::memory_order_relaxed) <
            taken.load(std::memory_order_relaxed) + kCycle) {
      std::this_thread::yield();
      continue;
    }
    mixer.mix(out.data(), kCycle);
    for (std::size_t j = 0; j < kCycle; ++j) {
      const std::int64_t n = decode(&out[j * 2]);
      if (n < 0) continue;
      if (n <= last || n >= std::int64_t(kFrames)) ordered = false;
      skipped += std::uint64_t(n - last - 1);
      last = n;
      ++played;
    }
    taken.store(played + mixer.droppedFrames(), std::memory_order_relaxed);
  }
  mixer.mix(out.data(), kCycle);  // frees the slot if the close came after the last frames
  producer.join();

  EXPECT_TRUE(ordered);
  EXPECT_EQ(played + mixer.droppedFrames(), kFrames);
  EXPECT_LE(skipped, mixer.droppedFrames());
  EXPECT_GT(played, kFrames / 2);
  EXPECT_EQ(mixer.openStream(), 0) << "the drained slot was not freed";
}

}  // namespace
}  // namespace pt
