// Which of the aggregate device's input streams carry the recording: the taps', and the input
// device's when one is recorded. An aggregate's input holds its sub-devices' input streams (a
// headset's microphone) beside its taps', one buffer per stream in the IO block; the header orders
// them by 'grup' and says nothing of where taps sit, the streams may appear only a moment after
// the aggregate is made, and a notification of 'stm#' makes any place read before it stale. The
// parts are taken to sit together in sub-device order: a recorded input device's streams, then
// the taps' in the order of the tap list.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "audio/platform.h"

namespace pt {

inline constexpr const char* kTapStreamsMissing = "聚合设备的输入中没有 Tap 的音频流";

// The streams of one tap: one, or one per channel when its format is not interleaved.
struct TapLayout {
  std::uint32_t channels = 2;
  bool interleaved = true;
};

// One part of the recording's streams: each stream's channels, of which the first `used` are read
// (every stream of a tap; an input device's first). The rest stay switched off.
struct StreamPart {
  std::vector<std::uint32_t> streams;
  std::uint32_t used = 0;
};
StreamPart tapPart(const TapLayout& tap);

struct TapStreams {
  std::uint32_t first = 0;  // the first part's first stream
  std::uint32_t count = 0;  // the parts' streams, as their formats have buffers; 0: not among them
  std::uint32_t total = 0;  // all the aggregate's input streams
  bool operator==(const TapStreams&) const = default;
};

// The taps' place among the aggregate's input streams, kept current: read again whenever the
// aggregate says its streams changed, handed to the IO block, and the other streams switched off
// for the block each time. Shared by the recorder, its 'stm#' listener and the IO block.
class TapStreamsTracker {
 public:
  // The parts in the order of the aggregate's input.
  TapStreamsTracker(AudioObjectID aggregateDevice, std::vector<StreamPart> parts);

  // Waits, a few seconds at most on the platform's clock, until the aggregate's input streams
  // ('slay') include the parts': streams whose channels agree with theirs, at the end of the list
  // or else at its start. A device that does not tell has only the parts' input. Throws
  // TextError naming what was expected and what was found.
  void find();
  // After the IO block is registered: from now on each reading switches the other streams off for
  // it (kAudioDevicePropertyIOProcStreamUsage), so that no microphone is opened for the tool.
  void useFor(AudioDeviceIOProcID procID);
  // One reading without waiting, on the notification queue or the main thread. Streams that no
  // longer hold the tap leave the IO block nothing to read until a later reading finds them.
  void reread() noexcept;
  // No reading after this: the block is about to go.
  void close() noexcept;

  // One block that hands each of `blocks` its part's buffers only, as the latest reading placed
  // them, in the parts' order. A list of another length than that reading's reaches each as no
  // input, for it to count as unreadable.
  static AudioDeviceIOBlock tapInputOnly(std::vector<AudioDeviceIOBlock> blocks,
                                         std::shared_ptr<const TapStreamsTracker> tracker);

  TapStreams current() const noexcept;  // real-time safe

 private:
  void settle(const TapStreams& streams) noexcept;
  void publish(const TapStreams& streams) noexcept;

  const AudioObjectID device_;
  const std::vector<StreamPart> parts_;
  const std::vector<std::uint32_t> channels_;  // of each stream, the parts one after another
  const std::vector<bool> used_;               // whether the block reads it
  const std::uint32_t count_;                  // the parts' streams
  std::mutex mutex_;                           // one reading and its stream usage at a time
  AudioDeviceIOProcID proc_ = nullptr;
  bool closed_ = false;
  std::optional<TapStreams> usage_;       // the place the block's stream usage was last set for
  std::atomic<std::uint64_t> packed_{0};  // `current()` for the IO block, lock-free
};

}  // namespace pt
