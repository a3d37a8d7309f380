// Sums the playback streams of each tap into interleaved float audio, one output per tap on one
// clock, without gaps the streams did not have, and with silence in the place of audio a stream
// lost.
//
// One producer thread (the sound server client's thread) opens, feeds and closes streams; one
// consumer thread mixes. Each stream has its own single-producer single-consumer queue, so neither
// side locks; the consumer never allocates nor frees: the memory it is done with goes back to the
// producer.
//
// The consumer is clocked by the data: it asks how many frames every awaited stream can give
// (mixable) and mixes only those, so a stream that delivers late delays the mix instead of
// leaving silence in it. A stream is awaited from its opening until it runs dry in a mix the
// consumer forced or the consumer gave up on it (it stopped delivering: paused, or starved for
// longer than the consumer will wait); it is awaited again once it holds a whole mix.
//
// Audio a stream lost (the server dropped it, or its ring was full) is a gap: silence of its
// length at its place among the stream's frames, held like frames but taking no memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pt {

class StreamMixer {
 public:
  // `channels` samples per frame; up to `maxStreams` streams at once, each holding up to
  // `ringFrames` frames (rounded up to a power of two: its ring). A stream's memory follows what
  // it holds, not its ring: it is taken as audio arrives and reused once mixed. Nothing that fits
  // is ever dropped: a backlog plays out late rather than being trimmed.
  // Each stream is summed into one of `outputs`.
  // Throws std::invalid_argument when a count is zero, std::length_error when a ring would not
  // fit in memory.
  StreamMixer(std::uint32_t channels, std::size_t maxStreams, std::size_t ringFrames,
              std::size_t outputs = 1);
  ~StreamMixer();
  StreamMixer(const StreamMixer&) = delete;
  StreamMixer& operator=(const StreamMixer&) = delete;

  // Producer: claims a free slot for a new stream summed into `output`; -1 when all are taken
  // (or there is no such output).
  int openStream(std::size_t output = 0) noexcept;
  // Producer: appends `frameCount` interleaved frames; frames that do not fit in the ring, or
  // find no memory, are lost: a gap in their place.
  // Slots that are not open (never opened, closed, out of range) are ignored: a slot number is
  // reused by a later openStream once its stream has played out.
  void push(int slot, const float* frames, std::size_t frameCount) noexcept;
  // Producer: `frameCount` frames of silence before the stream's `before`th frame (frames pushed
  // count from 0; the frame may be yet to come): audio the stream lost there (`lost`, counted) or
  // a hole the server left. A place the consumer already passed gets it at once; a place before an
  // earlier gap's goes after it.
  void skip(int slot, std::size_t before, std::size_t frameCount, bool lost) noexcept;
  // Producer: the frames pushed to an open slot so far.
  std::size_t pushed(int slot) const noexcept;
  // Producer: the stream ended; what it still holds plays out, then the slot is free.
  void closeStream(int slot) noexcept;
  // Producer: how many streams play now without a slot (refused at the limit). Each frame mixed
  // while they play counts as dropped once per such stream.
  void setRefusedStreams(std::size_t count) noexcept;

  // Consumer: how many of `wanted` frames every awaited stream holds, gaps included (all of them
  // when no stream is awaited).
  std::size_t mixable(std::size_t wanted) const noexcept;
  // Consumer: whether any open stream is awaited.
  bool awaitsAny() const noexcept;
  // Consumer: the awaited streams holding fewer than `frameCount` frames are awaited no longer,
  // so that the others play on: they stopped delivering, or are later than the consumer waits.
  void stopAwaitingStreamsShortOf(std::size_t frameCount) noexcept;
  // Consumer: writes exactly `frameCount` frames to `out`: the sum of the streams' next frames
  // and gaps.
  // An awaited stream holding fewer plays what it has, then silence, and is no longer awaited;
  // a stream not awaited plays only once it holds the whole mix. A closing stream plays what it
  // holds. Mixes longer than the rings are mixed as consecutive ring-sized mixes.
  void mix(float* out, std::size_t frameCount) noexcept;
  // The same for every output at once: `outs` holds one buffer of `frameCount` frames for each.
  void mix(float* const* outs, std::size_t frameCount) noexcept;

  std::uint32_t channels() const noexcept;
  // Frames lost so far: gaps counted as lost (a full ring or memory run out among them), and the
  // frames of streams that had no slot.
  std::uint64_t droppedFrames() const noexcept;

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace pt
