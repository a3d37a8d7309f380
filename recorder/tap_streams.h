// Which of the aggregate device's input streams carry the tap. Core Audio builds an aggregate's
// input from its sub-devices' input streams, in sub-device order, followed by its taps' streams,
// and hands an IO block one buffer per stream: when the output device has a microphone of its own
// (a headset), its buffers come ahead of the tap's.
#pragma once

#include <cstdint>

#include "audio/platform.h"

namespace pt {

struct TapStreams {
  std::uint32_t first = 0;  // the tap's first stream; those before it belong to sub-devices
  std::uint32_t total = 0;  // all the aggregate's input streams
};

// Counts the input streams of the aggregate and of its main sub-device. A device that does not
// tell counts as none, so the whole input is taken for the tap's.
TapStreams findTapStreams(AudioObjectID aggregateDevice, AudioObjectID mainSubDevice);

// Switches the sub-devices' streams off for `procID` (kAudioDevicePropertyIOProcStreamUsage):
// Core Audio then hands the block null buffers for them and no microphone is opened for the tool.
OSStatus useOnlyTapStreams(AudioObjectID aggregateDevice, AudioDeviceIOProcID procID,
                           const TapStreams& streams);

// `block`, handed the tap's buffers only. A list shorter than expected is passed on as it is, for
// the block to refuse.
AudioDeviceIOBlock tapInputOnly(AudioDeviceIOBlock block, const TapStreams& streams);

}  // namespace pt
