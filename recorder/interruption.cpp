#include "recorder/interruption.h"

#include <csignal>

namespace pt {
namespace {

std::atomic<bool> interruptedFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

struct sigaction previousInt, previousTerm;

extern "C" void onInterrupt(int) { interruptedFlag.store(true); }

}  // namespace

InterruptionScope::InterruptionScope() {
  interruptedFlag.store(false);
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // a second signal takes the default way out
  sigaction(SIGINT, &action, &previousInt);
  sigaction(SIGTERM, &action, &previousTerm);
}

InterruptionScope::~InterruptionScope() {
  sigaction(SIGINT, &previousInt, nullptr);
  sigaction(SIGTERM, &previousTerm, nullptr);
}

const std::atomic<bool>& InterruptionScope::interrupted() const { return interruptedFlag; }

}  // namespace pt
