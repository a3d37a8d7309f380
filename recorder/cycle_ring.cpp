#include "recorder/cycle_ring.h"

#include <algorithm>

namespace pt {

CycleRing::CycleRing(std::uint32_t planes, std::uint32_t samplesPerFrame, std::size_t frames,
                     std::uint32_t fewestFrames, bool touched)
    : planes_(planes),
      samplesPerFrame_(samplesPerFrame),
      frames_(frames),
      // Zeroed only when touched: a large allocation comes as pages the system maps on first use.
      samples_(touched ? new float[std::size_t(planes) * samplesPerFrame * frames]()
                       : new float[std::size_t(planes) * samplesPerFrame * frames]),
      cycles_(std::max<std::size_t>(1, frames / std::max<std::uint32_t>(1, fewestFrames))) {}

// Real-time safe.
bool CycleRing::push(const AudioBufferList& list, std::uint32_t frames) noexcept {
  std::uint64_t pushed = pushedFrames_.load(std::memory_order_relaxed);
  const std::uint64_t cycle = pushedCycles_.load(std::memory_order_relaxed);
  const std::uint64_t poppedCycles = poppedCycles_.load(std::memory_order_acquire);
  if (frames > frames_ - (pushed - poppedFrames_.load(std::memory_order_acquire)) ||
      cycle - poppedCycles == cycles_.size())
    return false;
  if (cycle == poppedCycles && pushed % frames_ != 0) {
    // Empty: the consumer has stored its last count and reads the next only after this entry is
    // published, so both counts can move on to the samples' start.
    pushed += frames_ - pushed % frames_;
    poppedFrames_.store(pushed, std::memory_order_relaxed);
  }
  const std::size_t at = pushed % frames_;
  const std::size_t before = std::min<std::size_t>(frames, frames_ - at);  // then from the start
  for (std::uint32_t p = 0; p < planes_; ++p) {
    const float* from = static_cast<const float*>(list.mBuffers[p].mData);
    float* plane = samples_.get() + std::size_t(p) * frames_ * samplesPerFrame_;
    std::copy_n(from, before * samplesPerFrame_, plane + at * samplesPerFrame_);
    std::copy_n(from + before * samplesPerFrame_, (frames - before) * samplesPerFrame_, plane);
  }
  cycles_[cycle % cycles_.size()] = frames;
  pushedFrames_.store(pushed + frames, std::memory_order_release);
  pushedCycles_.store(cycle + 1, std::memory_order_release);
  return true;
}

// Real-time safe.
bool CycleRing::pushSilence(std::uint32_t frames) noexcept {
  const std::uint64_t cycle = pushedCycles_.load(std::memory_order_relaxed);
  if (frames == 0 || frames > kLongestSilence ||
      cycle - poppedCycles_.load(std::memory_order_acquire) == cycles_.size())
    return false;
  cycles_[cycle % cycles_.size()] = frames | kSilent;
  pushedCycles_.store(cycle + 1, std::memory_order_release);
  return true;
}

std::uint32_t CycleRing::front(std::size_t index) const noexcept {
  const std::uint64_t popped = poppedCycles_.load(std::memory_order_relaxed);
  if (pushedCycles_.load(std::memory_order_acquire) - popped <= index) return 0;
  return cycles_[(popped + index) % cycles_.size()] & ~kSilent;
}

bool CycleRing::silent(std::size_t index) const noexcept {
  const std::uint64_t popped = poppedCycles_.load(std::memory_order_relaxed);
  if (pushedCycles_.load(std::memory_order_acquire) - popped <= index) return false;
  return (cycles_[(popped + index) % cycles_.size()] & kSilent) != 0;
}

void CycleRing::read(std::uint32_t offset, std::uint32_t frames,
                     AudioBufferList& out) const noexcept {
  const std::size_t at = (poppedFrames_.load(std::memory_order_relaxed) + offset) % frames_;
  const std::size_t before = std::min<std::size_t>(frames, frames_ - at);
  for (std::uint32_t p = 0; p < planes_; ++p) {
    const float* plane = samples_.get() + std::size_t(p) * frames_ * samplesPerFrame_;
    float* to = static_cast<float*>(out.mBuffers[p].mData);
    std::copy_n(plane + at * samplesPerFrame_, before * samplesPerFrame_, to);
    std::copy_n(plane, (frames - before) * samplesPerFrame_, to + before * samplesPerFrame_);
  }
}

void CycleRing::pop(std::size_t count) noexcept {
  const std::uint64_t popped = poppedCycles_.load(std::memory_order_relaxed);
  std::uint64_t frames = poppedFrames_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t entry = cycles_[(popped + i) % cycles_.size()];
    if ((entry & kSilent) == 0) frames += entry;
  }
  poppedFrames_.store(frames, std::memory_order_release);
  poppedCycles_.store(popped + count, std::memory_order_release);
}

}  // namespace pt
