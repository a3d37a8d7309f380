#pragma once

#include <string>
#include <vector>

#include "audio/value.h"
#include "processes/audio_process_info.h"

namespace pt {

inline constexpr const char* kAggregateDeviceNamePrefix = "brindlex-process-tap-";

// "brindlex-process-tap-" and the targets' names joined with "+", as they are.
std::string aggregateDeviceName(const std::vector<AudioProcessInfo>& targets);

// The private aggregate device around the taps, with the output device as its main sub-device.
Value aggregateDeviceDescription(const std::vector<AudioProcessInfo>& targets,
                                 const std::string& deviceUID, const std::string& outputDeviceUID,
                                 const std::vector<std::string>& tapUUIDs);

}  // namespace pt
