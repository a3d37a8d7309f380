#include "audio/pulse/stream_mixer.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

namespace pt {
namespace {

// Only the producer moves a slot out of Free and Open; only the consumer moves it out of Closing.
enum SlotState : int { kFree, kOpen, kClosing };

// Separate cache lines, so the two threads do not bounce each other's index.
constexpr std::size_t kCacheLine = 64;

struct Slot {
  std::atomic<int> state{kFree};
  // Frame counters that only grow; held = write - read, position = counter & mask.
  alignas(kCacheLine) std::atomic<std::size_t> write{0};
  alignas(kCacheLine) std::atomic<std::size_t> read{0};
  bool lapsed = false;  // consumer only: ran dry, no longer awaited
  // Allocated by the producer before the slot first opens; published by that opening.
  std::unique_ptr<float[]> samples;
};

std::size_t ringCapacity(std::size_t ringFrames) {
  if (ringFrames == 0) throw std::invalid_argument("StreamMixer: ringFrames must be positive");
  if (ringFrames > (std::numeric_limits<std::size_t>::max() >> 1) + 1) {
    throw std::length_error("StreamMixer: ringFrames too large");
  }
  std::size_t capacity = 1;
  while (capacity < ringFrames) capacity <<= 1;
  return capacity;
}

}  // namespace

struct StreamMixer::Impl {
  std::uint32_t channels;
  std::size_t streamCount;
  std::size_t capacity;
  std::size_t mask;
  std::size_t maxLatencyFrames;
  std::unique_ptr<Slot[]> slots;
  // Slots below this have been opened at least once: the consumer looks no further.
  std::atomic<std::size_t> used{0};
  // One counter per side, so neither thread writes the other's.
  alignas(kCacheLine) std::atomic<std::uint64_t> producerDropped{0};
  alignas(kCacheLine) std::atomic<std::uint64_t> consumerDropped{0};

  Slot* slot(int index) noexcept {
    if (index < 0 || static_cast<std::size_t>(index) >= streamCount) return nullptr;
    return &slots[static_cast<std::size_t>(index)];
  }

  void copyIn(Slot& s, std::size_t at, const float* frames, std::size_t count) noexcept {
    const std::size_t start = at & mask;
    const std::size_t first = std::min(count, capacity - start);
    float* ring = s.samples.get();
    std::memcpy(ring + start * channels, frames, first * channels * sizeof(float));
    std::memcpy(ring, frames + first * channels, (count - first) * channels * sizeof(float));
  }

  void addOut(const Slot& s, std::size_t at, float* out, std::size_t count) const noexcept {
    const std::size_t start = at & mask;
    const std::size_t first = std::min(count, capacity - start);
    const float* ring = s.samples.get();
    const float* a = ring + start * channels;
    for (std::size_t i = 0; i < first * channels; ++i) out[i] += a[i];
    out += first * channels;
    for (std::size_t i = 0; i < (count - first) * channels; ++i) out[i] += ring[i];
  }

  // One mix of at most `capacity` frames.
  void mixOnce(float* out, std::size_t frames) noexcept {
    std::fill(out, out + frames * channels, 0.0f);
    const std::size_t end = used.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < end; ++i) {
      Slot& s = slots[i];
      // State before the write index: once Closing is seen, the index read next is final.
      const int state = s.state.load(std::memory_order_acquire);
      if (state == kFree) continue;
      const bool closing = state == kClosing;
      const std::size_t w = s.write.load(std::memory_order_acquire);
      std::size_t r = s.read.load(std::memory_order_relaxed);
      std::size_t held = w - r;
      if (held > maxLatencyFrames && held > frames) {
        const std::size_t drop = held - frames;
        consumerDropped.fetch_add(drop, std::memory_order_relaxed);
        r += drop;
        held -= drop;
      }
      // Nothing more will come from a closing stream, so it plays whatever it has; a lapsed one
      // rejoins with a whole mix, so that it does not fall silent again within it.
      if (closing || !s.lapsed || held >= frames) {
        const std::size_t take = std::min(held, frames);
        addOut(s, r, out, take);
        r += take;
        s.lapsed = take < frames;
        s.read.store(r, std::memory_order_release);
      }
      if (closing && r == w) {
        s.lapsed = false;
        s.state.store(kFree, std::memory_order_release);
      }
    }
  }
};

StreamMixer::StreamMixer(std::uint32_t channels, std::size_t maxStreams, std::size_t ringFrames,
                         std::size_t maxLatencyFrames) {
  if (channels == 0) throw std::invalid_argument("StreamMixer: channels must be positive");
  if (maxStreams == 0 || maxStreams > static_cast<std::size_t>(INT_MAX)) {
    throw std::invalid_argument("StreamMixer: maxStreams out of range");
  }
  if (maxLatencyFrames == 0) throw std::invalid_argument("StreamMixer: no latency allowed");
  const std::size_t capacity = ringCapacity(ringFrames);
  if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(float) / channels) {
    throw std::length_error("StreamMixer: rings too large");
  }
  auto impl = std::make_unique<Impl>();
  impl->channels = channels;
  impl->streamCount = maxStreams;
  impl->capacity = capacity;
  impl->mask = capacity - 1;
  impl->maxLatencyFrames = maxLatencyFrames;
  impl->slots = std::make_unique<Slot[]>(maxStreams);
  impl_ = impl.release();
}

StreamMixer::~StreamMixer() { delete impl_; }

int StreamMixer::openStream() noexcept {
  for (std::size_t i = 0; i < impl_->streamCount; ++i) {
    Slot& s = impl_->slots[i];
    // Acquire pairs with the consumer's release on freeing: its last read index is visible, and
    // equals the write index, so the ring starts out empty without resetting anything.
    if (s.state.load(std::memory_order_acquire) != kFree) continue;
    if (!s.samples) {
      // Uninitialised: its pages are only taken as audio fills them.
      s.samples.reset(new (std::nothrow) float[impl_->capacity * impl_->channels]);
      if (!s.samples) return -1;
    }
    s.state.store(kOpen, std::memory_order_release);
    if (i >= impl_->used.load(std::memory_order_relaxed))
      impl_->used.store(i + 1, std::memory_order_release);
    return static_cast<int>(i);
  }
  return -1;
}

void StreamMixer::push(int slot, const float* frames, std::size_t frameCount) noexcept {
  Slot* s = impl_->slot(slot);
  if (s == nullptr || frames == nullptr || frameCount == 0) return;
  if (s->state.load(std::memory_order_relaxed) != kOpen) return;
  const std::size_t w = s->write.load(std::memory_order_relaxed);
  const std::size_t r = s->read.load(std::memory_order_acquire);
  const std::size_t room = impl_->capacity - (w - r);
  const std::size_t n = std::min(frameCount, room);
  impl_->copyIn(*s, w, frames, n);
  s->write.store(w + n, std::memory_order_release);
  if (n < frameCount) {
    impl_->producerDropped.fetch_add(frameCount - n, std::memory_order_relaxed);
  }
}

void StreamMixer::closeStream(int slot) noexcept {
  Slot* s = impl_->slot(slot);
  if (s == nullptr || s->state.load(std::memory_order_relaxed) != kOpen) return;
  // Release publishes every push before it to the consumer, which frees the slot once drained.
  s->state.store(kClosing, std::memory_order_release);
}

std::size_t StreamMixer::mixable(std::size_t wanted) const noexcept {
  const std::size_t end = impl_->used.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < end && wanted > 0; ++i) {
    const Slot& s = impl_->slots[i];
    if (s.state.load(std::memory_order_acquire) != kOpen || s.lapsed) continue;
    const std::size_t held =
        s.write.load(std::memory_order_acquire) - s.read.load(std::memory_order_relaxed);
    wanted = std::min(wanted, held);
  }
  return wanted;
}

void StreamMixer::stopAwaitingStreamsShortOf(std::size_t frameCount) noexcept {
  const std::size_t end = impl_->used.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < end; ++i) {
    Slot& s = impl_->slots[i];
    if (s.state.load(std::memory_order_acquire) != kOpen) continue;
    const std::size_t held =
        s.write.load(std::memory_order_acquire) - s.read.load(std::memory_order_relaxed);
    if (held < frameCount) s.lapsed = true;
  }
}

void StreamMixer::mix(float* out, std::size_t frameCount) noexcept {
  if (out == nullptr) return;
  while (frameCount > 0) {
    const std::size_t n = std::min(frameCount, impl_->capacity);
    impl_->mixOnce(out, n);
    out += n * impl_->channels;
    frameCount -= n;
  }
}

std::uint32_t StreamMixer::channels() const noexcept { return impl_->channels; }

std::uint64_t StreamMixer::droppedFrames() const noexcept {
  return impl_->producerDropped.load(std::memory_order_relaxed) +
         impl_->consumerDropped.load(std::memory_order_relaxed);
}

}  // namespace pt
