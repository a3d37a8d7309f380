#include "audio/platform.h"

#include <cstdio>
#include <cstdlib>
#include <semaphore>

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

namespace {

// Release is an atomic add and, for a waiting writer, a futex or ulock wake: no lock.
class PortableSemaphore final : public Semaphore {
 public:
  void signal() noexcept override { semaphore_.release(); }
  void wait() noexcept override { semaphore_.acquire(); }

 private:
  std::counting_semaphore<> semaphore_{0};
};

}  // namespace

std::shared_ptr<Semaphore> Platform::makeSemaphore() {
  return std::make_shared<PortableSemaphore>();
}

AVAudioCommonFormat AudioFormat::commonFormat() const {
  const AudioStreamBasicDescription& d = streamDescription();
  const bool nativeFloat = (d.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
                           (d.mFormatFlags & kAudioFormatFlagIsBigEndian) == 0;
  return d.mFormatID == kAudioFormatLinearPCM && nativeFloat && d.mBitsPerChannel == 32
             ? AVAudioCommonFormat::AVAudioPCMFormatFloat32
             : AVAudioCommonFormat::AVAudioOtherFormat;
}

bool Platform::writesAudioFile(const AudioFileSettings&) const noexcept { return true; }

std::string Platform::unreachableServiceReason() { return {}; }

std::int64_t Platform::droppedFrames(AudioObjectID) noexcept { return 0; }

bool Platform::cyclesContinueWhileSilent() const noexcept { return false; }

bool Platform::ioBlockIsRealTime() const noexcept { return false; }

Platform* installPlatform(Platform* platform) { return std::exchange(installed, platform); }

}  // namespace pt
