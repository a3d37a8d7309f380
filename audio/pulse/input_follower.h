// An input device's audio on a time line that another device's clock drives.
//
// A microphone beside the speakers runs on its own clock, tens of ppm off theirs: over an hour
// its audio would pile up or run dry against the recording's time line. The follower resamples
// what the source delivers, at a ratio a slow control loop keeps adjusting so that what it holds
// (frames received, less frames the time line took) stays near a target, and the input's track
// keeps pace with the time line without ever holding it back.
//
// One producer thread (the sound server client's) delivers; one consumer thread (the recorder's
// queue) takes. They share a ring and the ratio, through atomics only: the consumer neither
// locks nor allocates. The resampler runs on the producer's side.
//
// What the time line takes before the input's first audio is silence, not a loss (the input was
// starting). After it, every frame of silence in the input's track counts as lost: a shortfall
// (the source stalled), and the headroom rebuilt when it delivers again. Audio that arrives after
// its place was filled with silence is dropped; its place was already counted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct soxr;

namespace pt::pulse {

class InputFollower {
 public:
  // `channels` interleaved float samples a frame, at nominally `rate` on both sides. Throws
  // std::runtime_error when the resampler cannot be made.
  InputFollower(std::uint32_t channels, std::uint32_t rate);
  ~InputFollower();
  InputFollower(const InputFollower&) = delete;
  InputFollower& operator=(const InputFollower&) = delete;

  // Producer: `count` frames as the source delivered them; null frames are a hole the server
  // left, silence in their place. What the ring has no room for is lost, and counted.
  void deliver(const float* frames, std::size_t count) noexcept;
  // Producer: the source delivers up to `frames` at once (the fragment the server granted; a
  // source of fixed latency grants its own, seconds for some virtual ones): the margin held
  // covers it.
  void setFragment(std::size_t frames) noexcept {
    fragment_.store(frames, std::memory_order_relaxed);
  }

  // Consumer: exactly `count` frames of the input on the time line into `out`.
  void take(float* out, std::size_t count) noexcept;
  // Consumer: what it holds, resampled, for the time line to take.
  std::size_t held() const noexcept;

  // Any thread: the input rate over the time line's that the loop asks for (1 + drift), and the
  // frames counted as lost so far.
  double ratio() const noexcept { return ratio_.load(std::memory_order_relaxed); }
  std::uint64_t lostFrames() const noexcept;

  std::uint32_t channels() const noexcept { return channels_; }
  // Consumer: what it keeps held, the margin against the bursts of both sides.
  std::size_t targetFrames() const noexcept;

 private:
  void push(const float* frames, std::size_t count) noexcept;
  void steer(std::size_t fill, std::size_t target, std::size_t taken) noexcept;

  const std::uint32_t channels_;
  const std::uint32_t rate_;
  const std::size_t target_, margin_;
  const std::size_t capacity_;  // a power of two
  std::unique_ptr<float[]> ring_;
  // The ratio the consumer asks for; the producer hands it to the resampler.
  std::atomic<double> ratio_{1.0};
  std::atomic<std::size_t> fragment_{0};
  static constexpr std::size_t kCacheLine = 64;
  alignas(kCacheLine) std::atomic<std::size_t> write_{0};
  std::atomic<std::uint64_t> producerLost_{0};
  // Set by the consumer's first take: a ring full before it is the time before the recording.
  std::atomic<bool> taking_{false};
  // Producer only.
  soxr* resampler_ = nullptr;
  double applied_ = 1.0;
  std::vector<float> resampled_, zeros_;
  alignas(kCacheLine) std::atomic<std::size_t> read_{0};
  std::atomic<std::uint64_t> consumerLost_{0};
  // Consumer only.
  bool started_ = false;     // the first audio arrived
  bool dry_ = false;         // ran short; the headroom is rebuilt when audio comes again
  std::size_t lead_ = 0;     // silence due before the ring's next frame
  bool leadCounts_ = false;  // whether that silence counts as lost
  double fillSum_ = 0;       // frames held, weighted by frames taken, since the last step
  std::size_t fillFrames_ = 0;
  double integral_ = 0;  // seconds of error times seconds
};

}  // namespace pt::pulse
