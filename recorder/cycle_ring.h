// The IO cycles on their way from the IO block to the writer thread: a ring of samples and a ring
// of cycle lengths, allocated once, with one producer and one consumer and no lock. An entry may
// also be silence of a length, taking no room in the samples: audio lost at its place.
// Whenever the writer has caught up, the next cycle goes to the start of the samples again, so a
// writer that keeps up uses only their first pages: the rest is memory that is touched only when
// a stall needs it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/core_audio_types.h"

namespace pt {

class CycleRing {
 public:
  // Room for `frames` frames of `planes` buffers of `samplesPerFrame` floats each (interleaved
  // audio is one plane, planar audio one plane per channel), and for as many cycles as fit when
  // each holds at least `fewestFrames`. With `touched`, every page of the samples is written now,
  // so that a real-time producer never takes a page fault; otherwise the system maps them as the
  // ring first reaches them.
  CycleRing(std::uint32_t planes, std::uint32_t samplesPerFrame, std::size_t frames,
            std::uint32_t fewestFrames, bool touched);
  CycleRing(const CycleRing&) = delete;
  CycleRing& operator=(const CycleRing&) = delete;

  // Producer; real-time safe. Copies the first `frames` frames of `list` as one cycle; false,
  // copying nothing, when there is no room for it.
  bool push(const AudioBufferList& list, std::uint32_t frames) noexcept;
  // Producer; real-time safe. `frames` frames of silence (below kLongestSilence) as one entry;
  // false when no entry is free.
  bool pushSilence(std::uint32_t frames) noexcept;
  static constexpr std::uint32_t kLongestSilence = (1u << 31) - 1;

  // Consumer. The frames of the `index`th oldest entry, 0 when there is none.
  std::uint32_t front(std::size_t index = 0) const noexcept;
  // Whether that entry is silence.
  bool silent(std::size_t index = 0) const noexcept;
  // Copies `frames` frames from `offset` frames into the oldest cycle on (across the cycles after
  // it too, none of them silence), to the start of `out`'s buffers.
  void read(std::uint32_t offset, std::uint32_t frames, AudioBufferList& out) const noexcept;
  // Lets the producer reuse the oldest `count` entries' room.
  void pop(std::size_t count = 1) noexcept;

 private:
  const std::uint32_t planes_;
  const std::uint32_t samplesPerFrame_;
  const std::size_t frames_;
  const std::unique_ptr<float[]> samples_;  // plane after plane
  std::vector<std::uint32_t> cycles_;       // the length of each entry, kSilent marking silence
  static constexpr std::uint32_t kSilent = 1u << 31;
  // Frames and cycles ever pushed and popped: each written by one side and read by the other,
  // but for the producer's move of both frame counts to the samples' start in an empty ring.
  std::atomic<std::uint64_t> pushedFrames_{0}, pushedCycles_{0};
  std::atomic<std::uint64_t> poppedFrames_{0}, poppedCycles_{0};
};

}  // namespace pt
