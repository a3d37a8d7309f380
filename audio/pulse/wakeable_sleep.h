// The main thread's sleep while a recording runs, cut short the moment the flag it waits on is
// raised: by a stop signal (the sleep returns on EINTR), or by the queue that raised it (the IO
// block that took the duration's last frame, a listener that heard the device end), which then
// wakes it. So the tool exits as soon as the recording is in, instead of at the next slice; a flag
// raised elsewhere (the writer's) is seen at the next slice.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <mutex>

namespace pt::pulse {

class WakeableSleep {
 public:
  WakeableSleep();
  ~WakeableSleep();
  WakeableSleep(const WakeableSleep&) = delete;
  WakeableSleep& operator=(const WakeableSleep&) = delete;

  // Sleeps `seconds` (not finite: without end), returning early once `flag` is true.
  void sleep(double seconds, const std::atomic<bool>& flag) noexcept;
  // Any thread but the sleeper's, after it may have raised the flag: wakes the sleeper if the
  // flag it sleeps on is up.
  void wakeIfRaised() noexcept;

 private:
  sem_t semaphore_;
  std::mutex mutex_;
  const std::atomic<bool>* flag_ = nullptr;  // under mutex_, while a sleep lasts
};

}  // namespace pt::pulse
