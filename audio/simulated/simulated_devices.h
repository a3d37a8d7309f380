// The state of the simulated platform's devices, shared by the files that model them: taps,
// aggregate devices, IO registrations, listeners, the virtual clock (simulated_devices.cpp) and
// the audio file the IO block writes to (simulated_files.cpp). Private to audio/simulated.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "audio/simulated/simulated_platform.h"

namespace pt {
struct PlatformIOProc;
}

namespace pt::sim {

inline std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

inline std::string idText(AudioObjectID id) { return std::to_string(std::uint32_t(id)); }

inline constexpr AudioStreamBasicDescription kDefaultTapFormat{
    48000,
    kAudioFormatLinearPCM,
    kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
    8,
    1,
    8,
    2,
    32,
    0};

// A serial queue with a thread of its own. runSync hands one call over and waits for it, without
// allocating, so the simulated IO path costs what the recorder's own code costs.
class SimQueue final : public DispatchQueue {
 public:
  explicit SimQueue(std::string label) : label_(std::move(label)), worker_([this] { loop(); }) {}
  ~SimQueue() override {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (worker_.get_id() == std::this_thread::get_id())
      worker_.detach();
    else
      worker_.join();
  }
  const std::string& label() const override { return label_; }
  // Whether the calling thread is a queue's: the thread the IO block and listeners run on.
  static bool onQueueThread() noexcept { return onQueue(); }

  void runSync(void (*call)(void*), void* context) {
    std::unique_lock lock(mutex_);
    call_ = call;
    context_ = context;
    done_ = false;
    wake_.notify_all();
    wake_.wait(lock, [&] { return done_; });
  }

 private:
  static bool& onQueue() noexcept {
    static thread_local bool on = false;
    return on;
  }

  void loop() {
    onQueue() = true;
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || call_ != nullptr; });
      if (call_ != nullptr) {
        auto call = std::exchange(call_, nullptr);
        lock.unlock();
        call(context_);
        lock.lock();
        done_ = true;
        wake_.notify_all();
      } else if (stop_) {
        return;
      }
    }
  }

  const std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  void (*call_)(void*) = nullptr;
  void* context_ = nullptr;
  bool done_ = false;
  bool stop_ = false;
  std::thread worker_;  // last: starts once the rest is ready
};

}  // namespace pt::sim

namespace pt {
struct PlatformIOProc {
  int number;
  AudioObjectID device;
  std::shared_ptr<sim::SimQueue> queue;
  AudioDeviceIOBlock block;
  bool usable;  // false for a handle written by a failing registration
  std::vector<std::uint32_t> inputStreamIsOn;  // empty: every stream on
};
struct PlatformListener {
  int number;
  AudioObjectID object;
  AudioObjectPropertySelector selector;
  std::shared_ptr<sim::SimQueue> queue;
  AudioObjectPropertyListenerBlock block;
};
}  // namespace pt

namespace pt::sim {

struct SimulatedPlatform::Devices {
  struct Tap {
    CATapDescription description;
    AudioStreamBasicDescription format;
  };

  // Set up by the test.
  AudioStreamBasicDescription tapFormat = kDefaultTapFormat;
  OSStatus tapFormatFailure = noErr;
  std::optional<double> deviceRate;
  OSStatus deviceRateFailure = noErr;
  std::map<std::uint32_t, double> tones;
  std::uint32_t ioFrames = 512;
  bool captureUnusable = false;
  ProcessingFormat processingFormat;
  std::set<std::int64_t> writeFailures;
  std::map<std::int64_t, double> writeStalls;  // cycle -> seconds
  std::map<std::int64_t, double> ioOverloads;  // cycle -> seconds the block runs
  std::set<std::int64_t> unreadableCycles;
  std::optional<std::uint32_t> unreadableTap;  // the one tap an unreadable cycle has no buffers of
  std::optional<double> cyclesStopAt;
  std::optional<std::pair<double, double>> recorderStop;  // at, for how long
  std::optional<double> blockedStart;                     // infinity: until a stop
  bool startOutlivesStop = false;                         // and not even then
  std::int64_t droppedFrames = 0;
  bool writeHandlesOnFailure = false;
  std::optional<double> interruptAt;
  std::optional<double> deviceLostAt;
  AudioObjectID outputDevice = AudioObjectID::unknown;
  std::string outputUID;
  std::optional<std::pair<std::uint32_t, double>> subDeviceInput;        // channels, tone
  std::map<std::string, std::pair<std::uint32_t, double>> inputDevices;  // by UID
  std::vector<AudioObjectID> deviceList;                                 // 'dev#'
  bool microphoneAllowed = true;
  double tapStreamsAfter = 0;        // seconds from an aggregate's creation to its tap's streams
  double subDeviceStreamsAfter = 0;  // and to the sub-device's
  bool tapFirst = false;             // the tap's streams ahead of the sub-device's
  std::optional<std::uint32_t> tapStreamChannels;       // stated per tap stream instead of 'tfmt''s
  std::optional<std::pair<double, double>> rateChange;  // seconds after the start, new rate
  std::uint32_t rateChangeRepeats = 0;                  // its notifications still queued
  bool captureAllowed = true;

  // Objects made.
  std::map<std::uint32_t, Tap> taps;
  std::map<std::uint32_t, Value> aggregates;
  std::map<std::uint32_t, double> aggregatesMadeAt;
  std::multimap<double, AudioObjectID> streamChanges;  // when an aggregate's input streams change
  std::vector<Value> aggregateDescriptions;
  std::vector<CATapDescription> tapDescriptions;
  std::map<const PlatformIOProc*, std::unique_ptr<PlatformIOProc>> procs;
  std::uint32_t nextTap = 100;
  std::uint32_t nextAggregate = 200;
  int nextProc = 1;
  std::map<const PlatformListener*, std::unique_ptr<PlatformListener>> listeners;
  int nextListener = 1;
  // Notifications queued for a property's listeners, and the removed listeners they are still
  // due to; the platform's end runs them.
  std::map<std::pair<std::uint32_t, AudioObjectPropertySelector>, std::uint32_t> queued;
  std::vector<std::pair<std::unique_ptr<PlatformListener>, std::uint32_t>> lateCalls;

  // The writer threads of the recordings (their semaphores) and a stalled write, kept in step
  // with the virtual clock: after each cycle the clock waits until every writer signalled in
  // this run has taken all it was given, unless a write is stalled; a stall ends when the clock
  // passes its end.
  std::mutex writerMutex;
  std::condition_variable writerChanged;
  struct Writer {
    int count = 0;
    int waiting = 0;
    int run = 0;  // the start in which it was last signalled
  };
  std::map<const void*, Writer> writers;
  int runNumber = 0;
  double writerClock = 0;
  std::optional<double> stallUntil;  // a write is stalled until then
  // No device runs: nothing holds the clock back, and a stall passes.
  bool clockRunsOn = false;
  bool startReleased = false;  // a stop ended a blocked start

  bool writersIdle() const {
    if (stallUntil) return true;
    for (const auto& [key, w] : writers)
      if (w.run == runNumber && (w.count > 0 || w.waiting == 0)) return false;
    return true;
  }
  // Main thread, before a cycle: the clock moves on, and a stall that ends lets the writer catch
  // up first.
  void advanceWriterClock(double now) {
    std::unique_lock lock(writerMutex);
    writerClock = now;
    writerChanged.notify_all();
    if (stallUntil && *stallUntil <= now)
      writerChanged.wait(lock, [&] { return !stallUntil && writersIdle(); });
  }
  // Main thread, after a cycle.
  void awaitWriters() {
    std::unique_lock lock(writerMutex);
    writerChanged.wait(lock, [&] { return writersIdle(); });
  }
  // Writer thread, in a write that stalls.
  void stallWriter(double seconds) {
    std::unique_lock lock(writerMutex);
    stallUntil = writerClock + seconds;
    writerChanged.notify_all();
    writerChanged.wait(lock, [&] { return writerClock >= *stallUntil || clockRunsOn; });
    stallUntil.reset();
    writerChanged.notify_all();
  }
  // Main thread: once the device stops, the writer's clock is its own.
  void releaseWriterClock(bool released) {
    std::lock_guard lock(writerMutex);
    clockRunsOn = released;
    writerChanged.notify_all();
  }

  // The clock and the running device.
  double now = 0;
  std::int64_t deliveredCycles = 0;
  AudioObjectID runningDevice = AudioObjectID::unknown;
  PlatformIOProc* running = nullptr;  // null: started without a block, or stopped
  double startTime = 0;
  double rate = 0;
  std::int64_t runCycles = 0;
  std::atomic<std::int64_t> cycle{0};  // read by the file on the IO thread
  // Each tap of the running device: what it hears, and where its buffers sit in the input.
  struct RunningTap {
    AudioStreamBasicDescription format{};
    std::vector<double> tones;
    std::uint32_t firstBuffer = 0, buffers = 0;
    std::vector<float> samples;
  };
  std::vector<RunningTap> runningTaps;
  // The sub-devices' input streams of the running device: channels and tone of each, and where
  // each one's samples start.
  std::vector<std::pair<std::uint32_t, double>> subDeviceStreams;
  std::vector<std::size_t> subDeviceOffsets;
  std::vector<float> subDeviceSamples;
  bool subDeviceInputDelivered = false;
  std::vector<std::byte> listStorage;
  std::vector<float> outputSamples;
  AudioBufferList output{};
  AudioTimeStamp nowStamp{};
  AudioTimeStamp inputStamp{};
  AudioTimeStamp outputStamp{};

  AudioBufferList* input() { return reinterpret_cast<AudioBufferList*>(listStorage.data()); }

  // The taps an aggregate's tap list names, in its order; an unknown UUID (or a list without
  // any) names a tap that hears nothing, in the platform's tap format.
  std::vector<const Tap*> tapsOf(const Value& aggregate) const {
    std::vector<const Tap*> named;
    if (const Value* list = aggregate.find("taps"); list && list->isList())
      for (const Value& entry : list->list()) {
        const Tap* tap = nullptr;
        if (const Value* uid = entry.find("uid"); uid && uid->isText())
          for (const auto& [id, candidate] : taps)
            if (candidate.description.UUID == uid->text()) tap = &candidate;
        named.push_back(tap);
      }
    if (named.empty()) named.push_back(nullptr);
    return named;
  }

  // The input streams of the sub-devices the aggregate lists, in its order: the output device's
  // own and input devices'.
  std::vector<std::pair<std::uint32_t, double>> subDeviceStreamsOf(AudioObjectID id,
                                                                   const Value& aggregate) const {
    std::vector<std::pair<std::uint32_t, double>> streams;
    if (now < aggregatesMadeAt.at(id) + subDeviceStreamsAfter) return streams;
    if (const Value* list = aggregate.find("subdevices"); list && list->isList())
      for (const Value& entry : list->list())
        if (const Value* uid = entry.find("uid"); uid && uid->isText()) {
          if (uid->text() == outputUID && subDeviceInput) streams.push_back(*subDeviceInput);
          if (auto input = inputDevices.find(uid->text()); input != inputDevices.end())
            streams.push_back(input->second);
        }
    return streams;
  }

  // One stream per buffer the tap's format has.
  static std::uint32_t streamsOf(const AudioStreamBasicDescription& format) {
    const bool interleaved = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    return interleaved ? 1 : std::max<std::uint32_t>(1, format.mChannelsPerFrame);
  }

  // The channels of each input stream of an aggregate ('slay'), as they stand now.
  std::vector<std::uint32_t> inputChannelsOf(AudioObjectID id, const Value& aggregate) const {
    std::vector<std::uint32_t> channels;
    for (const auto& [streamChannels, tone] : subDeviceStreamsOf(id, aggregate))
      channels.push_back(streamChannels);
    if (now < aggregatesMadeAt.at(id) + tapStreamsAfter) return channels;
    std::vector<std::uint32_t> tapped;
    for (const Tap* tap : tapsOf(aggregate)) {
      const AudioStreamBasicDescription& format = tap ? tap->format : tapFormat;
      const std::uint32_t streams = streamsOf(format);
      tapped.insert(tapped.end(), streams,
                    tapStreamChannels.value_or(streams == 1 ? format.mChannelsPerFrame : 1));
    }
    channels.insert(tapFirst ? channels.begin() : channels.end(), tapped.begin(), tapped.end());
    return channels;
  }

  // The running device's input list as the aggregate's streams stand now: the sub-device's and
  // the taps' buffers, in their order.
  void layOutInput(AudioObjectID id, const Value& aggregate);

  // The aggregate whose input streams change next, when that is due by `until`; the clock moves
  // to the change.
  std::optional<AudioObjectID> nextStreamChange(double until) {
    if (streamChanges.empty() || streamChanges.begin()->first > until) return std::nullopt;
    now = std::max(now, streamChanges.begin()->first);
    const AudioObjectID changed = streamChanges.begin()->second;
    streamChanges.erase(streamChanges.begin());
    return changed;
  }

  static void callBlock(void* context) {
    auto& d = *static_cast<Devices*>(context);
    d.running->block(&d.nowStamp, d.input(), &d.inputStamp, &d.output, &d.outputStamp);
  }

  // Calls the listeners of the property on their queues, one after the other.
  void notify(AudioObjectID object, AudioObjectPropertySelector selector) {
    for (auto& [handle, listener] : listeners)
      if (listener->object == object && listener->selector == selector)
        listener->queue->runSync(&Devices::callListener, listener.get());
  }

  static void callListener(void* context) {
    auto& listener = *static_cast<PlatformListener*>(context);
    const AudioObjectPropertyAddress address{listener.selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    listener.block(1, &address);
  }
};

}  // namespace pt::sim
