#include "recorder/interruption.h"

#include <csignal>

namespace pt {
namespace {

std::atomic<std::atomic<bool>*> target{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free, "read from a signal handler");

struct sigaction previousInt, previousTerm, previousHup;

extern "C" void onInterrupt(int) {
  if (std::atomic<bool>* flag = target.load()) flag->store(true);
}

}  // namespace

void stopSignalsEndTheProcess() noexcept {
  for (int signal : {SIGINT, SIGTERM}) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
      std::signal(signal, SIG_DFL);
  }
}

InterruptionScope::InterruptionScope(std::atomic<bool>& flag) {
  target.store(&flag);
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // a second signal takes the default way out
  sigaction(SIGINT, &action, &previousInt);
  sigaction(SIGTERM, &action, &previousTerm);
  sigaction(SIGHUP, &action, &previousHup);
  // Started with hang-ups ignored (nohup): the recording is meant to outlive the terminal.
  if (previousHup.sa_handler == SIG_IGN) sigaction(SIGHUP, &previousHup, nullptr);
}

InterruptionScope::~InterruptionScope() {
  sigaction(SIGINT, &previousInt, nullptr);
  sigaction(SIGTERM, &previousTerm, nullptr);
  sigaction(SIGHUP, &previousHup, nullptr);
  target.store(nullptr);
}

}  // namespace pt
