// The stop signals (SIGINT, SIGTERM, SIGHUP) go to the thread that waits out a recording: the
// threads this platform starts block them, so the kernel delivers them to the main thread, whose
// sleep they cut short at once.
#pragma once

#include <pthread.h>

#include <csignal>
#include <utility>

namespace pt::pulse {

// Runs `start`, which starts a thread; the thread inherits the stop signals blocked.
template <class Start>
decltype(auto) withStopSignalsBlocked(Start&& start) {
  sigset_t stops, previous;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
  struct Restore {
    sigset_t mask;
    ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{previous};
  return std::forward<Start>(start)();
}

}  // namespace pt::pulse
