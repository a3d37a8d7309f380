#pragma once

#include <atomic>

namespace pt {

// While it lives, the first SIGINT or SIGTERM sets `flag` instead of ending the process; the
// next one, or any after the scope, ends the process as usual.
class InterruptionScope {
 public:
  explicit InterruptionScope(std::atomic<bool>& flag);
  ~InterruptionScope();
  InterruptionScope(const InterruptionScope&) = delete;
  InterruptionScope& operator=(const InterruptionScope&) = delete;
};

}  // namespace pt
