// Sums the playback streams of one tap into fixed-size cycles of interleaved float audio.
//
// One producer thread (the sound server client's thread) opens, feeds and closes streams; one
// consumer thread mixes cycles. Each stream has its own single-producer single-consumer ring, so
// neither side locks or allocates after construction.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pt {

class StreamMixer {
 public:
  // `channels` samples per frame; up to `maxStreams` streams at once, each buffered in a ring of
  // `ringFrames` frames (rounded up to a power of two). A stream joins the mix once it holds
  // `primeFrames`; a stream holding more than `maxLatencyFrames` at a mix drops its oldest frames
  // down to `primeFrames`, so latency stays bounded when the producer's clock runs faster than
  // the consumer's. All memory is allocated here; nothing after. Throws std::invalid_argument
  // when a stream could never join (primeFrames above the ring or above maxLatencyFrames) or a
  // count is zero, std::length_error when the rings would not fit in memory.
  StreamMixer(std::uint32_t channels, std::size_t maxStreams, std::size_t ringFrames,
              std::size_t primeFrames, std::size_t maxLatencyFrames);
  ~StreamMixer();
  StreamMixer(const StreamMixer&) = delete;
  StreamMixer& operator=(const StreamMixer&) = delete;

  // Producer: claims a free slot for a new stream; -1 when all are taken.
  int openStream() noexcept;
  // Producer: appends `frameCount` interleaved frames; frames that do not fit are dropped.
  // Slots that are not open (never opened, closed, out of range) are ignored: a slot number is
  // reused by a later openStream once its stream has played out.
  void push(int slot, const float* frames, std::size_t frameCount) noexcept;
  // Producer: the stream ended; what it still holds plays out, then the slot is free.
  void closeStream(int slot) noexcept;
  // Consumer: writes exactly `frameCount` frames to `out`: the sum of every primed stream's next
  // frames; silence where a stream has none (it then primes again). A stream joins, and is
  // trimmed to, no less than a whole cycle, so neither leaves a gap within the cycle; held frames
  // thus stay within the larger of maxLatencyFrames and the cycle. A closing stream plays what
  // it holds at once. Cycles longer than the rings are mixed as consecutive ring-sized cycles.
  void mix(float* out, std::size_t frameCount) noexcept;

  std::uint32_t channels() const noexcept;
  // Frames dropped so far because a ring was full or latency was trimmed.
  std::uint64_t droppedFrames() const noexcept;

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace pt
