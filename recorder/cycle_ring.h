// The IO cycles on their way from the IO block to the writer thread: a ring of samples and a ring
// of cycle lengths, allocated once, with one producer and one consumer and no lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/core_audio_types.h"

namespace pt {

class CycleRing {
 public:
  // Room for `frames` frames of `planes` buffers of `samplesPerFrame` floats each (interleaved
  // audio is one plane, planar audio one plane per channel), and for as many cycles as fit when
  // each holds at least `fewestFrames`.
  CycleRing(std::uint32_t planes, std::uint32_t samplesPerFrame, std::size_t frames,
            std::uint32_t fewestFrames);
  CycleRing(const CycleRing&) = delete;
  CycleRing& operator=(const CycleRing&) = delete;

  // Producer; real-time safe. Copies the first `frames` frames of `list` as one cycle; false,
  // copying nothing, when there is no room for it.
  bool push(const AudioBufferList& list, std::uint32_t frames) noexcept;

  // Consumer. The frames of the `index`th oldest cycle, 0 when there is none.
  std::uint32_t front(std::size_t index = 0) const noexcept;
  // Copies `frames` frames from `offset` frames into the oldest cycle on (across the cycles after
  // it too), to the start of `out`'s buffers.
  void read(std::uint32_t offset, std::uint32_t frames, AudioBufferList& out) const noexcept;
  // Lets the producer reuse the oldest `count` cycles' room.
  void pop(std::size_t count = 1) noexcept;

 private:
  const std::uint32_t planes_;
  const std::uint32_t samplesPerFrame_;
  const std::size_t frames_;
  std::vector<float> samples_;         // plane after plane
  std::vector<std::uint32_t> cycles_;  // the length of each cycle
  // Frames and cycles ever pushed and popped: each written by one side and read by the other.
  std::atomic<std::uint64_t> pushedFrames_{0}, pushedCycles_{0};
  std::atomic<std::uint64_t> poppedFrames_{0}, poppedCycles_{0};
};

}  // namespace pt
