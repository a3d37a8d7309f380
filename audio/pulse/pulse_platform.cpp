// The seam over the PulseAudio protocol (PulseAudio itself, or PipeWire through pipewire-pulse).
//
// Core Audio's notions map as follows (docs/linux.md): a process object per distinct client pid
// (pulse_processes); the default sink as the default system output device; a tap and its
// aggregate device as the monitor streams of the processes' playback streams (pulse_device), on
// one connection to the server (pulse_connection). Every failing server operation answers a
// fixed status, so messages read as they do on macOS.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <random>
#include <utility>

#include "audio/platform.h"
#include "audio/pulse/pulse_connection.h"
#include "audio/pulse/pulse_device.h"
#include "audio/pulse/pulse_processes.h"
#include "audio/pulse/pulse_queue.h"
#include "audio/pulse/wakeable_sleep.h"
#include "audio/sndfile/sndfile_writer.h"

namespace pt {

struct PlatformString {
  std::string text;
};

namespace pulse {
namespace {

constexpr std::uint32_t kFirstObjectID = 1000;  // never 0 (unknown) or 1 (system)

template <class T>
OSStatus writeValue(const T& value, std::uint32_t& ioDataSize, void* outData) {
  if (ioDataSize < sizeof(T)) return kAudioHardwareBadPropertySizeError;
  std::memcpy(outData, &value, sizeof(T));
  ioDataSize = sizeof(T);
  return noErr;
}

// A list of objects, as many as fit; none from an empty list, which may come with no buffer.
OSStatus writeObjects(const std::vector<AudioObjectID>& objects, std::uint32_t& ioDataSize,
                      void* outData) {
  const std::size_t fit = std::min<std::size_t>(ioDataSize / sizeof(AudioObjectID), objects.size());
  if (fit > 0) std::memcpy(outData, objects.data(), fit * sizeof(AudioObjectID));
  ioDataSize = std::uint32_t(fit * sizeof(AudioObjectID));
  return noErr;
}

class PulsePlatform final : public Platform {
 public:
  PulsePlatform() = default;
  ~PulsePlatform() override { disconnect(); }

  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t qualifierSize, const void* qualifierData,
                               std::uint32_t& outDataSize) override {
    if (object == AudioObjectID::system &&
        address.mSelector == kAudioHardwarePropertyProcessObjectList) {
      if (!std::exchange(viewUnused_, false))
        if (OSStatus status = takeSnapshot(); status != noErr) return status;
      outDataSize = std::uint32_t(processes_.order().size() * sizeof(AudioObjectID));
      return noErr;
    }
    if (object == AudioObjectID::system && address.mSelector == kAudioHardwarePropertyDevices) {
      if (OSStatus status = listSources(); status != noErr) return status;
      outDataSize = std::uint32_t(inputDevices().size() * sizeof(AudioObjectID));
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
                            address.mSelector == kAudioProcessPropertyBundleID ||
                            address.mSelector == kAudioObjectPropertyName)) {
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
      if (!processes_.updated())
        if (OSStatus status = takeSnapshot(); status != noErr) return status;
      return writeValue(processes_.objectOf(pid), ioDataSize, outData);
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
      if (const ProcessObject* found = processes_.find(process)) {
        tap.pids.push_back(found->pid);
      } else if (!tap.global) {
        return kAudioHardwareBadObjectError;
      }
    }
    if (OSStatus status = connection_.defaultSink(tap.sink, tap.rate); status != noErr)
      return status;
    outTapID = newObjectID();
    taps_.emplace(outTapID, std::move(tap));
    return noErr;
  }

  OSStatus destroyProcessTap(AudioObjectID tapID) noexcept override {
    return taps_.erase(tapID) ? noErr : kAudioHardwareBadObjectError;
  }

  OSStatus createAggregateDevice(const Value& description, AudioObjectID& ioDeviceID) override {
    if (OSStatus status = connect(); status != noErr) return status;
    std::optional<Input> input;
    if (OSStatus status = inputOf(description, input); status != noErr) return status;
    const Value* list = description.find("taps");
    if (!list || !list->isList() || (list->list().empty() && !input)) return kAudio_ParamError;
    std::vector<Tap> taps;
    for (const Value& entry : list->list()) {
      const Value* uuid = entry.find("uid");
      if (!uuid || !uuid->isText()) return kAudio_ParamError;
      auto tap = std::find_if(taps_.begin(), taps_.end(),
                              [&](const auto& made) { return made.second.uuid == uuid->text(); });
      if (tap == taps_.end()) return kAudioHardwareBadObjectError;
      // One clock: taps made for another sink or rate would not line up.
      if (!taps.empty() &&
          (tap->second.sink != taps.front().sink || tap->second.rate != taps.front().rate))
        return kAudioHardwareIllegalOperationError;
      taps.push_back(tap->second);
    }

    // The input alone runs at the rate a tap would have taken.
    std::uint32_t rate = taps.empty() ? 0 : taps.front().rate;
    if (taps.empty()) {
      std::string sink;
      if (OSStatus status = connection_.defaultSink(sink, rate); status != noErr) return status;
    }
    const AudioObjectID id = newObjectID();
    std::unique_ptr<Device> device;
    try {
      device = std::make_unique<Device>(id, std::move(taps), std::move(input), rate, connection_);
    } catch (const std::exception&) {  // a rate the mixer or the resampler cannot take
      return kAudioHardwareIllegalOperationError;
    }
    Device* raw = device.get();
    bool listed;
    {
      PulseConnection::Lock lock(connection_);
      devices_.emplace(id, std::move(device));
      // Streams already playing; later ones arrive through the subscription.
      std::vector<Client> clients;
      std::vector<Stream> inputs;
      listed = raw->record(connection_.context()) && connection_.listStreams(clients, inputs);
      attribute(inputs, clients);
      if (listed)
        for (const Stream& input : inputs)
          raw->monitor(connection_.context(), input.index, input.pid);
    }
    if (!listed) {
      destroyAggregateDevice(id);
      return kServerOperationFailed;
    }
    ioDeviceID = id;
    return noErr;
  }

  // The description's input device: a sub-device other than the master, a source of the server.
  OSStatus inputOf(const Value& description, std::optional<Input>& input) {
    const Value* master = description.find("master");
    const Value* list = description.find("subdevices");
    if (!list) return noErr;
    if (!list->isList()) return kAudio_ParamError;
    for (const Value& entry : list->list()) {
      const Value* uid = entry.find("uid");
      if (!uid || !uid->isText()) return kAudio_ParamError;
      if (master && master->isText() && uid->text() == master->text()) continue;
      if (input) return kAudioHardwareIllegalOperationError;  // one input at a time
      if (OSStatus status = listSources(); status != noErr) return status;
      const Source* source = sourceNamed(uid->text());
      if (!source) return kAudioHardwareBadObjectError;
      input = Input{source->name, source->channels};
    }
    return noErr;
  }

  OSStatus destroyAggregateDevice(AudioObjectID deviceID) noexcept override {
    auto it = devices_.find(deviceID);
    if (it == devices_.end()) return kAudioHardwareBadObjectError;
    it->second->unregisterIO();
    PulseConnection::Lock lock(connection_);
    it->second->releaseMonitors();
    devices_.erase(it);
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
    if (device->ioProcID()) return kAudioHardwareIllegalOperationError;
    // The block that takes the duration's last frame wakes the main thread's sleep at once.
    outProcID = device->registerIO(
        std::move(serial), [block = std::move(block), sleep = sleep_](
                               const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                               const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
                               const AudioTimeStamp* inOutputTime) {
          block(inNow, inInputData, inInputTime, outOutputData, inOutputTime);
          sleep->wakeIfRaised();
        });
    return noErr;
  }

  OSStatus deviceStart(AudioObjectID deviceID, AudioDeviceIOProcID procID) override {
    Device* device = findDevice(deviceID);
    if (!device) return kAudioHardwareBadDeviceError;
    if (!procID || procID != device->ioProcID()) return kAudioHardwareIllegalOperationError;
    device->startCycling();
    return noErr;
  }

  OSStatus deviceStop(AudioObjectID deviceID, AudioDeviceIOProcID procID) noexcept override {
    Device* device = findDevice(deviceID);
    if (!device) return kAudioHardwareBadDeviceError;
    if (procID != nullptr && procID != device->ioProcID())
      return kAudioHardwareIllegalOperationError;
    device->stopCycling();
    return noErr;
  }

  OSStatus destroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID procID) noexcept override {
    Device* device = findDevice(deviceID);
    if (!device) return kAudioHardwareBadDeviceError;
    if (!procID || procID != device->ioProcID()) return kAudioHardwareIllegalOperationError;
    device->unregisterIO();
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
    PulseConnection::Lock lock(connection_);
    outListener = device->addListener(
        std::move(serial), [block = std::move(block), sleep = sleep_](
                               std::uint32_t count, const AudioObjectPropertyAddress* addresses) {
          block(count, addresses);
          sleep->wakeIfRaised();
        });
    return noErr;
  }

  OSStatus removePropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress&,
                                       AudioObjectPropertyListenerID listener) noexcept override {
    Device* device = findDevice(object);
    if (!device) return kAudioHardwareBadObjectError;
    PulseConnection::Lock lock(connection_);
    return device->removeListener(listener) ? noErr : kAudioHardwareBadObjectError;
  }

  std::shared_ptr<const AudioFormat> makeAudioFormat(
      const AudioStreamBasicDescription& description) override {
    return makeLinearPCMFormat(description);
  }

  bool writesAudioFile(const AudioFileSettings& settings) const noexcept override {
    return sndfileWrites(settings);
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

  // An inventory starts here, or with the size of the process list when it asks for no
  // applications: each takes a new view of the server, and the reads that follow answer from it,
  // so that names and process objects come from the same moment.
  std::vector<RunningApplication> runningApplications() override {
    if (takeSnapshot() != noErr) return {};
    viewUnused_ = true;
    std::vector<RunningApplication> applications;
    for (const Client& client : processes_.clients())
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
    sleep_->sleep(seconds, interrupted);
  }

  void deviceWillStopAt(AudioObjectID deviceID, std::int64_t sampleTime) noexcept override {
    if (Device* device = findDevice(deviceID); device && sampleTime >= 0)
      device->endAt(std::uint64_t(sampleTime));
  }

  std::int64_t droppedFrames(AudioObjectID deviceID) noexcept override {
    const Device* device = findDevice(deviceID);
    return device ? device->droppedFrames() : 0;
  }

  std::string silentCaptureReason() override { return "声音服务器送来的只有静音。"; }
  std::string silentInputReason() override {
    return "声音服务器送来的只有静音：这个输入源可能已静音或音量为零（pactl list sources）。";
  }
  // Where libpulse looks first: PULSE_SERVER, else the socket in the user's runtime directory.
  std::string unreachableServiceReason() override {
    if (!unreachable_) return {};
    const auto variable = [](const char* name) -> std::string {
      const char* value = std::getenv(name);
      return value ? value : "";
    };
    if (const std::string server = variable("PULSE_SERVER"); !server.empty())
      return "无法连接声音服务器：PULSE_SERVER 指定的 " + server +
             " 没有应答；PulseAudio 或 pipewire-pulse 是否在运行，PULSE_SERVER 是否正确？";
    std::string runtime = variable("PULSE_RUNTIME_PATH");
    if (runtime.empty() && !variable("XDG_RUNTIME_DIR").empty())
      runtime = variable("XDG_RUNTIME_DIR") + "/pulse";
    if (runtime.empty())
      return "无法连接声音服务器：未设置 PULSE_SERVER 和 XDG_RUNTIME_DIR，找不到声音服务器的套接字";
    return "无法连接声音服务器：" + runtime +
           "/native 没有应答（未设置 PULSE_SERVER）；PulseAudio 或 pipewire-pulse 是否在运行？";
  }
  // A monitor stream delivers silence while its player is paused or corked.
  bool cyclesContinueWhileSilent() const noexcept override { return true; }

 private:
  void disconnect() noexcept {
    std::vector<AudioObjectID> devices;
    for (const auto& entry : devices_) devices.push_back(entry.first);
    for (AudioObjectID device : devices) destroyAggregateDevice(device);
    connection_.disconnect();
  }

  // The server's connection; one that never came about is the run's whole story.
  OSStatus connect() {
    const OSStatus status = connection_.connect();
    reached_ = reached_ || status == noErr;
    unreachable_ = !reached_;
    return status;
  }

  // Server thread: every device ends with the connection.
  void onLost() {
    for (auto& [id, device] : devices_) device->lose();
  }

  // Server thread: a new stream, or one that changed (moved to another sink): monitor it where
  // it now plays, once its process is known.
  void onSinkInput(std::uint32_t index, bool removed) {
    if (removed) {
      for (auto& [id, device] : devices_) device->forget(index);
      return;
    }
    if (devices_.empty()) return;
    pa_operation* op = pa_context_get_sink_input_info(
        connection_.context(), index,
        [](pa_context* context, const pa_sink_input_info* info, int eol, void* data) {
          if (eol != 0 || !info) return;
          auto* self = static_cast<PulsePlatform*>(data);
          const Stream input = sinkInputOf(*info);
          if (input.pid != 0 || input.client == PA_INVALID_INDEX) return self->follow(input);
          struct Pending {
            PulsePlatform* self;
            Stream input;
          };
          auto* pending = new Pending{self, input};
          pa_operation* op = pa_context_get_client_info(
              context, input.client,
              [](pa_context*, const pa_client_info* info, int eol, void* data) {
                auto* pending = static_cast<Pending*>(data);
                if (eol == 0 && info) {
                  pending->input.pid = clientOf(*info).pid;
                  return;
                }
                pending->self->follow(pending->input);
                delete pending;
              },
              pending);
          if (op)
            pa_operation_unref(op);
          else
            delete pending;
        },
        this);
    if (op) pa_operation_unref(op);
  }

  // Server thread.
  void follow(const Stream& input) {
    for (auto& [id, device] : devices_)
      device->monitor(connection_.context(), input.index, input.pid);
  }

  // One consistent view of clients and streams, which the property reads that follow answer.
  OSStatus takeSnapshot() {
    if (OSStatus status = connect(); status != noErr) return status;
    std::vector<Client> clients;
    std::vector<Stream> inputs, outputs;
    bool ok;
    {
      PulseConnection::Lock lock(connection_);
      ok = connection_.listStreams(clients, inputs, &outputs);
    }
    if (!ok) return connection_.failure();
    attribute(inputs, clients);
    attribute(outputs, clients);
    processes_.update(std::move(clients), inputs, outputs);
    return noErr;
  }

  OSStatus readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                        const void*, std::uint32_t& ioDataSize, void* outData) {
    const AudioObjectPropertySelector selector = address.mSelector;
    if (object == AudioObjectID::system) {
      if (selector == kAudioHardwarePropertyProcessObjectList) {
        if (!processes_.updated())
          if (OSStatus status = takeSnapshot(); status != noErr) return status;
        return writeObjects(processes_.order(), ioDataSize, outData);
      }
      if (selector == kAudioHardwarePropertyDefaultSystemOutputDevice) {
        // A recording asks once: its tap took the sink it records from.
        if (!taps_.empty())
          return writeValue(sinkObjectFor(taps_.rbegin()->second.sink), ioDataSize, outData);
        std::string name;
        std::uint32_t rate = 0;
        if (OSStatus status = connection_.defaultSink(name, rate); status != noErr) return status;
        return writeValue(sinkObjectFor(name), ioDataSize, outData);
      }
      if (selector == kAudioHardwarePropertyDevices) {
        // From the view its size was read from.
        if (!sourcesListed_)
          if (OSStatus status = listSources(); status != noErr) return status;
        return writeObjects(inputDevices(), ioDataSize, outData);
      }
      if (selector == kAudioHardwarePropertyDefaultInputDevice) {
        if (OSStatus status = listSources(); status != noErr) return status;
        const Source* source = sourceNamed(defaultSource_);
        // A monitor is the output's sound, not an input device.
        return writeValue(
            source && !source->monitor ? sourceIDs_.at(source->name) : AudioObjectID::unknown,
            ioDataSize, outData);
      }
      return kAudioHardwareUnknownPropertyError;
    }
    if (const ProcessObject* process = processes_.find(object)) {
      if (selector == kAudioProcessPropertyPID)
        return writeValue(process->pid, ioDataSize, outData);
      if (selector == kAudioProcessPropertyIsRunning)
        return writeValue(std::uint32_t(process->running), ioDataSize, outData);
      if (selector == kAudioProcessPropertyIsRunningOutput)
        return writeValue(std::uint32_t(process->playing), ioDataSize, outData);
      if (selector == kAudioProcessPropertyBundleID)
        return writeValue(makeString(process->bundleID), ioDataSize, outData);
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
    if (auto name = sourceNames_.find(object); name != sourceNames_.end()) {
      const Source* source = sourceNamed(name->second);
      if (!source) {  // a source listed since
        if (OSStatus status = listSources(); status != noErr) return status;
        if (!(source = sourceNamed(name->second))) return kAudioHardwareBadObjectError;
      }
      if (selector == kAudioObjectPropertyName)
        return writeValue(
            makeString(source->description.empty() ? source->name : source->description),
            ioDataSize, outData);
      if (selector == kAudioDevicePropertyDeviceUID)
        return writeValue(makeString(source->name), ioDataSize, outData);
      if (selector == kAudioDevicePropertyNominalSampleRate)
        return writeValue(double(source->rate), ioDataSize, outData);
      if (selector == kAudioDevicePropertyStreamConfiguration) {
        // One interleaved input stream, no output.
        const bool input = address.mScope == kAudioObjectPropertyScopeInput;
        const AudioBufferList list{
            input ? 1u : 0u, {{input ? std::uint32_t(source->channels.channels) : 0u, 0, nullptr}}};
        return writeValue(list, ioDataSize, outData);
      }
      return kAudioHardwareUnknownPropertyError;
    }
    if (Device* device = findDevice(object)) {
      if (selector == kAudioDevicePropertyNominalSampleRate)
        return writeValue(double(device->rate()), ioDataSize, outData);
      if (selector == kAudioDevicePropertyDeviceIsAlive)
        return writeValue(std::uint32_t(device->isAlive()), ioDataSize, outData);
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

  // A new view of the server's sources; each keeps its object for the platform's life.
  OSStatus listSources() {
    std::vector<Source> sources;
    std::string defaultSource;
    if (OSStatus status = connection_.listSources(sources, defaultSource); status != noErr)
      return status;
    for (const Source& source : sources)
      if (!sourceIDs_.count(source.name)) {
        const AudioObjectID id = newObjectID();
        sourceIDs_.emplace(source.name, id);
        sourceNames_.emplace(id, source.name);
      }
    sources_ = std::move(sources);
    defaultSource_ = std::move(defaultSource);
    sourcesListed_ = true;
    return noErr;
  }

  // The last view's input devices: its sources that are no monitor, in the server's order.
  std::vector<AudioObjectID> inputDevices() const {
    std::vector<AudioObjectID> devices;
    for (const Source& source : sources_)
      if (!source.monitor) devices.push_back(sourceIDs_.at(source.name));
    return devices;
  }

  const Source* sourceNamed(const std::string& name) const {
    auto it = std::find_if(sources_.begin(), sources_.end(),
                           [&](const Source& source) { return source.name == name; });
    return it == sources_.end() ? nullptr : &*it;
  }

  Device* findDevice(AudioObjectID id) const {
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : it->second.get();
  }

  std::uint32_t nextObjectID_ = kFirstObjectID;
  ProcessTable processes_{[this] { return newObjectID(); }};
  bool viewUnused_ = false;  // taken for the running applications; no size was read from it
  std::map<AudioObjectID, std::string> sinks_;
  std::vector<Source> sources_;  // the last view of them
  std::string defaultSource_;
  bool sourcesListed_ = false;
  std::map<std::string, AudioObjectID> sourceIDs_;
  std::map<AudioObjectID, std::string> sourceNames_;
  std::map<AudioObjectID, Tap> taps_;
  std::map<AudioObjectID, std::unique_ptr<Device>> devices_;
  // Shared with the blocks, which may outlive the platform.
  std::shared_ptr<WakeableSleep> sleep_ = std::make_shared<WakeableSleep>();
  bool reached_ = false, unreachable_ = false;  // the server, by any connect of this run
  // Last: destroyed first, so its thread never sees the maps above gone.
  PulseConnection connection_{
      [this](std::uint32_t index, bool removed) { onSinkInput(index, removed); },
      [this] { onLost(); }};
};

}  // namespace
}  // namespace pulse

std::unique_ptr<Platform> makeNativePlatform() { return std::make_unique<pulse::PulsePlatform>(); }

}  // namespace pt
