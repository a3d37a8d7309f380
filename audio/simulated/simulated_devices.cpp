// Taps, aggregate devices, their streams, IO and listeners of the simulated platform. Time is
// virtual: a sleep advances the clock and hands every IO cycle that falls inside it to the queue's
// own thread, waiting for each, so that runs are fast and repeatable while the IO block still runs
// on a second thread.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>

#include "audio/macos/silent_capture_reason.h"
#include "audio/simulated/simulated_devices.h"

namespace pt::sim {
namespace {

const char* kindText(CATapDescription::Kind kind) {
  return kind == CATapDescription::Kind::stereoMixdownOfProcesses
             ? "stereoMixdownOfProcesses"
             : "stereoGlobalTapButExcludeProcesses";
}

std::string procText(AudioDeviceIOProcID proc) {
  return proc == nullptr ? "null" : "proc" + std::to_string(proc->number);
}

// dispatch_sync onto the queue a block runs on deadlocks (libdispatch traps it): a stop or a
// destroying call made by the IO block or a listener ends the test.
void refuseOnQueue(const char* call) noexcept {
  if (!SimQueue::onQueueThread()) return;
  std::fprintf(stderr, "simulated platform: %s called on the IO queue\n", call);
  std::abort();
}

// A recording's writer, kept in step with the virtual clock.
class SimSemaphore final : public Semaphore {
 public:
  explicit SimSemaphore(std::shared_ptr<SimulatedPlatform::Devices> devices)
      : d_(std::move(devices)) {
    std::lock_guard lock(d_->writerMutex);
    d_->writers[this];
  }
  ~SimSemaphore() override {
    std::lock_guard lock(d_->writerMutex);
    d_->writers.erase(this);
    d_->writerChanged.notify_all();
  }
  void signal() noexcept override {
    std::lock_guard lock(d_->writerMutex);
    auto& w = d_->writers[this];
    ++w.count;
    w.run = d_->runNumber;
    d_->writerChanged.notify_all();
  }
  void wait() noexcept override {
    std::unique_lock lock(d_->writerMutex);
    auto& w = d_->writers[this];
    ++w.waiting;
    d_->writerChanged.notify_all();
    d_->writerChanged.wait(lock, [&] { return w.count > 0; });
    --w.waiting;
    --w.count;
  }

 private:
  std::shared_ptr<SimulatedPlatform::Devices> d_;
};

}  // namespace

std::shared_ptr<SimulatedPlatform::Devices> SimulatedPlatform::makeDevices() {
  return std::make_shared<Devices>();
}

// Core Audio dispatches notifications asynchronously and its removal of a listener does not wait
// for them: those still queued run last, when nothing of the tool need be left.
SimulatedPlatform::~SimulatedPlatform() {
  for (auto& [listener, calls] : devices_->lateCalls)
    for (std::uint32_t i = 0; i < calls; ++i)
      listener->queue->runSync(&Devices::callListener, listener.get());
}

// --- Setting up

void SimulatedPlatform::setTapFormat(const AudioStreamBasicDescription& format) {
  devices_->tapFormat = format;
  devices_->tapFormatFailure = noErr;
}
void SimulatedPlatform::failTapFormat(OSStatus status) { devices_->tapFormatFailure = status; }
void SimulatedPlatform::setDeviceSampleRate(double rate) {
  devices_->deviceRate = rate;
  devices_->deviceRateFailure = noErr;
}
void SimulatedPlatform::failDeviceSampleRate(OSStatus status) {
  devices_->deviceRate.reset();
  devices_->deviceRateFailure = status;
}
void SimulatedPlatform::addOutputDevice(AudioObjectID device, const std::string& uid) {
  setValue(AudioObjectID::system, kAudioHardwarePropertyDefaultSystemOutputDevice, device);
  setString(device, kAudioDevicePropertyDeviceUID, uid);
  devices_->outputDevice = device;
  devices_->outputUID = uid;
  devices_->deviceList.push_back(device);
  setBytes(AudioObjectID::system, kAudioHardwarePropertyDevices,
           std::string(reinterpret_cast<const char*>(devices_->deviceList.data()),
                       devices_->deviceList.size() * sizeof(AudioObjectID)));
}
void SimulatedPlatform::addInputDevice(const InputDeviceModel& device, bool isDefault) {
  Devices& d = *devices_;
  const std::uint32_t channels = std::max<std::uint32_t>(1, device.channels);
  if (device.uid == d.outputUID)
    d.subDeviceInput = {channels, device.tone};
  else
    d.inputDevices[device.uid] = {channels, device.tone};
  if (std::find(d.deviceList.begin(), d.deviceList.end(), device.id) == d.deviceList.end())
    d.deviceList.push_back(device.id);
  setBytes(AudioObjectID::system, kAudioHardwarePropertyDevices,
           std::string(reinterpret_cast<const char*>(d.deviceList.data()),
                       d.deviceList.size() * sizeof(AudioObjectID)));
  if (isDefault)
    setValue(AudioObjectID::system, kAudioHardwarePropertyDefaultInputDevice, device.id);
  setString(device.id, kAudioObjectPropertyName, device.name);
  setString(device.id, kAudioDevicePropertyDeviceUID, device.uid);
  std::string streams(audioBufferListSize(1), '\0');
  auto* list = reinterpret_cast<AudioBufferList*>(streams.data());
  list->mNumberBuffers = 1;
  list->mBuffers[0] = {channels, 0, nullptr};
  setBytes(device.id, kAudioDevicePropertyStreamConfiguration, std::move(streams));
  setValue(device.id, kAudioDevicePropertyNominalSampleRate, d.deviceRate.value_or(48000));
  setValue(device.id, kAudioDevicePropertyClockDomain, device.clockDomain);
}
void SimulatedPlatform::setMicrophoneAllowed(bool allowed) {
  devices_->microphoneAllowed = allowed;
}
std::string SimulatedPlatform::silentInputReason() { return kMicrophoneNotAllowed; }
void SimulatedPlatform::setSubDeviceInput(std::uint32_t channels, double hertz) {
  devices_->subDeviceInput = {std::max<std::uint32_t>(1, channels), hertz};
}
void SimulatedPlatform::setAggregateInput(double tapStreamsAfter, double subDeviceStreamsAfter,
                                          bool tapFirst,
                                          std::optional<std::uint32_t> tapStreamChannels) {
  devices_->tapStreamsAfter = tapStreamsAfter;
  devices_->subDeviceStreamsAfter = subDeviceStreamsAfter;
  devices_->tapFirst = tapFirst;
  devices_->tapStreamChannels = tapStreamChannels;
}
void SimulatedPlatform::setCaptureAllowed(bool allowed) { devices_->captureAllowed = allowed; }
std::string SimulatedPlatform::silentCaptureReason() { return kSystemAudioRecordingNotAllowed; }
void SimulatedPlatform::setTone(AudioObjectID process, double hertz) {
  devices_->tones[process] = hertz;
  setValue(process, kAudioProcessPropertyIsRunningOutput, std::uint32_t(hertz > 0));
}
void SimulatedPlatform::setIOFrames(std::uint32_t frames) { devices_->ioFrames = frames; }
void SimulatedPlatform::setWriteHandlesOnFailure(bool write) {
  devices_->writeHandlesOnFailure = write;
}
void SimulatedPlatform::interruptAt(double seconds) { devices_->interruptAt = seconds; }
void SimulatedPlatform::stallWrites(std::map<std::int64_t, double> secondsByCycle) {
  devices_->writeStalls = std::move(secondsByCycle);
}
void SimulatedPlatform::overloadIO(std::map<std::int64_t, double> secondsByCycle) {
  devices_->ioOverloads = std::move(secondsByCycle);
}
void SimulatedPlatform::setUnreadableCycles(std::set<std::int64_t> cycles,
                                            std::optional<std::uint32_t> tap) {
  devices_->unreadableCycles = std::move(cycles);
  devices_->unreadableTap = tap;
}
void SimulatedPlatform::stopCyclesAt(double seconds) { devices_->cyclesStopAt = seconds; }
void SimulatedPlatform::stopRecorderAt(double at, double seconds) {
  devices_->recorderStop = {{at, seconds}};
}
void SimulatedPlatform::blockStart(double seconds, bool outlivesStop) {
  devices_->blockedStart = seconds;
  devices_->startOutlivesStop = outlivesStop;
}
void SimulatedPlatform::setDroppedFrames(std::int64_t frames) { devices_->droppedFrames = frames; }
std::int64_t SimulatedPlatform::droppedFrames(AudioObjectID) noexcept {
  return devices_->droppedFrames;
}
std::shared_ptr<Semaphore> SimulatedPlatform::makeSemaphore() {
  return std::make_shared<SimSemaphore>(devices_);
}
void SimulatedPlatform::loseDeviceAt(double seconds) { devices_->deviceLostAt = seconds; }
void SimulatedPlatform::changeDeviceRateAt(double seconds, double rate, std::uint32_t repeats) {
  devices_->rateChange = {seconds, rate};
  devices_->rateChangeRepeats = repeats;
}

std::vector<Value> SimulatedPlatform::aggregateDescriptions() const {
  return devices_->aggregateDescriptions;
}
std::vector<CATapDescription> SimulatedPlatform::tapDescriptions() const {
  return devices_->tapDescriptions;
}
std::int64_t SimulatedPlatform::deliveredCycles() const { return devices_->deliveredCycles; }
bool SimulatedPlatform::subDeviceInputDelivered() const {
  return devices_->subDeviceInputDelivered;
}
double SimulatedPlatform::virtualTime() const { return devices_->now; }

float SimulatedPlatform::toneSample(const std::vector<double>& hertz, double rate,
                                    std::int64_t frame) {
  double sum = 0;
  for (double f : hertz) sum += 0.25 * std::sin(2 * std::numbers::pi * f * double(frame) / rate);
  return float(sum);
}

// --- Taps and aggregate devices

OSStatus SimulatedPlatform::createProcessTap(const CATapDescription& description,
                                             AudioObjectID& outTapID) {
  std::string processes;
  for (AudioObjectID id : description.processes) {
    if (!processes.empty()) processes += ',';
    processes += idText(id);
  }
  log(std::string("createProcessTap ") + kindText(description.kind) + " [" + processes + "] " +
      description.UUID + " mute=" + std::to_string(std::int64_t(description.muteBehavior)));
  Devices& d = *devices_;
  d.tapDescriptions.push_back(description);
  if (OSStatus s = injectedFailure("createProcessTap")) return s;
  const AudioObjectID tap = d.nextTap++;
  d.taps[tap] = {description, d.tapFormat};
  if (d.tapFormatFailure != noErr)
    failProperty(tap, kAudioTapPropertyFormat, d.tapFormatFailure, 0);
  else
    setValue(tap, kAudioTapPropertyFormat, d.tapFormat);
  outTapID = tap;
  return noErr;
}

OSStatus SimulatedPlatform::destroyProcessTap(AudioObjectID tapID) noexcept {
  refuseOnQueue("destroyProcessTap");
  log("destroyProcessTap " + idText(tapID));
  if (devices_->taps.erase(tapID) == 0) return kAudioHardwareBadObjectError;
  objects_.erase(tapID);
  return noErr;
}

OSStatus SimulatedPlatform::createAggregateDevice(const Value& description,
                                                  AudioObjectID& ioDeviceID) {
  const Value* name = description.find("name");
  log("createAggregateDevice " + (name && name->isText() ? name->text() : std::string("?")));
  Devices& d = *devices_;
  d.aggregateDescriptions.push_back(description);
  if (OSStatus s = injectedFailure("createAggregateDevice")) {
    if (d.writeHandlesOnFailure) ioDeviceID = d.nextAggregate++;
    return s;
  }
  const AudioObjectID device = d.nextAggregate++;
  d.aggregates.emplace(device, description);
  d.aggregatesMadeAt[device] = d.now;
  for (double after : {d.tapStreamsAfter, d.subDeviceStreamsAfter})
    if (after > 0) d.streamChanges.emplace(d.now + after, device);
  addObject(device);
  setValue(device, kAudioDevicePropertyDeviceIsAlive, std::uint32_t(1));
  if (d.deviceRate)
    setValue(device, kAudioDevicePropertyNominalSampleRate, *d.deviceRate);
  else if (d.deviceRateFailure != noErr)
    failProperty(device, kAudioDevicePropertyNominalSampleRate, d.deviceRateFailure, 0);
  ioDeviceID = device;
  return noErr;
}

OSStatus SimulatedPlatform::destroyAggregateDevice(AudioObjectID deviceID) noexcept {
  refuseOnQueue("destroyAggregateDevice");
  log("destroyAggregateDevice " + idText(deviceID));
  Devices& d = *devices_;
  if (d.aggregates.erase(deviceID) == 0) return kAudioHardwareBadObjectError;
  d.aggregatesMadeAt.erase(deviceID);
  std::erase_if(d.streamChanges, [&](const auto& change) { return change.second == deviceID; });
  if (d.runningDevice == deviceID) {
    d.runningDevice = AudioObjectID::unknown;
    d.running = nullptr;
  }
  objects_.erase(deviceID);
  return noErr;
}

// --- IO

std::shared_ptr<DispatchQueue> SimulatedPlatform::makeSerialQueue(const std::string& label) {
  log("makeSerialQueue " + label);
  return std::make_shared<SimQueue>(label);
}

OSStatus SimulatedPlatform::createIOProcIDWithBlock(AudioDeviceIOProcID& outProcID,
                                                    AudioObjectID device,
                                                    std::shared_ptr<DispatchQueue> queue,
                                                    AudioDeviceIOBlock block) {
  log("createIOProcIDWithBlock " + idText(device) + " " + (queue ? queue->label() : "null"));
  Devices& d = *devices_;
  auto simQueue = std::dynamic_pointer_cast<SimQueue>(queue);
  OSStatus status = injectedFailure("createIOProcIDWithBlock");
  if (status == noErr && d.aggregates.count(device) == 0) status = kAudioHardwareBadDeviceError;
  if (status == noErr && (!simQueue || !block)) status = kAudio_ParamError;
  if (status != noErr && !d.writeHandlesOnFailure) return status;
  auto proc = std::make_unique<PlatformIOProc>(PlatformIOProc{
      d.nextProc++, device, std::move(simQueue), std::move(block), status == noErr, {}});
  outProcID = proc.get();
  d.procs.emplace(proc.get(), std::move(proc));
  return status;
}

OSStatus SimulatedPlatform::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
  log("deviceStart " + idText(device) + " " + procText(procID));
  if (OSStatus s = injectedFailure("deviceStart")) return s;
  Devices& d = *devices_;
  auto aggregate = d.aggregates.find(device);
  if (aggregate == d.aggregates.end()) return kAudioHardwareBadDeviceError;
  PlatformIOProc* proc = nullptr;
  if (procID != nullptr) {
    auto it = d.procs.find(procID);
    if (it == d.procs.end() || !it->second->usable || it->second->device != device)
      return kAudioHardwareBadObjectError;
    proc = it->second.get();
  }
  // With tapautostart the start waits until a tapped process plays, or until a stop.
  if (d.blockedStart) {
    const double until = d.now + *d.blockedStart;
    d.blockedStart.reset();
    const bool interrupted = d.interruptAt && *d.interruptAt <= until;
    if (interrupted || !std::isfinite(until)) {
      const std::shared_ptr<Devices> held = devices_;  // a start left behind outlives the platform
      {
        std::lock_guard lock(d.writerMutex);
        d.startReleased = false;
      }
      if (interrupted) {
        d.now = std::max(d.now, *d.interruptAt);
        d.interruptAt.reset();
        std::raise(SIGINT);
      }
      std::unique_lock lock(held->writerMutex);
      held->writerChanged.wait(lock,
                               [&] { return held->startReleased && !held->startOutlivesStop; });
      return kAudioHardwareNotRunningError;
    }
    // Streams that change meanwhile tell their listeners before the first cycle.
    while (const std::optional<AudioObjectID> changed = d.nextStreamChange(until))
      d.notify(*changed, kAudioDevicePropertyStreams);
    d.now = until;
  }

  // The taps that the device's tap list names; an unknown UUID hears nothing.
  d.runningTaps.clear();
  for (const Devices::Tap* tap : d.tapsOf(aggregate->second)) {
    Devices::RunningTap& running = d.runningTaps.emplace_back();
    running.format = tap ? tap->format : d.tapFormat;
    if (tap && tap->description.kind == CATapDescription::Kind::stereoMixdownOfProcesses) {
      for (AudioObjectID id : tap->description.processes)
        if (auto t = d.tones.find(id); t != d.tones.end()) running.tones.push_back(t->second);
    } else if (tap) {
      const auto& excluded = tap->description.processes;
      for (const auto& [id, hertz] : d.tones)
        if (std::find(excluded.begin(), excluded.end(), AudioObjectID(id)) == excluded.end())
          running.tones.push_back(hertz);
    }
    if (!d.captureAllowed) running.tones.clear();
  }
  const double tapRate = d.runningTaps.front().format.mSampleRate;
  d.rate = d.deviceRate && *d.deviceRate > 0 ? *d.deviceRate : tapRate;
  if (!(d.rate > 0) || !std::isfinite(d.rate)) d.rate = 48000;
  d.layOutInput(device, aggregate->second);
  d.outputSamples.assign(std::size_t(d.ioFrames) * 2, 0.0f);
  d.output.mNumberBuffers = 1;
  d.output.mBuffers[0] = {2, std::uint32_t(d.outputSamples.size() * sizeof(float)),
                          d.outputSamples.data()};

  d.runningDevice = device;
  d.running = proc;
  d.startTime = d.now;
  d.runCycles = 0;
  d.cycle.store(0, std::memory_order_relaxed);
  d.releaseWriterClock(false);
  std::lock_guard lock(d.writerMutex);
  ++d.runNumber;
  return noErr;
}

void SimulatedPlatform::Devices::layOutInput(AudioObjectID id, const Value& aggregate) {
  subDeviceStreams = subDeviceStreamsOf(id, aggregate);
  const auto subs = std::uint32_t(subDeviceStreams.size());
  std::uint32_t tapped = 0;
  for (RunningTap& tap : runningTaps) tapped += tap.buffers = streamsOf(tap.format);
  subDeviceOffsets.clear();
  std::size_t samples = 0;
  for (const auto& [channels, tone] : subDeviceStreams) {
    subDeviceOffsets.push_back(samples);
    samples += std::size_t(ioFrames) * channels;
  }
  subDeviceSamples.assign(samples, 0.0f);
  listStorage.assign(audioBufferListSize(subs + tapped), std::byte{0});
  AudioBufferList* list = input();
  list->mNumberBuffers = subs + tapped;
  for (std::uint32_t k = 0; k < subs; ++k)
    list->mBuffers[(tapFirst ? tapped : 0) + k] = {
        subDeviceStreams[k].first,
        std::uint32_t(std::size_t(ioFrames) * subDeviceStreams[k].first * sizeof(float)),
        subDeviceSamples.data() + subDeviceOffsets[k]};
  std::uint32_t next = tapFirst ? 0 : subs;
  for (RunningTap& tap : runningTaps) {
    const std::uint32_t channels = std::max<std::uint32_t>(1, tap.format.mChannelsPerFrame);
    const bool interleaved = (tap.format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    tap.samples.assign(std::size_t(ioFrames) * channels, 0.0f);
    tap.firstBuffer = next;
    const std::uint32_t perBuffer = ioFrames * (interleaved ? channels : 1);
    for (std::uint32_t b = 0; b < tap.buffers; ++b)
      list->mBuffers[next++] = {interleaved ? channels : 1,
                                std::uint32_t(perBuffer * sizeof(float)),
                                tap.samples.data() + std::size_t(b) * perBuffer};
  }
}

void SimulatedPlatform::deviceWillStopAt(AudioObjectID device, std::int64_t sampleTime) noexcept {
  log("deviceWillStopAt " + idText(device) + " " + std::to_string(sampleTime));
}

OSStatus SimulatedPlatform::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) noexcept {
  refuseOnQueue("deviceStop");
  log("deviceStop " + idText(device) + " " + procText(procID));
  Devices& d = *devices_;
  {
    std::lock_guard lock(d.writerMutex);
    d.startReleased = true;
    d.writerChanged.notify_all();
  }
  if (d.aggregates.count(device) == 0) return kAudioHardwareBadDeviceError;
  if (d.runningDevice == device && (procID == nullptr || procID == d.running)) {
    d.runningDevice = AudioObjectID::unknown;
    d.running = nullptr;
    // A write stalled past the end of the recording ends in the time that runs on.
    d.releaseWriterClock(true);
  }
  return noErr;
}

OSStatus SimulatedPlatform::destroyIOProcID(AudioObjectID device,
                                            AudioDeviceIOProcID procID) noexcept {
  refuseOnQueue("destroyIOProcID");
  log("destroyIOProcID " + idText(device) + " " + procText(procID));
  Devices& d = *devices_;
  auto it = d.procs.find(procID);
  if (it == d.procs.end() || it->second->device != device) return kAudioHardwareBadObjectError;
  if (d.running == it->second.get()) {
    d.runningDevice = AudioObjectID::unknown;
    d.running = nullptr;
  }
  d.procs.erase(it);  // drops the block and the queue
  return noErr;
}

// --- Streams

std::optional<std::string> SimulatedPlatform::inputStreams(AudioObjectID object,
                                                           const AudioObjectPropertyAddress& a) {
  const Devices& d = *devices_;
  auto aggregate = d.aggregates.find(object);
  if (a.mSelector != kAudioDevicePropertyStreamConfiguration ||
      a.mScope != kAudioObjectPropertyScopeInput || aggregate == d.aggregates.end())
    return std::nullopt;
  const std::vector<std::uint32_t> channels = d.inputChannelsOf(object, aggregate->second);
  std::string bytes(audioBufferListSize(std::uint32_t(channels.size())), '\0');
  auto* list = reinterpret_cast<AudioBufferList*>(bytes.data());
  list->mNumberBuffers = std::uint32_t(channels.size());
  for (std::size_t i = 0; i < channels.size(); ++i) list->mBuffers[i] = {channels[i], 0, nullptr};
  return bytes;
}

OSStatus SimulatedPlatform::setPropertyData(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            std::uint32_t, const void*, std::uint32_t dataSize,
                                            const void* data) {
  Devices& d = *devices_;
  auto aggregate = d.aggregates.find(object);
  if (address.mSelector != kAudioDevicePropertyIOProcStreamUsage ||
      address.mScope != kAudioObjectPropertyScopeInput || aggregate == d.aggregates.end()) {
    log("setPropertyData " + idText(object) + " " + codeText(address.mSelector));
    return kAudioHardwareUnknownPropertyError;
  }
  // The usage names every input stream of the device, in order, for one of its registrations.
  AudioHardwareIOProcStreamUsage usage;
  if (data == nullptr || dataSize < ioProcStreamUsageSize(0))
    return kAudioHardwareBadPropertySizeError;
  std::memcpy(&usage, data, sizeof usage);
  const auto* flags = reinterpret_cast<const std::byte*>(data) +
                      offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn);
  std::vector<std::uint32_t> on(usage.mNumberStreams);
  std::string text;
  if (dataSize >= ioProcStreamUsageSize(usage.mNumberStreams) && !on.empty())
    std::memcpy(on.data(), flags, on.size() * sizeof(std::uint32_t));
  for (std::uint32_t flag : on) text += flag ? '1' : '0';
  auto proc = d.procs.find(static_cast<const PlatformIOProc*>(usage.mIOProc));
  log("setPropertyData " + idText(object) + " 'suse' 'inpt' " +
      (proc == d.procs.end() ? "unknown" : procText(proc->first)) + " " + text);
  if (proc == d.procs.end() || proc->second->device != object) return kAudioHardwareBadObjectError;
  if (dataSize < ioProcStreamUsageSize(usage.mNumberStreams) ||
      usage.mNumberStreams != d.inputChannelsOf(object, aggregate->second).size())
    return kAudioHardwareBadPropertySizeError;
  proc->second->inputStreamIsOn = std::move(on);
  return noErr;
}

// --- Property listeners

OSStatus SimulatedPlatform::addPropertyListenerBlock(AudioObjectID object,
                                                     const AudioObjectPropertyAddress& address,
                                                     std::shared_ptr<DispatchQueue> queue,
                                                     AudioObjectPropertyListenerBlock block,
                                                     AudioObjectPropertyListenerID& outListener) {
  log("addPropertyListenerBlock " + idText(object) + " " + codeText(address.mSelector) + " " +
      (queue ? queue->label() : "null"));
  if (OSStatus s = injectedFailure("addPropertyListenerBlock")) return s;
  Devices& d = *devices_;
  if (objects_.count(object) == 0) return kAudioHardwareBadObjectError;
  auto simQueue = std::dynamic_pointer_cast<SimQueue>(queue);
  if (!simQueue || !block) return kAudio_ParamError;
  auto listener = std::make_unique<PlatformListener>(PlatformListener{
      d.nextListener++, object, address.mSelector, std::move(simQueue), std::move(block)});
  outListener = listener.get();
  d.listeners.emplace(listener.get(), std::move(listener));
  return noErr;
}

OSStatus SimulatedPlatform::removePropertyListenerBlock(
    AudioObjectID object, const AudioObjectPropertyAddress& address,
    AudioObjectPropertyListenerID listener) noexcept {
  refuseOnQueue("removePropertyListenerBlock");
  log("removePropertyListenerBlock " + idText(object) + " " + codeText(address.mSelector) + " " +
      (listener ? "listener" + std::to_string(listener->number) : "null"));
  Devices& d = *devices_;
  auto it = d.listeners.find(listener);
  if (it == d.listeners.end() || it->second->object != object ||
      it->second->selector != address.mSelector)
    return kAudioHardwareBadObjectError;
  if (auto queued = d.queued.find({object, address.mSelector});
      queued != d.queued.end() && queued->second > 0)
    d.lateCalls.emplace_back(std::move(it->second), queued->second);
  d.listeners.erase(it);
  return noErr;
}

// --- The clock

double SimulatedPlatform::systemUptime() { return devices_->now; }

void SimulatedPlatform::sleepForTimeInterval(double seconds, const std::atomic<bool>& interrupted) {
  log("sleepForTimeInterval " + number(seconds));
  Devices& d = *devices_;
  const double end = std::isnan(seconds) || seconds <= 0 ? d.now : d.now + seconds;
  const double inf = std::numeric_limits<double>::infinity();
  while (!interrupted.load()) {
    double next = d.runningDevice.isValid()
                      ? d.startTime + double(d.runCycles + 1) * d.ioFrames / d.rate
                      : inf;
    // Cycles that stop while the device runs on and 'livn' stays 1.
    if (d.cyclesStopAt && next > d.startTime + *d.cyclesStopAt) next = inf;
    // The device's end: no more cycles, 'livn' becomes 0 and its listeners hear of it.
    if (d.deviceLostAt && d.runningDevice.isValid() &&
        d.startTime + *d.deviceLostAt <= std::min(next, end)) {
      d.now = std::max(d.now, d.startTime + *d.deviceLostAt);
      d.deviceLostAt.reset();
      const AudioObjectID lost = d.runningDevice;
      d.runningDevice = AudioObjectID::unknown;
      d.running = nullptr;
      setValue(lost, kAudioDevicePropertyDeviceIsAlive, std::uint32_t(0));
      d.notify(lost, kAudioDevicePropertyDeviceIsAlive);
      continue;
    }
    // The output device switched its rate: 'nsrt' reads the new one and its listeners hear of it.
    if (d.rateChange && d.runningDevice.isValid() &&
        d.startTime + d.rateChange->first <= std::min(next, end)) {
      d.now = std::max(d.now, d.startTime + d.rateChange->first);
      setValue(d.runningDevice, kAudioDevicePropertyNominalSampleRate, d.rateChange->second);
      d.rateChange.reset();
      d.notify(d.runningDevice, kAudioDevicePropertyNominalSampleRate);
      d.queued[{d.runningDevice, kAudioDevicePropertyNominalSampleRate}] = d.rateChangeRepeats;
      continue;
    }
    // The aggregate's input streams changed: its 'stm#' listeners hear of it, and a running
    // device's next cycle has the new list, every stream on until the block's usage is set again.
    if (const std::optional<AudioObjectID> changed = d.nextStreamChange(std::min(next, end))) {
      if (*changed == d.runningDevice && d.running != nullptr) {
        d.running->inputStreamIsOn.clear();
        d.layOutInput(*changed, d.aggregates.at(*changed));
      }
      d.notify(*changed, kAudioDevicePropertyStreams);
      continue;
    }
    // The tool itself stopped (SIGSTOP): its sleep returns that much late, and the device keeps
    // the cycles due meanwhile for the next wait, as a sound server keeps the backlog.
    if (d.recorderStop && d.runningDevice.isValid() &&
        d.startTime + d.recorderStop->first < std::min(next, end)) {
      d.now = std::max(d.now, d.startTime + d.recorderStop->first) + d.recorderStop->second;
      d.recorderStop.reset();
      break;
    }
    if (d.interruptAt && *d.interruptAt <= std::min(next, end)) {
      d.now = std::max(d.now, *d.interruptAt);
      d.interruptAt.reset();
      std::raise(SIGINT);
      if (!interrupted.load() && std::isinf(end)) break;
      continue;
    }
    // Without end and without an interruption to come, a simulated wait would never return.
    if (next > end ||
        (std::isinf(end) && (std::isinf(next) || (!d.interruptAt && !d.deviceLostAt &&
                                                  !d.rateChange && d.streamChanges.empty())))) {
      if (std::isfinite(end)) d.now = end;
      break;
    }
    d.now = std::max(d.now, next);  // a backlog arrives at once
    const std::int64_t cycle = ++d.runCycles;
    ++d.deliveredCycles;
    if (d.running == nullptr) continue;  // started without a block: nothing to call
    d.cycle.store(cycle, std::memory_order_relaxed);
    const std::int64_t first = (cycle - 1) * std::int64_t(d.ioFrames);
    for (Devices::RunningTap& tap : d.runningTaps) {
      const std::uint32_t channels = std::max<std::uint32_t>(1, tap.format.mChannelsPerFrame);
      const bool interleaved = (tap.format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
      for (std::uint32_t f = 0; f < d.ioFrames; ++f) {
        const float sample = toneSample(tap.tones, d.rate, first + f);
        for (std::uint32_t c = 0; c < channels; ++c)
          tap.samples[interleaved ? std::size_t(f) * channels + c
                                  : std::size_t(c) * d.ioFrames + f] = sample;
      }
    }
    for (std::size_t k = 0; k < d.subDeviceStreams.size(); ++k) {
      const auto [subChannels, tone] = d.subDeviceStreams[k];
      for (std::uint32_t f = 0; f < d.ioFrames; ++f)
        std::fill_n(
            d.subDeviceSamples.data() + d.subDeviceOffsets[k] + std::size_t(f) * subChannels,
            subChannels, d.microphoneAllowed ? toneSample({tone}, d.rate, first + f) : 0.0f);
    }
    // A stream switched off for the block reaches it as a null buffer; an unreadable cycle has
    // null buffers for the taps.
    AudioBufferList* list = d.input();
    const auto& on = d.running->inputStreamIsOn;
    const bool unreadable = d.unreadableCycles.count(cycle) != 0;
    for (std::uint32_t b = 0; b < list->mNumberBuffers; ++b) {
      Devices::RunningTap* tap = nullptr;
      for (Devices::RunningTap& t : d.runningTaps)
        if (b >= t.firstBuffer && b < t.firstBuffer + t.buffers) tap = &t;
      const bool unread =
          unreadable && tap &&
          (!d.unreadableTap || std::uint32_t(tap - d.runningTaps.data()) == *d.unreadableTap);
      const bool used = (on.empty() || (b < on.size() && on[b] != 0)) && !unread;
      const std::uint32_t sub =
          d.tapFirst ? b - std::uint32_t(list->mNumberBuffers - d.subDeviceStreams.size()) : b;
      float* data =
          tap ? tap->samples.data() + std::size_t(b - tap->firstBuffer) *
                                          (list->mBuffers[b].mDataByteSize / sizeof(float))
              : d.subDeviceSamples.data() + d.subDeviceOffsets[sub];
      list->mBuffers[b].mData = used ? data : nullptr;
      if (used && !tap) d.subDeviceInputDelivered = true;
    }
    d.nowStamp.mSampleTime = d.inputStamp.mSampleTime = double(first);
    d.outputStamp.mSampleTime = double(first + d.ioFrames);
    d.nowStamp.mFlags = d.inputStamp.mFlags = d.outputStamp.mFlags = kAudioTimeStampSampleTimeValid;
    d.advanceWriterClock(d.now);
    d.running->queue->runSync(&Devices::callBlock, &d);
    // A block that runs past its cycle's end makes the device skip the cycles it overran, as the
    // HAL does on an overload; their time passes without them.
    if (auto overload = d.ioOverloads.find(cycle); overload != d.ioOverloads.end())
      d.runCycles += std::max<std::int64_t>(
          0, std::int64_t(std::ceil(overload->second * d.rate / d.ioFrames)) - 1);
    d.awaitWriters();
  }
}

}  // namespace pt::sim
