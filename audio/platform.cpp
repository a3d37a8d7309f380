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

std::int64_t Platform::droppedFrames(AudioObjectID) noexcept { return 0; }

bool Platform::cyclesContinueWhileSilent() const noexcept { return false; }

Platform* installPlatform(Platform* platform) { return std::exchange(installed, platform); }

}  // namespace pt
