#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "audio/audio_object_id.h"

namespace pt {

// One audio client, as the inventory saw it.
struct AudioProcessInfo {
  std::int32_t pid;
  AudioObjectID objectID;
  std::string name;
  std::string bundleID;  // may be empty
  bool audioActive;      // 'pir?': any audio IO, input included
  // 'piro': plays output; nothing when it could not be read.
  std::optional<bool> outputActive = std::nullopt;
};

}  // namespace pt
