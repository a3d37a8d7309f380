#pragma once

#include <atomic>

namespace pt {

// While it lives, the first SIGINT or SIGTERM sets the flag instead of ending the process; the
// next one, or any after the scope, ends the process as usual.
class InterruptionScope {
 public:
  InterruptionScope();
  ~InterruptionScope();
  InterruptionScope(const InterruptionScope&) = delete;
  InterruptionScope& operator=(const InterruptionScope&) = delete;

  const std::atomic<bool>& interrupted() const;
};

}  // namespace pt
