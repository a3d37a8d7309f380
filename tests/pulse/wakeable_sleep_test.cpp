#include "audio/pulse/wakeable_sleep.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace pt::pulse {
namespace {

// The queue that raises the flag ends the sleep; a flag raised without a wake is seen at the
// next slice; neither waits out the time asked. (Bounds far above any delay a loaded machine
// adds.)
TEST(WakeableSleep, EndsWhenTheFlagIsRaisedWokenOrNot) {
  using Clock = std::chrono::steady_clock;
  WakeableSleep sleep;
  for (bool woken : {true, false}) {
    std::atomic<bool> flag{false};
    std::thread queue([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      flag.store(true);
      if (woken) sleep.wakeIfRaised();
    });
    const Clock::time_point start = Clock::now();
    sleep.sleep(600, flag);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60)) << woken;
    queue.join();
  }
  const std::atomic<bool> never{false};
  const Clock::time_point start = Clock::now();
  sleep.sleep(0.05, never);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
}

}  // namespace
}  // namespace pt::pulse
