#include "audio/pulse/stream_mixer.h"

#include <algorithm>
#include <array>
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

// Separate cache lines, so the two threads do not bounce each other's fields.
constexpr std::size_t kCacheLine = 64;

// A stream holds its audio in a chain of blocks taken as it arrives and handed back as it is
// mixed, so its memory follows what it holds, not what its ring may hold.
// 85 ms at 48 kHz: few enough blocks to pass around, small enough to follow the audio closely.
constexpr std::size_t kBlockFrames = 4096;
// Gaps a stream may hold unplayed at once: far more than the stalls of a few seconds make.
constexpr std::size_t kGaps = 16;

// Silence of `frames` frames before the frame counter `at`.
struct Gap {
  std::size_t at;
  std::size_t frames;
};

// Followed in memory by the block's frames.
struct Block {
  Block* next;        // in a stream's chain, or in the pool
  std::size_t index;  // frame counter / block frames of its first frame
};

struct Slot {
  std::atomic<int> state{kFree};
  std::size_t output = 0;  // set by the producer before it opens the slot
  // Frame counters that only grow; held = write - read.
  alignas(kCacheLine) std::atomic<std::size_t> write{0};
  // Producer only: the block frame `write` goes to, and the first block of this opening, which
  // the consumer starts from once `write` shows it filled.
  Block* tail = nullptr;
  Block* first = nullptr;
  std::size_t base = 0;     // producer only: `write` when this opening began
  std::size_t lastGap = 0;  // producer only: where the latest gap goes
  // Gaps in the order of their places; counters that only grow, like the frame counters.
  std::array<Gap, kGaps> gaps{};
  std::atomic<std::size_t> gapsPushed{0};
  alignas(kCacheLine) std::atomic<std::size_t> read{0};
  // Consumer only: the block frame `read` comes from, kept after it is read out until the next
  // frame has arrived, because the producer may still link its successor to it.
  Block* head = nullptr;
  bool lapsed = false;  // ran dry, no longer awaited
  std::atomic<std::size_t> gapsPlayed{0};
  std::size_t frontPlayed = 0;  // consumer only: of the oldest gap not yet played out

  // Consumer: the frames that can play, of a slot whose write counter read `w`: the frames held
  // and the gaps among them (a gap whose place has not arrived waits for it).
  std::size_t held(std::size_t w) const noexcept {
    std::size_t frames = w - read.load(std::memory_order_relaxed);
    const std::size_t pushed = gapsPushed.load(std::memory_order_acquire);
    for (std::size_t g = gapsPlayed.load(std::memory_order_relaxed); g < pushed; ++g) {
      const Gap& gap = gaps[g % kGaps];
      if (gap.at > w) break;
      frames += gap.frames - (g == gapsPlayed.load(std::memory_order_relaxed) ? frontPlayed : 0);
    }
    return frames;
  }
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

void deleteChain(Block* block) noexcept {
  while (block != nullptr) {
    Block* next = block->next;
    ::operator delete(block);
    block = next;
  }
}

}  // namespace

struct StreamMixer::Impl {
  std::uint32_t channels;
  std::size_t outputs;
  std::size_t streamCount;
  std::size_t capacity;
  std::size_t blockFrames;
  std::size_t blockShift;
  std::unique_ptr<Slot[]> slots;
  // Slots below this have been opened at least once: the consumer looks no further.
  std::atomic<std::size_t> used{0};
  // One counter per side, so neither thread writes the other's.
  alignas(kCacheLine) std::atomic<std::uint64_t> producerDropped{0};
  alignas(kCacheLine) std::atomic<std::uint64_t> consumerDropped{0};
  std::atomic<std::size_t> refused{0};
  // Blocks the consumer handed back. The producer takes them all at once, so the top that the
  // consumer's swap compares with cannot have left and come back meanwhile (no ABA).
  alignas(kCacheLine) std::atomic<Block*> pool{nullptr};
  Block* spare = nullptr;  // producer only: taken from the pool, not yet used

  ~Impl() {
    deleteChain(pool.load(std::memory_order_acquire));
    deleteChain(spare);
    for (std::size_t i = 0; i < streamCount; ++i) {
      Slot& s = slots[i];
      // A stream not read from yet has no head.
      if (s.state.load(std::memory_order_acquire) != kFree) deleteChain(s.head ? s.head : s.first);
    }
  }

  Slot* slot(int index) const noexcept {
    if (index < 0 || static_cast<std::size_t>(index) >= streamCount) return nullptr;
    return &slots[static_cast<std::size_t>(index)];
  }

  static float* samples(Block* block) noexcept { return reinterpret_cast<float*>(block + 1); }

  // Producer: a pooled block, else a new one; nullptr when memory ran out.
  Block* takeBlock() noexcept {
    // Acquire pairs with the consumer's release on handing back: its reads of the block are done.
    if (spare == nullptr) spare = pool.exchange(nullptr, std::memory_order_acquire);
    if (Block* block = spare) {
      spare = block->next;
      return block;
    }
    void* raw =
        ::operator new(sizeof(Block) + blockFrames * channels * sizeof(float), std::nothrow);
    return raw ? new (raw) Block : nullptr;
  }

  // Consumer: never frees, so the mixing thread does not wait on the allocator.
  void handBack(Block* block) noexcept {
    block->next = pool.load(std::memory_order_relaxed);
    while (!pool.compare_exchange_weak(block->next, block, std::memory_order_release,
                                       std::memory_order_relaxed)) {
    }
  }

  // Producer: appends up to `count` frames at `at`; how many fit in the blocks it could get.
  std::size_t copyIn(Slot& s, std::size_t at, const float* frames, std::size_t count) noexcept {
    std::size_t done = 0;
    while (done < count) {
      const std::size_t index = (at + done) >> blockShift;
      if (s.tail == nullptr || s.tail->index != index) {
        Block* block = takeBlock();
        if (block == nullptr) break;
        block->next = nullptr;
        block->index = index;
        // Both links are published by the release of the write counter that covers the block.
        (s.tail ? s.tail->next : s.first) = block;
        s.tail = block;
      }
      const std::size_t offset = (at + done) & (blockFrames - 1);
      const std::size_t n = std::min(count - done, blockFrames - offset);
      std::memcpy(samples(s.tail) + offset * channels, frames + done * channels,
                  n * channels * sizeof(float));
      done += n;
    }
    return done;
  }

  // Consumer: the frames from `at` to the end of its block, handing back the blocks before it.
  // Only for a frame the write counter already covers, so its block is linked.
  const float* framesAt(Slot& s, std::size_t at) noexcept {
    if (s.head == nullptr) s.head = s.first;
    while (s.head->index != at >> blockShift) {
      Block* next = s.head->next;
      handBack(s.head);
      s.head = next;
    }
    return samples(s.head) + (at & (blockFrames - 1)) * channels;
  }

  void addOut(Slot& s, std::size_t at, float* out, std::size_t count) noexcept {
    while (count > 0) {
      const float* in = framesAt(s, at);
      const std::size_t n = std::min(count, blockFrames - (at & (blockFrames - 1)));
      for (std::size_t i = 0; i < n * channels; ++i) out[i] += in[i];
      out += n * channels;
      at += n;
      count -= n;
    }
  }

  // Consumer: up to `frames` frames of the stream and its gaps added to `out`; how many.
  std::size_t play(Slot& s, std::size_t w, float* out, std::size_t frames) noexcept {
    std::size_t r = s.read.load(std::memory_order_relaxed);
    const std::size_t gaps = s.gapsPushed.load(std::memory_order_acquire);
    std::size_t done = 0;
    while (done < frames) {
      const std::size_t g = s.gapsPlayed.load(std::memory_order_relaxed);
      std::size_t upTo = w;
      if (g < gaps) {
        const Gap& gap = s.gaps[g % kGaps];
        if (gap.at <= r) {  // its place, or one the consumer passed before the gap came
          const std::size_t n = std::min(gap.frames - s.frontPlayed, frames - done);
          done += n;
          s.frontPlayed += n;
          if (s.frontPlayed == gap.frames) {
            s.frontPlayed = 0;
            s.gapsPlayed.store(g + 1, std::memory_order_release);
          }
          continue;
        }
        upTo = std::min(w, gap.at);
      }
      const std::size_t n = std::min(upTo - r, frames - done);
      if (n == 0) break;
      addOut(s, r, out + done * channels, n);
      r += n;
      done += n;
    }
    s.read.store(r, std::memory_order_relaxed);
    return done;
  }

  // One mix of at most `capacity` frames, at `offset` frames into each output.
  void mixOnce(float* const* outs, std::size_t offset, std::size_t frames) noexcept {
    for (std::size_t o = 0; o < outputs; ++o)
      std::fill(outs[o] + offset * channels, outs[o] + (offset + frames) * channels, 0.0f);
    consumerDropped.fetch_add(frames * refused.load(std::memory_order_relaxed),
                              std::memory_order_relaxed);
    const std::size_t end = used.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < end; ++i) {
      Slot& s = slots[i];
      // State before the write index: once Closing is seen, the index read next is final.
      const int state = s.state.load(std::memory_order_acquire);
      if (state == kFree) continue;
      const bool closing = state == kClosing;
      const std::size_t w = s.write.load(std::memory_order_acquire);
      // Nothing more will come from a closing stream, so it plays whatever it has; a lapsed one
      // rejoins with a whole mix, so that it does not fall silent again within it.
      if (closing || !s.lapsed || s.held(w) >= frames)
        s.lapsed = play(s, w, outs[s.output] + offset * channels, frames) < frames;
      if (closing && s.read.load(std::memory_order_relaxed) == w &&
          s.gapsPlayed.load(std::memory_order_relaxed) ==
              s.gapsPushed.load(std::memory_order_acquire)) {
        // The producer is done with the chain: its last block can go too.
        while (Block* block = s.head) {
          s.head = block->next;
          handBack(block);
        }
        s.lapsed = false;
        s.state.store(kFree, std::memory_order_release);
      }
    }
  }
};

StreamMixer::StreamMixer(std::uint32_t channels, std::size_t maxStreams, std::size_t ringFrames,
                         std::size_t outputs) {
  if (channels == 0) throw std::invalid_argument("StreamMixer: channels must be positive");
  if (outputs == 0) throw std::invalid_argument("StreamMixer: outputs must be positive");
  if (maxStreams == 0 || maxStreams > static_cast<std::size_t>(INT_MAX)) {
    throw std::invalid_argument("StreamMixer: maxStreams out of range");
  }
  const std::size_t capacity = ringCapacity(ringFrames);
  if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(float) / channels) {
    throw std::length_error("StreamMixer: rings too large");
  }
  auto impl = std::make_unique<Impl>();
  impl->channels = channels;
  impl->outputs = outputs;
  impl->streamCount = maxStreams;
  impl->capacity = capacity;
  // At least four blocks to a ring, so that a small ring too holds only what it needs.
  impl->blockFrames = std::clamp<std::size_t>(capacity / 4, 1, kBlockFrames);
  impl->blockShift = 0;
  while ((std::size_t{1} << impl->blockShift) < impl->blockFrames) ++impl->blockShift;
  impl->slots = std::make_unique<Slot[]>(maxStreams);
  impl_ = impl.release();
}

StreamMixer::~StreamMixer() { delete impl_; }

int StreamMixer::openStream(std::size_t output) noexcept {
  if (output >= impl_->outputs) return -1;
  for (std::size_t i = 0; i < impl_->streamCount; ++i) {
    Slot& s = impl_->slots[i];
    // Acquire pairs with the consumer's release on freeing: its last read index is visible, and
    // equals the write index, so the stream starts out empty; its blocks are back in the pool.
    if (s.state.load(std::memory_order_acquire) != kFree) continue;
    s.tail = s.first = nullptr;
    s.output = output;
    s.base = s.lastGap = s.write.load(std::memory_order_relaxed);
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
  // Only a count: no frame is written where one was read, the blocks come back through the pool.
  const std::size_t r = s->read.load(std::memory_order_relaxed);
  const std::size_t room = impl_->capacity - (w - r);
  const std::size_t n = impl_->copyIn(*s, w, frames, std::min(frameCount, room));
  s->write.store(w + n, std::memory_order_release);
  if (n < frameCount) skip(slot, w + n - s->base, frameCount - n, true);
}

void StreamMixer::skip(int slot, std::size_t before, std::size_t frameCount, bool lost) noexcept {
  Slot* s = impl_->slot(slot);
  if (s == nullptr || frameCount == 0 || s->state.load(std::memory_order_relaxed) != kOpen) return;
  if (lost) impl_->producerDropped.fetch_add(frameCount, std::memory_order_relaxed);
  const std::size_t gaps = s->gapsPushed.load(std::memory_order_relaxed);
  // Acquire pairs with the consumer's release on playing one out: its entry is free again.
  if (gaps - s->gapsPlayed.load(std::memory_order_acquire) == kGaps) return;  // lost unplaced
  s->lastGap = std::max(s->base + before, s->lastGap);
  s->gaps[gaps % kGaps] = {s->lastGap, frameCount};
  s->gapsPushed.store(gaps + 1, std::memory_order_release);
}

std::size_t StreamMixer::pushed(int slot) const noexcept {
  const Slot* s = impl_->slot(slot);
  return s ? s->write.load(std::memory_order_relaxed) - s->base : 0;
}

void StreamMixer::closeStream(int slot) noexcept {
  Slot* s = impl_->slot(slot);
  if (s == nullptr || s->state.load(std::memory_order_relaxed) != kOpen) return;
  // Release publishes every push before it to the consumer, which frees the slot once drained.
  s->state.store(kClosing, std::memory_order_release);
}

void StreamMixer::setRefusedStreams(std::size_t count) noexcept {
  impl_->refused.store(count, std::memory_order_relaxed);
}

std::size_t StreamMixer::mixable(std::size_t wanted) const noexcept {
  const std::size_t end = impl_->used.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < end && wanted > 0; ++i) {
    const Slot& s = impl_->slots[i];
    if (s.state.load(std::memory_order_acquire) != kOpen || s.lapsed) continue;
    wanted = std::min(wanted, s.held(s.write.load(std::memory_order_acquire)));
  }
  return wanted;
}

bool StreamMixer::awaitsAny() const noexcept {
  const std::size_t end = impl_->used.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < end; ++i) {
    const Slot& s = impl_->slots[i];
    if (s.state.load(std::memory_order_acquire) == kOpen && !s.lapsed) return true;
  }
  return false;
}

void StreamMixer::stopAwaitingStreamsShortOf(std::size_t frameCount) noexcept {
  const std::size_t end = impl_->used.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < end; ++i) {
    Slot& s = impl_->slots[i];
    if (s.state.load(std::memory_order_acquire) != kOpen) continue;
    if (s.held(s.write.load(std::memory_order_acquire)) < frameCount) s.lapsed = true;
  }
}

void StreamMixer::mix(float* out, std::size_t frameCount) noexcept {
  if (out == nullptr || impl_->outputs != 1) return;
  mix(&out, frameCount);
}

void StreamMixer::mix(float* const* outs, std::size_t frameCount) noexcept {
  if (outs == nullptr ||
      std::any_of(outs, outs + impl_->outputs, [](float* out) { return out == nullptr; }))
    return;
  for (std::size_t done = 0; done < frameCount;) {
    const std::size_t n = std::min(frameCount - done, impl_->capacity);
    impl_->mixOnce(outs, done, n);
    done += n;
  }
}

std::uint32_t StreamMixer::channels() const noexcept { return impl_->channels; }

std::uint64_t StreamMixer::droppedFrames() const noexcept {
  return impl_->producerDropped.load(std::memory_order_relaxed) +
         impl_->consumerDropped.load(std::memory_order_relaxed);
}

}  // namespace pt
