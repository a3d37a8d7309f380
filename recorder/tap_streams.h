// Which of the aggregate device's input streams carry the tap. An aggregate's input holds its
// sub-devices' input streams (a headset's microphone) beside its taps', one buffer per stream in
// the IO block; the header orders them by 'grup' and says nothing of where taps sit, and the
// streams may appear only a moment after the aggregate is made.
#pragma once

#include <cstdint>

#include "audio/platform.h"

namespace pt {

inline constexpr const char* kTapStreamsMissing = "聚合设备的输入中没有 Tap 的音频流";

struct TapStreams {
  std::uint32_t first = 0;  // the tap's first stream
  std::uint32_t count = 0;  // the tap's streams, as its format has buffers
  std::uint32_t total = 0;  // all the aggregate's input streams
};

// Waits, a few seconds at most on the platform's clock, until the aggregate's input streams
// ('slay') include the tap's: `count` streams whose channels agree with the tap's format, at the
// end of the list or else at its start. A device that does not tell has only the tap's input.
// Throws TextError naming what was expected and what was found.
TapStreams findTapStreams(AudioObjectID aggregateDevice, std::uint32_t channels, bool interleaved);

// Switches the other streams off for `procID` (kAudioDevicePropertyIOProcStreamUsage): Core
// Audio then hands the block null buffers for them and no microphone is opened for the tool.
OSStatus useOnlyTapStreams(AudioObjectID aggregateDevice, AudioDeviceIOProcID procID,
                           const TapStreams& streams);

// `block`, handed the tap's buffers only. A list without them is passed on as it is, for the
// block to refuse.
AudioDeviceIOBlock tapInputOnly(AudioDeviceIOBlock block, const TapStreams& streams);

}  // namespace pt
