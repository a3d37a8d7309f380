// Where the tracks of a recording go: every target mixed into the one file OUTPUT names, or, where
// OUTPUT holds "{name}", a file for each target with its name in that place.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recorder/track.h"
#include "targets/keyword_targets.h"

namespace pt {

inline constexpr std::string_view kNamePlaceholder = "{name}";

// Each "{name}" of `path` replaced by `name`.
std::string pathFor(std::string_view path, std::string_view name);

// The targets' names as parts of a file name, then the input device's when there is one: "/" and
// NUL, which no file name holds, become "_"; names that two share, in any case or normalization
// (or that are empty), get "-PID", or "-input" for the device's.
std::vector<std::string> fileNames(const std::vector<AudioProcessInfo>& targets,
                                   const std::optional<InputDevice>& input = std::nullopt);

// One track of all targets and the input device into `path`, or one per target and one for the
// device when `path` holds "{name}". The exclusions go with the global target.
std::vector<TrackSource> trackSources(const std::string& path, KeywordTargets targets);

}  // namespace pt
