#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "processes/audio_process_info.h"

namespace pt::testing {

// Object IDs follow the pid so that a record's identity shows in failure output either way.
inline AudioProcessInfo process(std::int32_t pid, std::string name, std::string bundleID = "",
                                bool active = true, std::optional<bool> output = std::nullopt) {
  return AudioProcessInfo{pid,
                          AudioObjectID(std::uint32_t(pid) + 10000),
                          std::move(name),
                          std::move(bundleID),
                          active,
                          output};
}

inline std::vector<std::int32_t> pids(const std::vector<AudioProcessInfo>& processes) {
  std::vector<std::int32_t> out;
  for (const AudioProcessInfo& p : processes) out.push_back(p.pid);
  return out;
}

}  // namespace pt::testing
