// The seam over the PulseAudio protocol (PulseAudio itself, or PipeWire through pipewire-pulse).
//
// Core Audio's notions map as follows: a process object per distinct client pid; the default
// sink as the default system output device; a tap as a recipe (whose playback streams, at which
// rate); an aggregate device as the set of monitor streams that recipe selects, followed as
// streams come and go, summed by a StreamMixer and handed to the IO block in 10 ms cycles on
// the recorder's serial queue. Every failing server operation answers a fixed status (see
// docs/linux.md), so messages read as they do on macOS.
#include <pulse/pulseaudio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "audio/platform.h"
#include "audio/pulse/stream_mixer.h"
#include "audio/sndfile/sndfile_writer.h"

namespace pt {

struct PlatformString {
  std::string text;
};

namespace {
class PulseQueue;
struct Device;
}  // namespace

struct PlatformListener {
  Device* device;
  std::shared_ptr<PulseQueue> queue;
  AudioObjectPropertyListenerBlock block;
};

namespace {

// Statuses of the server's failures.
constexpr OSStatus kServerUnreachable = kAudioHardwareNotRunningError;       // 'stop'
constexpr OSStatus kServerOperationFailed = kAudioHardwareUnspecifiedError;  // 'what'
constexpr OSStatus kNoDefaultSink = kAudioHardwareBadDeviceError;            // '!dev'

constexpr std::uint32_t kFirstObjectID = 1000;  // never 0 (unknown) or 1 (system)
constexpr std::uint32_t kChannels = 2;
constexpr double kCycleSeconds = 0.010;
constexpr std::size_t kMaxStreams = 8;
// A sink renders, and so monitors, as far ahead as its streams allow: a null or hardware sink
// whose players asked for no particular latency hands over up to 2 s at once, until it notices
// the monitors' 10 ms request at its next wake-up. Each stream's ring holds such a burst, so the
// file is late by it rather than missing it; a stream lagging further (a clock running fast)
// drops its oldest audio so that the lag stays bounded.
constexpr double kRingSeconds = 2.5;
constexpr double kMaxLagSeconds = 2.2;
constexpr std::size_t kPrimeCycles = 3;

// What one client of the server says about itself.
struct Client {
  std::int32_t pid = 0;  // 0: the client carries no process id
  std::string name;
  std::string bundleID;
};

struct SinkInput {
  std::uint32_t index = 0;
  std::int32_t pid = 0;
  bool corked = false;
};

std::int32_t pidOf(const pa_proplist* properties) {
  const char* text = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
  if (text == nullptr) return 0;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value <= 0 || value > INT32_MAX) return 0;
  return std::int32_t(value);
}

std::string bundleIDOf(const pa_proplist* properties) {
  for (const char* key : {PA_PROP_APPLICATION_ID, "pipewire.access.portal.app_id",
                          PA_PROP_APPLICATION_PROCESS_BINARY})
    if (const char* text = pa_proplist_gets(properties, key)) return text;
  return {};
}

std::string textOf(const pa_proplist* properties, const char* key) {
  const char* text = pa_proplist_gets(properties, key);
  return text ? text : "";
}

template <class T>
OSStatus writeValue(const T& value, std::uint32_t& ioDataSize, void* outData) {
  if (ioDataSize < sizeof(T)) return kAudioHardwareBadPropertySizeError;
  std::memcpy(outData, &value, sizeof(T));
  ioDataSize = sizeof(T);
  return noErr;
}

// A serial queue: one thread running posted jobs in order.
class PulseQueue final : public DispatchQueue {
 public:
  explicit PulseQueue(std::string label) : label_(std::move(label)), worker_([this] { work(); }) {}
  ~PulseQueue() override {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    wake_.notify_one();
    worker_.join();
  }
  const std::string& label() const override { return label_; }

  void post(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

 private:
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }

  const std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool closing_ = false;
  std::thread worker_;  // last: starts once the rest exists
};

struct Tap {
  bool global = false;
  std::vector<std::int32_t> pids;  // tapped, or excluded from the global mix
  std::string uuid;
  std::uint32_t rate = 0;
};

// One monitored playback stream; lives on the server's thread.
struct Monitor {
  Device* device = nullptr;
  pa_stream* stream = nullptr;
  std::uint32_t sinkInput = PA_INVALID_INDEX;
  int slot = -1;
  bool ended = false;
};

struct IORegistration {
  std::shared_ptr<PulseQueue> queue;
  AudioDeviceIOBlock block;
};

struct Device {
  Device(AudioObjectID id, Tap tap)
      : id(id),
        tap(std::move(tap)),
        cycleFrames(
            std::max<std::uint32_t>(1, std::uint32_t(this->tap.rate * kCycleSeconds + 0.5))),
        mixer(kChannels, kMaxStreams, std::size_t(this->tap.rate * kRingSeconds),
              cycleFrames * kPrimeCycles, std::size_t(this->tap.rate * kMaxLagSeconds)),
        cycle(std::size_t(cycleFrames) * kChannels) {}

  bool follows(std::int32_t pid) const {
    const bool listed = std::find(tap.pids.begin(), tap.pids.end(), pid) != tap.pids.end();
    return tap.global ? !listed : (pid > 0 && listed);
  }

  const AudioObjectID id;
  const Tap tap;
  const std::uint32_t cycleFrames;
  StreamMixer mixer;
  std::vector<float> cycle;
  // Server thread, under the main loop's lock.
  std::vector<std::unique_ptr<Monitor>> monitors;
  // Main thread.
  std::unique_ptr<IORegistration> registration;
  std::future<void> cycling;
  std::atomic<bool> stopRequested{false};
  // Cleared on the server's thread when the connection is lost.
  std::atomic<bool> alive{true};
  // Under the main loop's lock.
  std::vector<std::unique_ptr<PlatformListener>> listeners;
};

class PulsePlatform final : public Platform {
 public:
  PulsePlatform() = default;
  ~PulsePlatform() override { disconnect(); }

  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t qualifierSize, const void* qualifierData,
                               std::uint32_t& outDataSize) override {
    if (object == AudioObjectID::system &&
        address.mSelector == kAudioHardwarePropertyProcessObjectList) {
      if (OSStatus status = takeSnapshot(); status != noErr) return status;
      outDataSize = std::uint32_t(processes_.size() * sizeof(AudioObjectID));
      return noErr;
    }
    std::array<std::byte, 64> probe{};
    std::uint32_t size = probe.size();
    // Fixed-size values: the size of what a read would answer.
    OSStatus status =
        getPropertyData(object, address, qualifierSize, qualifierData, size, probe.data());
    if (status == noErr) outDataSize = size;
    // The read made a string the caller of a size query never sees.
    if (status == noErr && (address.mSelector == kAudioDevicePropertyDeviceUID ||
                            address.mSelector == kAudioProcessPropertyBundleID)) {
      CFStringRef string;
      std::memcpy(&string, probe.data(), sizeof string);
      releaseString(string);
    }
    return status;
  }

  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifierData,
                           std::uint32_t& ioDataSize, void* outData) override {
    if (object == AudioObjectID::system &&
        address.mSelector == kAudioHardwarePropertyTranslatePIDToProcessObject) {
      if (qualifierSize != sizeof(std::int32_t) || qualifierData == nullptr)
        return kAudioHardwareBadPropertySizeError;
      std::int32_t pid;
      std::memcpy(&pid, qualifierData, sizeof pid);
      if (!snapshotTaken_)
        if (OSStatus status = takeSnapshot(); status != noErr) return status;
      AudioObjectID found = AudioObjectID::unknown;
      for (const auto& [id, process] : processes_)
        if (process.pid == pid) found = id;
      return writeValue(found, ioDataSize, outData);
    }
    return readProperty(object, address, nullptr, ioDataSize, outData);
  }

  CFStringRef makeString(std::string_view utf8) override {
    return new PlatformString{std::string(utf8)};
  }
  std::string stringText(CFStringRef string) override { return string ? string->text : ""; }
  void releaseString(CFStringRef string) noexcept override { delete string; }

  OSStatus createProcessTap(const CATapDescription& description, AudioObjectID& outTapID) override {
    if (OSStatus status = connect(); status != noErr) return status;
    Tap tap;
    tap.global = description.kind == CATapDescription::Kind::stereoGlobalTapButExcludeProcesses;
    tap.uuid = description.UUID;
    for (AudioObjectID process : description.processes) {
      auto it = processes_.find(process);
      if (it != processes_.end()) {
        tap.pids.push_back(it->second.pid);
      } else if (!tap.global) {
        return kAudioHardwareBadObjectError;
      }
    }
    std::string sink;
    if (OSStatus status = defaultSink(sink, tap.rate); status != noErr) return status;
    outTapID = newObjectID();
    taps_.emplace(outTapID, std::move(tap));
    return noErr;
  }

  OSStatus destroyProcessTap(AudioObjectID tapID) noexcept override {
    return taps_.erase(tapID) ? noErr : kAudioHardwareBadObjectError;
  }

  OSStatus createAggregateDevice(const Value& description, AudioObjectID& ioDeviceID) override {
    if (OSStatus status = connect(); status != noErr) return status;
    const Value* taps = description.find("taps");
    if (!taps || !taps->isList() || taps->list().size() != 1) return kAudio_ParamError;
    const Value* uuid = taps->list().front().find("uid");
    if (!uuid || !uuid->isText()) return kAudio_ParamError;
    auto tap = std::find_if(taps_.begin(), taps_.end(),
                            [&](const auto& entry) { return entry.second.uuid == uuid->text(); });
    if (tap == taps_.end()) return kAudioHardwareBadObjectError;

    const AudioObjectID id = newObjectID();
    std::unique_ptr<Device> device;
    try {
      device = std::make_unique<Device>(id, tap->second);
    } catch (const std::exception&) {  // a rate the mixer cannot buffer
      return kAudioHardwareIllegalOperationError;
    }
    Device* raw = device.get();
    pa_threaded_mainloop_lock(loop_);
    devices_.emplace(id, std::move(device));
    // Streams already playing; later ones arrive through the subscription.
    std::vector<SinkInput> inputs;
    const bool listed = listSinkInputs(inputs);
    if (listed)
      for (const SinkInput& input : inputs)
        if (raw->follows(input.pid)) monitor(*raw, input.index);
    pa_threaded_mainloop_unlock(loop_);
    if (!listed) {
      destroyAggregateDevice(id);
      return kServerOperationFailed;
    }
    ioDeviceID = id;
    return noErr;
  }

  OSStatus destroyAggregateDevice(AudioObjectID deviceID) noexcept override {
    auto it = devices_.find(deviceID);
    if (it == devices_.end()) return kAudioHardwareBadObjectError;
    Device& device = *it->second;
    stopCycling(device);
    device.registration.reset();
    pa_threaded_mainloop_lock(loop_);
    for (auto& monitor : device.monitors) release(*monitor);
    devices_.erase(it);
    pa_threaded_mainloop_unlock(loop_);
    return noErr;
  }

  std::shared_ptr<DispatchQueue> makeSerialQueue(const std::string& label) override {
    return std::make_shared<PulseQueue>(label);
  }

  OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& outProcID, AudioObjectID deviceID,
                                   std::shared_ptr<DispatchQueue> queue,
                                   AudioDeviceIOBlock block) override {
    Device* device = findDevice(deviceID);
    if (!device) return kAudioHardwareBadDeviceError;
    auto serial = std::dynamic_pointer_cast<PulseQueue>(queue);
    if (!serial || !block) return kAudio_ParamError;
    if (device->registration) return kAudioHardwareIllegalOperationError;
    device->registration.reset(new IORegistration{std::move(serial), std::move(block)});
    outProcID = reinterpret_cast<AudioDeviceIOProcID>(device->registration.get());
    return noErr;
  }

  OSStatus deviceStart(AudioObjectID deviceID, AudioDeviceIOProcID procID) override {
    Device* device = findDevice(deviceID);
    if (!device) return kAudioHardwareBadDeviceError;
    if (!device->registration || procID != registrationID(*device))
      return kAudioHardwareIllegalOperationError;
    if (device->cycling.valid()) return noErr;  // already running
    device->stopRequested.store(false);
    auto done = std::make_shared<std::promise<void>>();
    device->cycling = done->get_future();
    device->registration->queue->post([device, done] {
      runCycles(*device);
      done->set_value();
    });
    return noErr;
  }

  OSStatus deviceStop(AudioObjectID deviceID, AudioDeviceIOProcID procID) noexcept override {
    Device* device = findDevice(deviceID);
    if (!device) return kAudioHardwareBadDeviceError;
    if (procID != nullptr && procID != registrationID(*device))
      return kAudioHardwareIllegalOperationError;
    stopCycling(*device);
    return noErr;
  }

  OSStatus destroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID procID) noexcept override {
    Device* device = findDevice(deviceID);
    if (!device) return kAudioHardwareBadDeviceError;
    if (!device->registration || procID != registrationID(*device))
      return kAudioHardwareIllegalOperationError;
    stopCycling(*device);
    device->registration.reset();
    return noErr;
  }

  OSStatus addPropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    std::shared_ptr<DispatchQueue> queue,
                                    AudioObjectPropertyListenerBlock block,
                                    AudioObjectPropertyListenerID& outListener) override {
    Device* device = findDevice(object);
    if (!device) return kAudioHardwareBadObjectError;
    if (address.mSelector != kAudioDevicePropertyDeviceIsAlive)
      return kAudioHardwareUnknownPropertyError;
    auto serial = std::dynamic_pointer_cast<PulseQueue>(queue);
    if (!serial || !block) return kAudio_ParamError;
    pa_threaded_mainloop_lock(loop_);
    device->listeners.push_back(
        std::make_unique<PlatformListener>(PlatformListener{device, serial, std::move(block)}));
    outListener = device->listeners.back().get();
    const bool lostAlready = !device->alive.load();
    pa_threaded_mainloop_unlock(loop_);
    if (lostAlready) notifyLost(*device->listeners.back());
    return noErr;
  }

  OSStatus removePropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress&,
                                       AudioObjectPropertyListenerID listener) noexcept override {
    Device* device = findDevice(object);
    if (!device) return kAudioHardwareBadObjectError;
    pa_threaded_mainloop_lock(loop_);
    auto& listeners = device->listeners;
    auto it = std::find_if(listeners.begin(), listeners.end(),
                           [&](const auto& entry) { return entry.get() == listener; });
    const bool found = it != listeners.end();
    if (found) listeners.erase(it);
    pa_threaded_mainloop_unlock(loop_);
    return found ? noErr : kAudioHardwareBadObjectError;
  }

  std::shared_ptr<const AudioFormat> makeAudioFormat(
      const AudioStreamBasicDescription& description) override {
    return makeLinearPCMFormat(description);
  }

  std::shared_ptr<AudioFile> openAudioFileForWriting(const std::string& path,
                                                     const AudioFileSettings& settings,
                                                     AVAudioCommonFormat,
                                                     bool interleaved) override {
    return openSndfileForWriting(path, settings, interleaved);
  }

  std::optional<PCMBuffer> makePCMBufferNoCopy(
      const AudioFormat& format, const AudioBufferList* bufferList) noexcept override {
    return wrapBufferListNoCopy(format, bufferList);
  }

  std::vector<RunningApplication> runningApplications() override {
    if (!snapshotTaken_ && takeSnapshot() != noErr) return {};
    std::vector<RunningApplication> applications;
    for (const Client& client : clients_)
      applications.push_back({client.pid, client.name, client.bundleID});
    return applications;
  }

  int procName(std::int32_t pid, char* buffer, std::uint32_t size) override {
    if (size == 0 || pid <= 0) return 0;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm", std::ios::binary);
    std::string name;
    if (!comm || !std::getline(comm, name) || name.empty()) return 0;
    const std::size_t n = std::min<std::size_t>(size - 1, name.size());
    std::memcpy(buffer, name.data(), n);
    buffer[n] = '\0';
    return int(n);
  }

  std::int32_t processIdentifier() override { return std::int32_t(::getpid()); }

  std::string randomUUID() override {
    std::random_device random;
    std::array<std::uint8_t, 16> bytes;
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
      const std::uint32_t word = random();
      std::memcpy(&bytes[i], &word, 4);
    }
    bytes[6] = std::uint8_t((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = std::uint8_t((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
  }

  double systemUptime() override {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  void sleepForTimeInterval(double seconds, const std::atomic<bool>& interrupted) override {
    using Clock = std::chrono::steady_clock;
    const bool endless = !(seconds < 1e9);
    const Clock::time_point end =
        endless ? Clock::time_point::max()
                : Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(std::max(0.0, seconds)));
    // Slices short enough that an interrupt ends the wait promptly.
    while (!interrupted.load() && Clock::now() < end) {
      const Clock::time_point slice = Clock::now() + std::chrono::milliseconds(50);
      std::this_thread::sleep_until(std::min(slice, end));
    }
  }

  std::string silentCaptureReason() override { return "声音服务器送来的只有静音。"; }

 private:
  struct ProcessObject {
    std::int32_t pid = 0;
    std::string bundleID;
    bool running = false;
  };

  // --- Connection

  OSStatus connect() {
    if (context_ && pa_context_get_state(context_) == PA_CONTEXT_READY) return noErr;
    if (context_) return kServerUnreachable;  // lost: a run does not reconnect
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) return kServerUnreachable;
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "process-tap");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "brindlex.process-tap");
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "process-tap",
                                            properties);
    pa_proplist_free(properties);
    if (!context_) return kServerUnreachable;
    pa_context_set_state_callback(context_, &PulsePlatform::onContextState, this);
    pa_context_set_subscribe_callback(context_, &PulsePlatform::onServerEvent, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
      return kServerUnreachable;
    pa_threaded_mainloop_lock(loop_);
    if (pa_threaded_mainloop_start(loop_) < 0) {
      pa_threaded_mainloop_unlock(loop_);
      return kServerUnreachable;
    }
    pa_context_state_t state;
    while ((state = pa_context_get_state(context_)) != PA_CONTEXT_READY &&
           PA_CONTEXT_IS_GOOD(state))
      pa_threaded_mainloop_wait(loop_);
    bool ready = state == PA_CONTEXT_READY;
    if (ready) {
      pa_operation* op = pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SINK_INPUT,
                                              &PulsePlatform::onSuccess, this);
      ready = wait(op);
    }
    pa_threaded_mainloop_unlock(loop_);
    return ready ? noErr : kServerUnreachable;
  }

  void disconnect() noexcept {
    std::vector<AudioObjectID> devices;
    for (const auto& entry : devices_) devices.push_back(entry.first);
    for (AudioObjectID device : devices) destroyAggregateDevice(device);
    if (loop_) pa_threaded_mainloop_stop(loop_);
    if (context_) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_set_subscribe_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
      context_ = nullptr;
    }
    if (loop_) pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
  }

  // With the loop locked: runs `op` to its end; false when it could not run or the server went.
  bool wait(pa_operation* op) {
    if (!op) return false;
    pa_operation_set_state_callback(
        op, [](pa_operation*, void* self) { static_cast<PulsePlatform*>(self)->signal(); }, this);
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop_);
    const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done && !failed_;
  }

  void signal() { pa_threaded_mainloop_signal(loop_, 0); }

  static void onContextState(pa_context* context, void* data) {
    auto* self = static_cast<PulsePlatform*>(data);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
      self->failed_ = true;
      // Every device ends with the connection: its cycles stop and its listeners hear of it.
      for (auto& [id, device] : self->devices_) {
        if (!device->alive.exchange(false)) continue;
        for (auto& listener : device->listeners) notifyLost(*listener);
      }
    }
    self->signal();
  }

  static void notifyLost(const PlatformListener& listener) {
    listener.queue->post([block = listener.block] {
      const AudioObjectPropertyAddress address{kAudioDevicePropertyDeviceIsAlive,
                                               kAudioObjectPropertyScopeGlobal,
                                               kAudioObjectPropertyElementMain};
      block(1, &address);
    });
  }

  static void onSuccess(pa_context*, int success, void* self) {
    if (!success) static_cast<PulsePlatform*>(self)->failed_ = true;
    static_cast<PulsePlatform*>(self)->signal();
  }

  // --- What the server holds

  // One consistent view of clients and streams, which the property reads that follow answer.
  OSStatus takeSnapshot() {
    if (OSStatus status = connect(); status != noErr) return status;
    std::vector<Client> clients;
    std::vector<SinkInput> inputs;
    pa_threaded_mainloop_lock(loop_);
    const bool ok = listClients(clients) && listSinkInputs(inputs);
    pa_threaded_mainloop_unlock(loop_);
    if (!ok) return failed_ ? kServerUnreachable : kServerOperationFailed;

    clients_ = std::move(clients);
    for (auto& [id, process] : processes_) process.running = false;
    std::vector<AudioObjectID> order;
    for (const Client& client : clients_) {
      if (client.pid == 0) continue;
      const AudioObjectID id = processObjectFor(client.pid);
      if (std::find(order.begin(), order.end(), id) != order.end()) continue;
      order.push_back(id);
      processes_[id].bundleID = client.bundleID;
    }
    for (const SinkInput& input : inputs)
      if (!input.corked && input.pid != 0) processes_[processObjectFor(input.pid)].running = true;
    // Processes that left the server keep their ID for the run but leave the list.
    processOrder_ = std::move(order);
    snapshotTaken_ = true;
    return noErr;
  }

  AudioObjectID processObjectFor(std::int32_t pid) {
    for (auto& [id, process] : processes_)
      if (process.pid == pid) return id;
    const AudioObjectID id = newObjectID();
    processes_[id].pid = pid;
    return id;
  }

  template <class T>
  struct ListCall {
    PulsePlatform* self;
    std::vector<T>* items;
  };

  // The callback of a list query: each record converted, then a signal at the end.
  template <class Info, class T, T (*convert)(const Info&)>
  static void collect(pa_context*, const Info* info, int eol, void* data) {
    auto* call = static_cast<ListCall<T>*>(data);
    if (eol == 0 && info) call->items->push_back(convert(*info));
    if (eol != 0) call->self->signal();
  }

  // With the loop locked.
  bool listClients(std::vector<Client>& clients) {
    ListCall<Client> call{this, &clients};
    return wait(pa_context_get_client_info_list(context_,
                                                &collect<pa_client_info, Client, clientOf>, &call));
  }

  // With the loop locked.
  bool listSinkInputs(std::vector<SinkInput>& inputs) {
    ListCall<SinkInput> call{this, &inputs};
    return wait(pa_context_get_sink_input_info_list(
        context_, &collect<pa_sink_input_info, SinkInput, sinkInputOf>, &call));
  }

  static Client clientOf(const pa_client_info& info) {
    return {pidOf(info.proplist), textOf(info.proplist, PA_PROP_APPLICATION_NAME),
            bundleIDOf(info.proplist)};
  }

  static SinkInput sinkInputOf(const pa_sink_input_info& info) {
    return {info.index, pidOf(info.proplist), info.corked != 0};
  }

  OSStatus defaultSink(std::string& name, std::uint32_t& rate) {
    if (OSStatus status = connect(); status != noErr) return status;
    struct Call {
      PulsePlatform* self;
      std::string name;
      std::uint32_t rate = 0;
    } call{this, {}, 0};
    pa_threaded_mainloop_lock(loop_);
    bool ok = wait(pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* data) {
          auto* call = static_cast<Call*>(data);
          if (info && info->default_sink_name) call->name = info->default_sink_name;
          call->self->signal();
        },
        &call));
    if (ok && !call.name.empty())
      ok = wait(pa_context_get_sink_info_by_name(
          context_, call.name.c_str(),
          [](pa_context*, const pa_sink_info* info, int eol, void* data) {
            auto* call = static_cast<Call*>(data);
            if (eol == 0 && info) call->rate = info->sample_spec.rate;
            if (eol != 0) call->self->signal();
          },
          &call));
    pa_threaded_mainloop_unlock(loop_);
    if (!ok) return failed_ ? kServerUnreachable : kServerOperationFailed;
    if (call.name.empty() || call.rate == 0) return kNoDefaultSink;
    name = call.name;
    rate = call.rate;
    return noErr;
  }

  // --- Properties

  OSStatus readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                        const void*, std::uint32_t& ioDataSize, void* outData) {
    const AudioObjectPropertySelector selector = address.mSelector;
    if (object == AudioObjectID::system) {
      if (selector == kAudioHardwarePropertyProcessObjectList) {
        if (!snapshotTaken_)
          if (OSStatus status = takeSnapshot(); status != noErr) return status;
        const std::size_t fit =
            std::min<std::size_t>(ioDataSize / sizeof(AudioObjectID), processOrder_.size());
        std::memcpy(outData, processOrder_.data(), fit * sizeof(AudioObjectID));
        ioDataSize = std::uint32_t(fit * sizeof(AudioObjectID));
        return noErr;
      }
      if (selector == kAudioHardwarePropertyDefaultSystemOutputDevice) {
        std::string name;
        std::uint32_t rate = 0;
        if (OSStatus status = defaultSink(name, rate); status != noErr) return status;
        return writeValue(sinkObjectFor(name), ioDataSize, outData);
      }
      return kAudioHardwareUnknownPropertyError;
    }
    if (auto process = processes_.find(object); process != processes_.end()) {
      if (selector == kAudioProcessPropertyPID)
        return writeValue(process->second.pid, ioDataSize, outData);
      if (selector == kAudioProcessPropertyIsRunning)
        return writeValue(std::uint32_t(process->second.running), ioDataSize, outData);
      if (selector == kAudioProcessPropertyBundleID)
        return writeValue(makeString(process->second.bundleID), ioDataSize, outData);
      return kAudioHardwareUnknownPropertyError;
    }
    if (auto sink = sinks_.find(object); sink != sinks_.end()) {
      if (selector == kAudioDevicePropertyDeviceUID)
        return writeValue(makeString(sink->second), ioDataSize, outData);
      return kAudioHardwareUnknownPropertyError;
    }
    if (auto tap = taps_.find(object); tap != taps_.end()) {
      if (selector != kAudioTapPropertyFormat) return kAudioHardwareUnknownPropertyError;
      const std::uint32_t bytesPerFrame = kChannels * sizeof(float);
      const AudioStreamBasicDescription format{double(tap->second.rate),
                                               kAudioFormatLinearPCM,
                                               kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                                               bytesPerFrame,
                                               1,
                                               bytesPerFrame,
                                               kChannels,
                                               32,
                                               0};
      return writeValue(format, ioDataSize, outData);
    }
    if (Device* device = findDevice(object)) {
      if (selector == kAudioDevicePropertyNominalSampleRate)
        return writeValue(double(device->tap.rate), ioDataSize, outData);
      if (selector == kAudioDevicePropertyDeviceIsAlive)
        return writeValue(std::uint32_t(device->alive.load()), ioDataSize, outData);
      return kAudioHardwareUnknownPropertyError;
    }
    return kAudioHardwareBadObjectError;
  }

  AudioObjectID sinkObjectFor(const std::string& name) {
    for (const auto& [id, sink] : sinks_)
      if (sink == name) return id;
    const AudioObjectID id = newObjectID();
    sinks_.emplace(id, name);
    return id;
  }

  AudioObjectID newObjectID() { return AudioObjectID(nextObjectID_++); }

  Device* findDevice(AudioObjectID id) const {
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : it->second.get();
  }

  static AudioDeviceIOProcID registrationID(const Device& device) {
    return reinterpret_cast<AudioDeviceIOProcID>(device.registration.get());
  }

  // --- Monitoring (server thread, or the main thread holding the loop's lock)

  static void onServerEvent(pa_context* context, pa_subscription_event_type_t event,
                            std::uint32_t index, void* data) {
    auto* self = static_cast<PulsePlatform*>(data);
    const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility != PA_SUBSCRIPTION_EVENT_SINK_INPUT || type == PA_SUBSCRIPTION_EVENT_REMOVE ||
        self->devices_.empty())
      return;
    // A new stream, or one that changed (moved to another sink): monitor it where it now plays.
    pa_operation* op = pa_context_get_sink_input_info(
        context, index,
        [](pa_context*, const pa_sink_input_info* info, int eol, void* data) {
          if (eol != 0 || !info) return;
          auto* self = static_cast<PulsePlatform*>(data);
          const SinkInput input = sinkInputOf(*info);
          for (auto& [id, device] : self->devices_)
            if (device->follows(input.pid)) self->monitor(*device, input.index);
        },
        self);
    if (op) pa_operation_unref(op);
  }

  void monitor(Device& device, std::uint32_t sinkInput) {
    for (auto it = device.monitors.begin(); it != device.monitors.end();) {
      if ((*it)->sinkInput == sinkInput && !(*it)->ended) return;  // already monitored
      if ((*it)->ended) {
        release(**it);
        it = device.monitors.erase(it);
      } else {
        ++it;
      }
    }
    const int slot = device.mixer.openStream();
    if (slot < 0) return;
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, device.tap.rate, std::uint8_t(kChannels)};
    pa_stream* stream = pa_stream_new(context_, "process-tap monitor", &format, nullptr);
    if (!stream) {
      device.mixer.closeStream(slot);
      return;
    }
    auto watch = std::make_unique<Monitor>(Monitor{&device, stream, sinkInput, slot, false});
    pa_stream_set_monitor_stream(stream, sinkInput);
    pa_stream_set_read_callback(stream, &PulsePlatform::onReadable, watch.get());
    pa_stream_set_state_callback(stream, &PulsePlatform::onStreamState, watch.get());
    pa_buffer_attr attributes;
    attributes.maxlength = std::uint32_t(-1);
    attributes.tlength = std::uint32_t(-1);
    attributes.prebuf = std::uint32_t(-1);
    attributes.minreq = std::uint32_t(-1);
    attributes.fragsize = std::uint32_t(device.cycleFrames * kChannels * sizeof(float));
    // No device name: the server records from the monitor of the sink the stream plays on.
    if (pa_stream_connect_record(
            stream, nullptr, &attributes,
            pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0) {
      release(*watch);
      return;
    }
    device.monitors.push_back(std::move(watch));
  }

  static void onReadable(pa_stream* stream, std::size_t, void* data) {
    auto* watch = static_cast<Monitor*>(data);
    const void* samples = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &samples, &bytes) == 0 &&
           bytes > 0) {
      if (samples)  // null is a hole in the stream: nothing to hear
        watch->device->mixer.push(watch->slot, static_cast<const float*>(samples),
                                  bytes / (kChannels * sizeof(float)));
      pa_stream_drop(stream);
    }
  }

  static void onStreamState(pa_stream* stream, void* data) {
    auto* watch = static_cast<Monitor*>(data);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && !watch->ended) {
      watch->ended = true;  // the stream it watched is gone; the slot plays out and frees
      watch->device->mixer.closeStream(watch->slot);
    }
  }

  void release(Monitor& watch) noexcept {
    if (!watch.stream) return;
    pa_stream_set_read_callback(watch.stream, nullptr, nullptr);
    pa_stream_set_state_callback(watch.stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(watch.stream))) pa_stream_disconnect(watch.stream);
    pa_stream_unref(watch.stream);
    watch.stream = nullptr;
    if (!watch.ended) watch.device->mixer.closeStream(watch.slot);
    watch.ended = true;
  }

  // --- IO cycles (the recorder's queue)

  static void runCycles(Device& device) {
    using Clock = std::chrono::steady_clock;
    IORegistration& registration = *device.registration;
    const double rate = device.tap.rate;
    AudioBufferList input{
        1, {{kChannels, std::uint32_t(device.cycle.size() * sizeof(float)), device.cycle.data()}}};
    AudioBufferList output{0, {{0, 0, nullptr}}};
    AudioTimeStamp now{}, inputTime{}, outputTime{};
    const Clock::time_point start = Clock::now();
    for (std::uint64_t n = 1;
         !device.stopRequested.load(std::memory_order_acquire) && device.alive.load(); ++n) {
      // Deadlines from the start, so cycles never drift from the clock.
      const Clock::time_point due =
          start + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(double(n * device.cycleFrames) / rate));
      // One wake-up per cycle; a stop waits for at most the rest of one.
      std::this_thread::sleep_until(due);
      if (device.stopRequested.load(std::memory_order_acquire)) return;
      device.mixer.mix(device.cycle.data(), device.cycleFrames);
      inputTime.mSampleTime = double((n - 1) * device.cycleFrames);
      inputTime.mRateScalar = 1.0;
      now = inputTime;
      outputTime = inputTime;
      registration.block(&now, &input, &inputTime, &output, &outputTime);
    }
  }

  static void stopCycling(Device& device) noexcept {
    if (!device.cycling.valid()) return;
    device.stopRequested.store(true, std::memory_order_release);
    device.cycling.wait();
    device.cycling = {};
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  std::atomic<bool> failed_{false};

  std::uint32_t nextObjectID_ = kFirstObjectID;
  bool snapshotTaken_ = false;
  std::vector<Client> clients_;
  std::map<AudioObjectID, ProcessObject> processes_;
  std::vector<AudioObjectID> processOrder_;
  std::map<AudioObjectID, std::string> sinks_;
  std::map<AudioObjectID, Tap> taps_;
  std::map<AudioObjectID, std::unique_ptr<Device>> devices_;
};

}  // namespace

std::unique_ptr<Platform> makeNativePlatform() { return std::make_unique<PulsePlatform>(); }

}  // namespace pt
