#pragma once

#include <optional>
#include <string>
#include <vector>

#include "audio/value.h"
#include "processes/audio_process_info.h"

namespace pt {

inline constexpr const char* kAggregateDeviceNamePrefix = "brindlex-process-tap-";

// "brindlex-process-tap-" and the targets' names joined with "+", as they are.
std::string aggregateDeviceName(const std::vector<AudioProcessInfo>& targets);

// A recorded input device other than the output device: a sub-device after it, with drift
// compensation unless both are known to share one clock.
struct InputSubDevice {
  std::string uid;
  bool drift = true;
};

// The private aggregate device around the taps, with the output device as its main sub-device.
Value aggregateDeviceDescription(const std::vector<AudioProcessInfo>& targets,
                                 const std::string& deviceUID, const std::string& outputDeviceUID,
                                 const std::vector<std::string>& tapUUIDs,
                                 const std::optional<InputSubDevice>& input = std::nullopt);

}  // namespace pt
