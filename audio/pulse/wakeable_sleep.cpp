#include "audio/pulse/wakeable_sleep.h"

#include <time.h>

#include <algorithm>
#include <chrono>

namespace pt::pulse {
namespace {

// Long enough for few wake-ups, short enough to see a flag that nobody wakes the sleep for (the
// writer's, a signal just before the wait): the recorder's own wait is made of one-second slices,
// which this then does not cut again.
constexpr std::chrono::milliseconds kSlice{1000};

}  // namespace

WakeableSleep::WakeableSleep() { sem_init(&semaphore_, 0, 0); }

WakeableSleep::~WakeableSleep() { sem_destroy(&semaphore_); }

void WakeableSleep::sleep(double seconds, const std::atomic<bool>& flag) noexcept {
  using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC
  const Clock::time_point end =
      !(seconds < 1e9) ? Clock::time_point::max()
                       : Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(std::max(0.0, seconds)));
  {
    std::lock_guard lock(mutex_);
    flag_ = &flag;
  }
  while (!flag.load()) {
    const Clock::time_point now = Clock::now();
    if (now >= end) break;
    const auto until = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::min(end, now + kSlice).time_since_epoch());
    const timespec at{time_t(until.count() / 1'000'000'000), long(until.count() % 1'000'000'000)};
    sem_clockwait(&semaphore_, CLOCK_MONOTONIC, &at);  // a post, EINTR or the time
  }
  {
    std::lock_guard lock(mutex_);
    flag_ = nullptr;
  }
  while (sem_trywait(&semaphore_) == 0) {
  }  // a wake that came late is not the next sleep's
}

void WakeableSleep::wakeIfRaised() noexcept {
  std::lock_guard lock(mutex_);
  if (flag_ && flag_->load()) sem_post(&semaphore_);
}

}  // namespace pt::pulse
