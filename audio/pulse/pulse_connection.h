// The connection to the sound server: one libpulse context on a pa_threaded_mainloop, connected
// on first use and never again once lost (a run does not reconnect). The server's thread runs
// every libpulse callback; other threads act only while holding the loop's lock.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "audio/core_audio_types.h"
#include "audio/pulse/pulse_processes.h"

namespace pt::pulse {

// Statuses of the server's failures (docs/linux.md).
constexpr OSStatus kServerUnreachable = kAudioHardwareNotRunningError;       // 'stop'
constexpr OSStatus kServerOperationFailed = kAudioHardwareUnspecifiedError;  // 'what'
constexpr OSStatus kNoDefaultSink = kAudioHardwareBadDeviceError;            // '!dev'

// A source of the server: an input device, or the monitor of a sink.
struct Source {
  std::string name;         // what `pactl list sources short` shows: its UID
  std::string description;  // what desktop settings show
  pa_channel_map channels{};
  std::uint32_t rate = 0;
  bool monitor = false;
};

class PulseConnection {
 public:
  // Both run on the server's thread: a playback stream appeared, changed or left (`removed`);
  // the connection is lost.
  PulseConnection(std::function<void(std::uint32_t sinkInput, bool removed)> onSinkInput,
                  std::function<void()> onLost)
      : onSinkInput_(std::move(onSinkInput)), onLost_(std::move(onLost)) {}
  ~PulseConnection() { disconnect(); }
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  OSStatus connect();
  void disconnect() noexcept;

  pa_context* context() const { return context_; }
  // Holds the loop's lock for its scope, the one way this platform takes it.
  class Lock {
   public:
    explicit Lock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    explicit Lock(const PulseConnection& connection) : Lock(connection.loop_) {}
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* const loop_;
  };
  // A failure status for an operation that did not succeed.
  OSStatus failure() const { return failed_ ? kServerUnreachable : kServerOperationFailed; }

  // With the loop locked: the clients, the playback streams and, if asked for, the record
  // streams, in one round trip.
  bool listStreams(std::vector<Client>& clients, std::vector<Stream>& inputs,
                   std::vector<Stream>* outputs = nullptr);
  // Without the lock.
  OSStatus defaultSink(std::string& name, std::uint32_t& rate);
  // Without the lock: the sources in the server's order and the name of the default one (empty
  // when there is none), in one round trip.
  OSStatus listSources(std::vector<Source>& sources, std::string& defaultSource);
  // Without the lock: asks the server a small question, not awaited. The server answers in order,
  // after everything it sent before.
  void probe();
  // Any thread: whether an answer to a probe came at `time` or later.
  bool answeredSince(std::chrono::steady_clock::time_point time) const;

 private:
  // With the loop locked: runs the operations, sent together, to their end; false when one could
  // not run or the server went.
  bool wait(std::initializer_list<pa_operation*> ops);
  void signal() { pa_threaded_mainloop_signal(loop_, 0); }

  static void onContextState(pa_context* context, void* self);
  static void onServerEvent(pa_context* context, pa_subscription_event_type_t event,
                            std::uint32_t index, void* self);
  static void onSuccess(pa_context*, int success, void* self);

  template <class T>
  struct ListCall {
    PulseConnection* self;
    std::vector<T>* items;
  };
  template <class Info, class T, T (*convert)(const Info&)>
  static void collect(pa_context*, const Info* info, int eol, void* data);

  const std::function<void(std::uint32_t, bool)> onSinkInput_;
  const std::function<void()> onLost_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  std::atomic<bool> failed_{false};
  bool connectTimedOut_ = false;                               // under the loop's lock
  std::atomic<std::chrono::steady_clock::rep> lastAnswer_{0};  // steady clock ticks
};

}  // namespace pt::pulse
