// An input device's part of each IO cycle: its first stream, handed on to a track of its own, or
// added to the taps' audio of the track it shares, so that a call and the voice beside it are
// one file. It notes whether the input ever held sound: a microphone the system does not let the
// tool use delivers only zeros, and nothing else tells.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/platform.h"
#include "recorder/tap_streams.h"

namespace pt {

// Shared: the blocks hold it.
class InputMix : public std::enable_shared_from_this<InputMix> {
 public:
  // `channels` of the input's stream.
  explicit InputMix(std::uint32_t channels);

  // The block for the input's part of the aggregate's input; with `own`, the input goes on to
  // it, as it is. Real-time safe.
  AudioDeviceIOBlock inputBlock(AudioDeviceIOBlock own = nullptr);
  // The block for the tap's part of the track the input is mixed into: the tap's buffers, with
  // the input's channels averaged and added to each of the tap's channels, handed to `capture`.
  // The input's part must come first in each cycle. Real-time safe: the mix is made in memory
  // made here, a slice at a time.
  AudioDeviceIOBlock mixedInto(AudioDeviceIOBlock capture, TapLayout tap);

  bool heardSound() const noexcept { return heard_.load(std::memory_order_relaxed); }
  // Cycles the tap could be read in and the input could not, and their frames: the input is
  // missing from the mix there.
  std::int64_t missingCycles() const noexcept { return missing_.load(std::memory_order_relaxed); }
  std::int64_t missingFrames() const noexcept {
    return missingFrames_.load(std::memory_order_relaxed);
  }

 private:
  const std::uint32_t channels_;
  // IO thread only: this cycle's input, until the tap's part is mixed.
  const float* samples_ = nullptr;
  std::uint32_t frames_ = 0;
  std::atomic<bool> heard_{false};
  std::atomic<std::int64_t> missing_{0}, missingFrames_{0};
};

}  // namespace pt
