// Names the calling thread, so that `top -H`, perf and a debugger tell the recorder's threads
// apart. Linux keeps 15 bytes of a name.
#pragma once

#include <pthread.h>

#include <string>

namespace pt {

inline void nameThisThread(const std::string& name) noexcept {
#if defined(__APPLE__)
  pthread_setname_np(name.c_str());
#elif defined(__linux__)
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
#endif
}

}  // namespace pt
