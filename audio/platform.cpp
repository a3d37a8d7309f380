#include "audio/platform.h"

#include <cstdio>
#include <cstdlib>
#include <semaphore>

#if defined(__linux__)
#include <semaphore.h>

#include <cerrno>
#endif

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

#if defined(__linux__)
// glibc's post is an atomic add and, for a waiting writer, a futex wake: no lock. Its wait goes
// to the futex at once, where libstdc++'s semaphore first spins and yields a dozen times.
class PortableSemaphore final : public Semaphore {
 public:
  PortableSemaphore() { sem_init(&semaphore_, 0, 0); }
  ~PortableSemaphore() override { sem_destroy(&semaphore_); }
  PortableSemaphore(const PortableSemaphore&) = delete;
  PortableSemaphore& operator=(const PortableSemaphore&) = delete;
  void signal() noexcept override { sem_post(&semaphore_); }
  void wait() noexcept override {
    while (sem_wait(&semaphore_) != 0 && errno == EINTR) {
    }
  }

 private:
  sem_t semaphore_;
};
#else
// Release is an atomic add and, for a waiting writer, a futex or ulock wake: no lock.
class PortableSemaphore final : public Semaphore {
 public:
  void signal() noexcept override { semaphore_.release(); }
  void wait() noexcept override { semaphore_.acquire(); }

 private:
  std::counting_semaphore<> semaphore_{0};
};
#endif

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

void Platform::deviceWillStopAt(AudioObjectID, std::int64_t) noexcept {}

Platform* installPlatform(Platform* platform) { return std::exchange(installed, platform); }

}  // namespace pt
