#pragma once

#include <atomic>

namespace pt {

// While it lives, the first SIGINT, SIGTERM or SIGHUP (the terminal went away) sets `flag`
// instead of ending the process; the next one, or any after the scope, ends the process as usual.
// A SIGHUP that was ignored when the scope began (nohup) stays ignored.
class InterruptionScope {
 public:
  explicit InterruptionScope(std::atomic<bool>& flag);
  ~InterruptionScope();
  InterruptionScope(const InterruptionScope&) = delete;
  InterruptionScope& operator=(const InterruptionScope&) = delete;
};

}  // namespace pt
