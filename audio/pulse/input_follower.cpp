#include "audio/pulse/input_follower.h"

#include <dlfcn.h>
#include <soxr.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace pt::pulse {
namespace {

// libsoxr, and the OpenMP runtime it pulls in, are loaded the first time an input device is
// followed: a recording of applications alone maps neither (about 400 KB of its memory).
struct Soxr {
  decltype(&soxr_io_spec) ioSpec;
  decltype(&soxr_quality_spec) qualitySpec;
  decltype(&soxr_runtime_spec) runtimeSpec;
  decltype(&soxr_create) create;
  decltype(&soxr_set_io_ratio) setIoRatio;
  decltype(&soxr_process) process;
  decltype(&soxr_delete) remove;
};

template <typename Function>
void bind(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  if (!function) throw std::runtime_error(std::string("libsoxr.so.0: no ") + name);
}

const Soxr& soxr() {
  static const Soxr loaded = [] {
    void* library = dlopen("libsoxr.so.0", RTLD_NOW | RTLD_LOCAL);  // kept for the process
    if (!library) throw std::runtime_error(dlerror());
    Soxr s{};
    bind(library, "soxr_io_spec", s.ioSpec);
    bind(library, "soxr_quality_spec", s.qualitySpec);
    bind(library, "soxr_runtime_spec", s.runtimeSpec);
    bind(library, "soxr_create", s.create);
    bind(library, "soxr_set_io_ratio", s.setIoRatio);
    bind(library, "soxr_process", s.process);
    bind(library, "soxr_delete", s.remove);
    return s;
  }();
  return loaded;
}

// Above any burst of either side: a source's fragments (100 ms once a recording runs) arrive
// while the time line takes its own batches (up to 100 ms), and a loaded machine delays either.
// The input's track lags the source by this much; by a larger fragment and the margin when the
// source delivers in larger ones.
constexpr double kTargetSeconds = 0.3;
constexpr double kMarginSeconds = 0.2;
// As much as a stream may hold when this process was stopped and the server hands its backlog
// over (the mixer's bound too); taken as the pages are touched.
constexpr double kRingSeconds = 30;
// Clocks of real devices differ by tens of ppm; half a percent also catches a source whose rate
// the server only approximates, and is still far below a change of pitch anyone hears.
constexpr double kMaxAdjust = 0.005;
// A critically damped loop with a natural frequency of 0.02 rad/s: it settles over a minute or
// two, so the sawtooth of the bursts (averaged over each second it steers) moves the ratio by a
// few hundred ppm at most, and a drift of 100 ppm costs the fill about 2 ms.
constexpr double kOmega = 0.02;
constexpr double kKp = 2 * kOmega;
constexpr double kKi = kOmega * kOmega;
// Resampled a slice at a time, into a buffer with room for what any ratio in range makes of it.
constexpr std::size_t kSliceFrames = 1024;
constexpr std::size_t kOutFrames = 2 * kSliceFrames;
// A new ratio is reached over this many frames, not at a step.
constexpr std::size_t kSlewFrames = 4800;

std::size_t powerOfTwoAbove(std::size_t n) {
  std::size_t capacity = 1;
  while (capacity < n) capacity <<= 1;
  return capacity;
}

}  // namespace

InputFollower::InputFollower(std::uint32_t channels, std::uint32_t rate)
    : channels_(channels),
      rate_(rate),
      target_(std::size_t(rate * kTargetSeconds)),
      margin_(std::size_t(rate * kMarginSeconds)),
      capacity_(powerOfTwoAbove(std::size_t(rate * kRingSeconds))),
      ring_(new float[capacity_ * channels]),
      resampled_(kOutFrames * channels),
      zeros_(kSliceFrames * channels, 0.0f) {
  if (channels == 0 || rate == 0) throw std::invalid_argument("InputFollower: empty format");
  const Soxr& library = soxr();
  const soxr_io_spec_t io = library.ioSpec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = library.qualitySpec(SOXR_HQ, SOXR_VR);
  const soxr_runtime_spec_t runtime = library.runtimeSpec(1);  // no threads of its own
  soxr_error_t error = nullptr;
  // Variable-rate: the rates given are the largest io ratio the stream will be asked for.
  resampler_ = library.create(2, 1, channels, &error, &io, &quality, &runtime);
  if (!error) error = library.setIoRatio(resampler_, 1.0, 0);
  if (error) {
    library.remove(resampler_);
    throw std::runtime_error(error);
  }
}

InputFollower::~InputFollower() { soxr().remove(resampler_); }

void InputFollower::deliver(const float* frames, std::size_t count) noexcept {
  if (const double wanted = ratio_.load(std::memory_order_relaxed); wanted != applied_) {
    soxr().setIoRatio(resampler_, wanted, kSlewFrames);
    applied_ = wanted;
  }
  while (count > 0) {
    const std::size_t slice = std::min(count, kSliceFrames);
    std::size_t used = 0, made = 0;
    if (soxr().process(resampler_, frames ? frames : zeros_.data(), slice, &used, resampled_.data(),
                       kOutFrames, &made) != nullptr)
      break;
    push(resampled_.data(), made);
    if (used == 0 && made == 0) break;
    if (frames) frames += used * channels_;
    count -= used;
  }
}

void InputFollower::push(const float* frames, std::size_t count) noexcept {
  const std::size_t w = write_.load(std::memory_order_relaxed);
  // Acquire pairs with the consumer's release: the frames it took are no longer read.
  const std::size_t room = capacity_ - (w - read_.load(std::memory_order_acquire));
  const std::size_t n = std::min(count, room);
  const std::size_t at = w & (capacity_ - 1);
  const std::size_t first = std::min(n, capacity_ - at);
  std::memcpy(ring_.get() + at * channels_, frames, first * channels_ * sizeof(float));
  std::memcpy(ring_.get(), frames + first * channels_, (n - first) * channels_ * sizeof(float));
  write_.store(w + n, std::memory_order_release);
  if (n < count && taking_.load(std::memory_order_relaxed))
    producerLost_.fetch_add(count - n, std::memory_order_relaxed);
}

std::size_t InputFollower::held() const noexcept {
  return write_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed);
}

std::size_t InputFollower::targetFrames() const noexcept {
  return std::max(target_, fragment_.load(std::memory_order_relaxed) + margin_);
}

void InputFollower::take(float* out, std::size_t count) noexcept {
  std::size_t r = read_.load(std::memory_order_relaxed);
  std::size_t held = write_.load(std::memory_order_acquire) - r;
  const std::size_t target = targetFrames();
  if (!taking_.load(std::memory_order_relaxed)) taking_.store(true, std::memory_order_relaxed);
  if ((!started_ || dry_) && held > 0) {
    // Older than its place: before the time line began, or after silence took its place.
    if (held > target) {
      r += held - target;
      held = target;
    }
    lead_ = target - held;
    leadCounts_ = started_;
    started_ = true;
    dry_ = false;
  }
  if (started_ && !dry_) steer(held + lead_, target, count);

  std::size_t silence = 0;  // counted as lost
  const std::size_t leading = std::min(lead_, count);
  std::fill(out, out + leading * channels_, 0.0f);
  lead_ -= leading;
  if (leadCounts_) silence += leading;
  std::size_t done = leading;
  const std::size_t n = std::min(held, count - done);
  const std::size_t at = r & (capacity_ - 1);
  const std::size_t first = std::min(n, capacity_ - at);
  std::memcpy(out + done * channels_, ring_.get() + at * channels_,
              first * channels_ * sizeof(float));
  std::memcpy(out + (done + first) * channels_, ring_.get(),
              (n - first) * channels_ * sizeof(float));
  r += n;
  done += n;
  if (done < count) {
    std::fill(out + done * channels_, out + count * channels_, 0.0f);
    if (started_) {
      silence += count - done;
      dry_ = true;
    }
  }
  read_.store(r, std::memory_order_release);
  if (silence > 0) consumerLost_.fetch_add(silence, std::memory_order_relaxed);
}

// Consumer: a step of the loop once a second of the time line, on the mean fill of that second.
void InputFollower::steer(std::size_t fill, std::size_t target, std::size_t taken) noexcept {
  fillSum_ += double(fill) * double(taken);
  fillFrames_ += taken;
  if (fillFrames_ < rate_) return;
  const double error = (fillSum_ / double(fillFrames_) - double(target)) / rate_;
  // The integral is bounded where it alone would saturate, so that it unwinds at once.
  integral_ = std::clamp(integral_ + error * double(fillFrames_) / rate_, -kMaxAdjust / kKi,
                         kMaxAdjust / kKi);
  const double adjust = std::clamp(kKp * error + kKi * integral_, -kMaxAdjust, kMaxAdjust);
  ratio_.store(1 + adjust, std::memory_order_relaxed);
  fillSum_ = 0;
  fillFrames_ = 0;
}

std::uint64_t InputFollower::lostFrames() const noexcept {
  return producerLost_.load(std::memory_order_relaxed) +
         consumerLost_.load(std::memory_order_relaxed);
}

}  // namespace pt::pulse
