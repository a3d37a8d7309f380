#include "audio/platform.h"

#include <cstdio>
#include <cstdlib>

namespace pt {
namespace {
Platform* installed = nullptr;
}

Platform& platform() {
  if (installed == nullptr) {
    std::fputs("process-tap: no platform installed\n", stderr);
    std::abort();
  }
  return *installed;
}

OSStatus Platform::setPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t,
                                   const void*, std::uint32_t, const void*) {
  return kAudioHardwareUnknownPropertyError;
}

Platform* installPlatform(Platform* platform) { return std::exchange(installed, platform); }

}  // namespace pt
