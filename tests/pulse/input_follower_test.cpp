#include "audio/pulse/input_follower.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace pt::pulse {
namespace {

constexpr double kPi = 3.14159265358979323846;

// A source of a tone that never crosses zero, so that silence the follower places shows
// exactly, delivering fragments at its own clock's pace.
class Source {
 public:
  Source(std::uint32_t rate, double drift, double hz) : rate_(rate), drift_(drift), hz_(hz) {}
  // Delivers the whole fragments its clock has made by `seconds` of the time line's clock.
  void runUntil(InputFollower& follower, double seconds, std::size_t fragment) {
    const auto due = std::uint64_t(seconds * rate_ * (1 + drift_));
    std::vector<float> frames(fragment);
    while (made_ + fragment <= due) {
      for (float& sample : frames)
        sample = float(0.5 + 0.25 * std::sin(2 * kPi * hz_ * double(made_++) / rate_));
      follower.deliver(frames.data(), fragment);
    }
  }
  // Its clock runs on, but nothing reaches the follower (the source stalled).
  void skipUntil(double seconds) { made_ = std::uint64_t(seconds * rate_ * (1 + drift_)); }

 private:
  std::uint32_t rate_;
  double drift_, hz_;
  std::uint64_t made_ = 0;
};

// An hour at a rate low enough to run fast: the loop's dynamics are in seconds, whatever the
// rate. Fragments and batches of 100 ms, out of phase, as a source and the taps' deliveries are.
TEST(InputFollower, FollowsASourceThatDriftsForAnHour) {
  constexpr std::uint32_t kRate = 8000;
  constexpr std::size_t kBatch = kRate / 10;
  constexpr double kHz = 440;
  for (const double drift : {100e-6, -100e-6, 1000e-6}) {
    SCOPED_TRACE(drift);
    InputFollower follower(1, kRate);
    Source source(kRate, drift, kHz);
    std::vector<float> out(kBatch);
    std::uint64_t taken = 0;
    std::size_t least = SIZE_MAX, most = 0;
    double lastSample = 0, largestStep = 0, ratios = 0;
    for (int batch = 0; batch < 36000; ++batch) {
      source.runUntil(follower, (batch + 0.37) / 10, kBatch);
      if (batch >= 10) {
        least = std::min(least, follower.held());
        most = std::max(most, follower.held());
      }
      if (batch >= 600) ratios += follower.ratio() - 1;  // its first minute behind it
      follower.take(out.data(), kBatch);
      for (std::size_t i = 0; i < kBatch; ++i) {
        if (taken + i > kRate) largestStep = std::max(largestStep, std::abs(out[i] - lastSample));
        lastSample = out[i];
      }
      taken += kBatch;
    }
    // Within a fragment of the target, where 100 ppm uncorrected would have gained or lost
    // 0.36 s. The loop sees the drift a fragment at a time, so its ratio is right on average.
    const double target = double(follower.targetFrames()) / kRate;
    EXPECT_GE(double(least) / kRate, target - 0.11);
    EXPECT_LE(double(most) / kRate, target + 0.11);
    EXPECT_NEAR(ratios / (36000 - 600), drift, 30e-6);
    EXPECT_EQ(follower.lostFrames(), 0u);
    // A tone throughout: no step beyond the sine's own steepest, so no click, gap or repeat.
    EXPECT_LT(largestStep, 0.25 * 2 * kPi * kHz / kRate * 1.05);
  }
}

// Silence before the first audio is the start, not a loss. A stall in the middle is silence in
// its place, every frame of it counted; audio the source hands over late, after its place was
// filled, is dropped, so that the input keeps its place on the time line.
TEST(InputFollower, AStallIsSilenceInItsPlaceCountedAsLost) {
  constexpr std::uint32_t kRate = 8000;
  constexpr std::size_t kCycle = kRate / 100;
  InputFollower follower(1, kRate);
  Source source(kRate, 0, 300);
  std::vector<float> track;
  std::vector<float> out(kCycle);
  enum Mode { delivering, stalled, late };
  const auto run = [&](double from, double to, Mode mode) {
    for (double t = from; t < to - 1e-9; t += 0.01) {
      if (mode == delivering) source.runUntil(follower, t + 0.005, kCycle);
      if (mode == stalled) source.skipUntil(t + 0.005);
      follower.take(out.data(), kCycle);
      track.insert(track.end(), out.begin(), out.end());
    }
  };
  run(0, 0.5, stalled);
  EXPECT_EQ(follower.lostFrames(), 0u) << "before its first audio";
  run(0.5, 3, delivering);
  EXPECT_EQ(follower.lostFrames(), 0u);
  run(3, 4, stalled);
  run(4, 6, delivering);
  run(6, 7, late);
  run(7, 9, delivering);

  const auto sound = [](float s) { return s != 0; };
  const auto first = std::find_if(track.begin(), track.end(), sound);
  ASSERT_NE(first, track.end());
  // The time line's first frames wait as the margin fills: the input's track lags the source.
  const double target = double(follower.targetFrames()) / kRate;
  EXPECT_NEAR(double(first - track.begin()) / kRate, 0.5 + target, 0.03);
  std::vector<std::pair<double, double>> gaps;  // where, how long
  for (auto at = std::find(first, track.end(), 0.0f); at != track.end();) {
    const auto end = std::find_if(at, track.end(), sound);
    gaps.emplace_back(double(at - track.begin()) / kRate, double(end - at) / kRate);
    at = std::find(end, track.end(), 0.0f);
  }
  ASSERT_EQ(gaps.size(), 2u);
  EXPECT_NEAR(gaps[0].second + gaps[1].second, double(follower.lostFrames()) / kRate, 1e-9);
  // Each begins once the held audio ran out. The stall's lasts it and the margin rebuilt; the
  // late delivery's ends when it comes, what it brought for the gap dropped.
  EXPECT_NEAR(gaps[0].first, 3 + target, 0.03);
  EXPECT_NEAR(gaps[0].second, 1, 0.03);
  EXPECT_NEAR(gaps[1].first, 6 + target, 0.03);
  EXPECT_NEAR(gaps[1].second, 1 - target, 0.03);
  EXPECT_NEAR(double(follower.held()) / kRate, target, 0.03);
}

}  // namespace
}  // namespace pt::pulse
