// Process taps and the aggregate device made from them. A tap is a recipe (whose playback
// streams, at which rate); the device is the set of monitor streams the recipes select, followed
// as streams come and go, summed by a StreamMixer into one buffer per tap on one clock and handed
// to the IO block: on the recorder's serial queue, or, while a recording runs, on the server's
// thread as it arrives (one call at a time, either way). An input device (a source) the device also
// records comes first in the block's list: on the taps' time line through an InputFollower, or,
// with no tap, as the one awaited stream that clocks the device.
//
// The device's clock is the server's: its time line is the streams' frames as the server
// rendered them, so a cycle is mixed once every awaited stream has delivered it, however late
// (a loaded machine, a server that was stopped and renders the time it missed when it runs
// again). Audio the server dropped while this process could not read is measured from the
// stream's timing information and kept in its place as silence. Only when no stream is awaited
// (they fell silent, paused, ended, or none plays) do the cycles follow the time that passes,
// as silence, while the server answers.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio/platform.h"
#include "audio/pulse/input_follower.h"
#include "audio/pulse/pulse_connection.h"
#include "audio/pulse/pulse_queue.h"
#include "audio/pulse/stream_mixer.h"

namespace pt {

struct PlatformListener {
  std::shared_ptr<pulse::PulseQueue> queue;
  AudioObjectPropertyListenerBlock block;
};

namespace pulse {

constexpr std::uint32_t kChannels = 2;

struct Tap {
  bool global = false;
  std::vector<std::int32_t> pids;  // tapped, or excluded from the global mix
  std::string uuid;
  std::string sink;  // the default sink when the tap was made
  std::uint32_t rate = 0;
};

// An input device the aggregate records beside its taps.
struct Input {
  std::string source;  // its name
  pa_channel_map channels{};
};

class Device;

// One monitored playback stream; lives on the server's thread.
struct Monitor {
  Device* device = nullptr;
  pa_stream* stream = nullptr;
  std::uint32_t sinkInput = PA_INVALID_INDEX;
  int slot = -1;
  std::size_t tap = 0;  // the device's tap it is mixed for
  std::size_t frameBytes = 0;
  // The input's stream, when the taps clock the device: it goes to the follower, not the mixer.
  InputFollower* follower = nullptr;
  bool ended = false;
  bool steady = false;  // asked for steady-state fragments
  // The stream's own frame count: read from the server (data and holes), and the holes.
  std::uint64_t consumed = 0, holes = 0;
  std::chrono::steady_clock::time_point lastRead{};
  timeval lastReadWall{};  // the clock of the server's timing information
  // A pause in its delivery (this process stopped, a suspended sink), until the server's timing
  // information after it has said what the server dropped meanwhile.
  struct Recovery {
    std::chrono::steady_clock::time_point resumedAt;
    timeval pausedAt;
    std::uint64_t consumedAtPause = 0;
    bool measured = false;  // the first answer after the pause was read
  };
  std::optional<Recovery> recovery;
  pa_operation* timing = nullptr;  // an update of the timing information, not yet answered
  std::uint64_t skipped = 0;       // frames the server's read index moved past, so far
  // What the server had sent at its last answer without a new skip.
  std::uint64_t lastUnskipped = 0;
};

struct IORegistration {
  std::shared_ptr<PulseQueue> queue;
  AudioDeviceIOBlock block;
};

class Device {
 public:
  // `taps` in the order of the aggregate's tap list, at `rate`; none only with an input. Throws
  // when the mixer or the follower cannot buffer the rate.
  Device(AudioObjectID id, std::vector<Tap> taps, std::optional<Input> input, std::uint32_t rate,
         PulseConnection& connection);

  std::uint32_t rate() const noexcept { return rate_; }

  // Under the loop's lock: starts recording the input, if any; false when it cannot.
  bool record(pa_context* context);

  // Server thread, or the main thread holding the loop's lock: monitors the playback stream of
  // `pid` for each tap that records it.
  void monitor(pa_context* context, std::uint32_t sinkInput, std::int32_t pid);
  // Server thread: the playback stream left the server.
  void forget(std::uint32_t sinkInput);
  void releaseMonitors() noexcept;
  // Server thread, or one holding the loop's lock: the connection is lost, or the server stopped
  // answering; the cycles stop and the listeners hear of it.
  void lose();

  // Main thread.
  // Registers the block: its handle, or null when the device has one already.
  AudioDeviceIOProcID registerIO(std::shared_ptr<PulseQueue> queue, AudioDeviceIOBlock block);
  AudioDeviceIOProcID ioProcID() const {
    return reinterpret_cast<AudioDeviceIOProcID>(registration_.get());
  }
  void unregisterIO() noexcept;  // stops the cycles first
  void startCycling();
  // Any thread: the recorder stops the device once the block has the time line up to `frame`.
  void endAt(std::uint64_t frame) noexcept { endFrame_.store(frame, std::memory_order_relaxed); }
  void stopCycling() noexcept;
  // Main thread, once stopped: the mixer's drops, and for each stream refused at the limit the
  // frames mixed while it played (the server does not say what a stream nobody records delivers;
  // while it exists it plays, so this counts a corked one too).
  std::int64_t droppedFrames() const noexcept {
    return std::int64_t(mixer_.droppedFrames() + (follower_ ? follower_->lostFrames() : 0));
  }
  bool isAlive() const noexcept { return alive_.load(); }

  // Under the loop's lock. A listener added to a lost device hears of it at once.
  AudioObjectPropertyListenerID addListener(std::shared_ptr<PulseQueue> queue,
                                            AudioObjectPropertyListenerBlock block);
  bool removeListener(AudioObjectPropertyListenerID listener);

  const AudioObjectID id;
  const std::vector<Tap> taps;
  const std::optional<Input> input;

 private:
  static bool follows(const Tap& tap, std::int32_t pid);
  void monitor(pa_context* context, std::uint32_t sinkInput, std::size_t tap);
  static void onReadable(pa_stream* stream, std::size_t, void* data);
  static void onStreamState(pa_stream* stream, void* data);
  static void onTiming(pa_stream* stream, int success, void* data);
  void followSteady(Monitor& watch);
  void askTiming(Monitor& watch);
  void measureLoss(Monitor& watch);
  pa_buffer_attr bufferAttributes(bool steady, std::size_t frameBytes) const;
  void release(Monitor& watch) noexcept;
  void wake();
  void runCycles();
  void hand(std::uint32_t frames);
  bool endNears() const noexcept;
  void handArrived(std::chrono::steady_clock::time_point now);

  // Main thread.
  std::unique_ptr<IORegistration> registration_;
  // Cleared on the server's thread when the connection is lost.
  std::atomic<bool> alive_{true};
  // Under the loop's lock.
  std::vector<std::unique_ptr<PlatformListener>> listeners_;
  const std::uint32_t rate_;
  const std::uint32_t channels_;  // of the mixer's outputs
  const std::uint32_t cycleFrames_;
  const std::uint32_t batchFrames_;  // at most this much audio per call of the block
  const std::uint32_t steadyFragmentFrames_;
  StreamMixer mixer_;
  const std::unique_ptr<InputFollower> follower_;  // with an input beside taps
  // A batch for each of the block's buffers, one after another.
  std::vector<float> buffer_;
  // The time line: what the block is handed, and where. The recorder's queue hands what arrived
  // while the recording starts, ends, catches up or waits; in between the server's thread hands
  // each delivery as it arrives, sparing the queue's wake-up.
  struct Handing {
    std::vector<std::byte> list;  // the block's AudioBufferList
    std::vector<float*> outs;     // the mixer's, one per tap
    float* followed = nullptr;    // the input's, beside taps
    AudioBufferList output{0, {{0, 0, nullptr}}};
    AudioTimeStamp now{}, inputTime{}, outputTime{};
    std::uint64_t position = 0;  // frames handed
  };
  std::mutex handMutex_;
  Handing handing_;  // under handMutex_
  // Set by the recorder's queue while it sleeps through a running recording, under handMutex_.
  std::atomic<bool> serverHands_{false};
  // Cleared for good once a call of the block on the server's thread was slow (the writer's
  // ring was full): it must not hold the server's thread again.
  std::atomic<bool> serverMayHand_{true};
  std::atomic<std::int64_t> serverHandedAt_{0};  // steady clock ticks
  PulseConnection& connection_;
  // Server thread, under the main loop's lock.
  std::vector<std::unique_ptr<Monitor>> monitors_;
  bool limitReported_ = false;
  std::set<std::uint32_t> refused_;  // sink inputs refused at the stream limit
  // Main thread.
  std::future<void> cycling_;
  // Set by the main thread, then read by the recorder's queue.
  std::chrono::steady_clock::time_point startAt_;
  std::atomic<bool> stopRequested_{false};
  // Set by the recorder's queue once the recording runs; monitors then ask for larger fragments,
  // until its end nears.
  std::atomic<bool> steady_{false}, ending_{false};
  std::atomic<std::uint64_t> endFrame_{UINT64_MAX};
  bool wantsSteady() const noexcept {
    return steady_.load(std::memory_order_relaxed) && !ending_.load(std::memory_order_relaxed);
  }
  // When the server's thread last handed over audio (steady clock ticks).
  std::atomic<std::int64_t> lastDelivery_{0};
  // The recorder's queue asks the server's thread to wake it when data arrives.
  std::atomic<bool> wantWake_{false};
  std::mutex wakeMutex_;
  std::condition_variable wakeUp_;
  bool woken_ = false;  // under wakeMutex_
};

void notifyLost(const PlatformListener& listener);

}  // namespace pulse
}  // namespace pt
