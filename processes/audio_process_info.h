#pragma once

#include <cstdint>
#include <string>

#include "audio/audio_object_id.h"

namespace pt {

// One audio client, as the inventory saw it.
struct AudioProcessInfo {
  std::int32_t pid;
  AudioObjectID objectID;
  std::string name;
  std::string bundleID;  // may be empty
  bool audioActive;
};

}  // namespace pt
