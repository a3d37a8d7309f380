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

// Outside such a scope SIGINT and SIGTERM end the process at once, as their default actions do,
// in every wait (a sound server that takes a connection and never answers, say), even when the
// caller started the tool with them ignored (a script's background job): the recording itself
// answers them whatever the caller ignored. SIGHUP keeps what the caller chose (nohup).
void stopSignalsEndTheProcess() noexcept;

}  // namespace pt
