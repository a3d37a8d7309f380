// Taps, aggregate devices, IO and files of the simulated platform. Time is virtual: a sleep
// advances the clock and hands every IO cycle that falls inside it to the queue's own thread,
// waiting for each, so that runs are fast and repeatable while the IO block still runs on a
// second thread.
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>
#include <numbers>
#include <thread>

#include "audio/simulated/simulated_platform.h"
#include "audio/sndfile/sndfile_writer.h"
#include "audio/text_error.h"

namespace pt {
struct PlatformIOProc;
}

namespace pt::sim {
namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

std::string idText(AudioObjectID id) { return std::to_string(std::uint32_t(id)); }

constexpr AudioStreamBasicDescription kDefaultTapFormat{
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

  void runSync(void (*call)(void*), void* context) {
    std::unique_lock lock(mutex_);
    call_ = call;
    context_ = context;
    done_ = false;
    wake_.notify_all();
    wake_.wait(lock, [&] { return done_; });
  }

 private:
  void loop() {
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

}  // namespace
}  // namespace pt::sim

namespace pt {
struct PlatformIOProc {
  int number;
  AudioObjectID device;
  std::shared_ptr<sim::SimQueue> queue;
  AudioDeviceIOBlock block;
  bool usable;  // false for a handle written by a failing registration
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
  std::set<std::int64_t> writeFailures;
  bool writeHandlesOnFailure = false;
  std::optional<double> interruptAt;
  std::optional<double> deviceLostAt;

  // Objects made.
  std::map<std::uint32_t, Tap> taps;
  std::map<std::uint32_t, Value> aggregates;
  std::vector<Value> aggregateDescriptions;
  std::vector<CATapDescription> tapDescriptions;
  std::map<const PlatformIOProc*, std::unique_ptr<PlatformIOProc>> procs;
  std::uint32_t nextTap = 100;
  std::uint32_t nextAggregate = 200;
  int nextProc = 1;
  std::map<const PlatformListener*, std::unique_ptr<PlatformListener>> listeners;
  int nextListener = 1;

  // The clock and the running device.
  double now = 0;
  std::int64_t deliveredCycles = 0;
  AudioObjectID runningDevice = AudioObjectID::unknown;
  PlatformIOProc* running = nullptr;  // null: started without a block, or stopped
  double startTime = 0;
  double rate = 0;
  std::int64_t runCycles = 0;
  std::atomic<std::int64_t> cycle{0};  // read by the file on the IO thread
  std::vector<double> runningTones;
  AudioStreamBasicDescription runningFormat{};
  std::vector<float> samples;
  std::vector<std::byte> listStorage;
  std::vector<float> outputSamples;
  AudioBufferList output{};
  AudioTimeStamp nowStamp{};
  AudioTimeStamp inputStamp{};
  AudioTimeStamp outputStamp{};

  AudioBufferList* input() { return reinterpret_cast<AudioBufferList*>(listStorage.data()); }

  static void callBlock(void* context) {
    auto& d = *static_cast<Devices*>(context);
    d.running->block(&d.nowStamp, d.input(), &d.inputStamp, &d.output, &d.outputStamp);
  }

  static void callListener(void* context) {
    auto& listener = *static_cast<PlatformListener*>(context);
    const AudioObjectPropertyAddress address{listener.selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    listener.block(1, &address);
  }
};

namespace {

// The tap's file: the real writer, with the failures the test asked for.
class SimulatedFile final : public AudioFile {
 public:
  SimulatedFile(std::shared_ptr<AudioFile> file, const std::set<std::int64_t>& failures,
                const std::atomic<std::int64_t>& cycle)
      : file_(std::move(file)), failures_(failures), cycle_(cycle) {}

  bool writeFromBuffer(const PCMBuffer& buffer,
                       std::string_view& errorDescription) noexcept override {
    if (failures_.count(cycle_.load(std::memory_order_relaxed)) != 0) {
      errorDescription = "模拟的写入失败";
      return false;
    }
    return file_->writeFromBuffer(buffer, errorDescription);
  }

 private:
  std::shared_ptr<AudioFile> file_;
  const std::set<std::int64_t>& failures_;
  const std::atomic<std::int64_t>& cycle_;
};

const char* kindText(CATapDescription::Kind kind) {
  return kind == CATapDescription::Kind::stereoMixdownOfProcesses
             ? "stereoMixdownOfProcesses"
             : "stereoGlobalTapButExcludeProcesses";
}

std::string procText(AudioDeviceIOProcID proc) {
  return proc == nullptr ? "null" : "proc" + std::to_string(proc->number);
}

std::string formatText(const AudioStreamBasicDescription& d) {
  return number(d.mSampleRate) + " " + codeText(d.mFormatID) +
         " flags=" + std::to_string(d.mFormatFlags) + " " + std::to_string(d.mChannelsPerFrame) +
         "ch " + std::to_string(d.mBitsPerChannel) + "bit";
}

}  // namespace

std::shared_ptr<SimulatedPlatform::Devices> SimulatedPlatform::makeDevices() {
  return std::make_shared<Devices>();
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
}
void SimulatedPlatform::setTone(AudioObjectID process, double hertz) {
  devices_->tones[process] = hertz;
}
void SimulatedPlatform::setIOFrames(std::uint32_t frames) { devices_->ioFrames = frames; }
void SimulatedPlatform::setCaptureFormatUnusable(bool unusable) {
  devices_->captureUnusable = unusable;
}
void SimulatedPlatform::setWriteFailures(std::set<std::int64_t> cycles) {
  devices_->writeFailures = std::move(cycles);
}
void SimulatedPlatform::setWriteHandlesOnFailure(bool write) {
  devices_->writeHandlesOnFailure = write;
}
void SimulatedPlatform::interruptAt(double seconds) { devices_->interruptAt = seconds; }
void SimulatedPlatform::loseDeviceAt(double seconds) { devices_->deviceLostAt = seconds; }

std::vector<Value> SimulatedPlatform::aggregateDescriptions() const {
  return devices_->aggregateDescriptions;
}
std::vector<CATapDescription> SimulatedPlatform::tapDescriptions() const {
  return devices_->tapDescriptions;
}
std::int64_t SimulatedPlatform::deliveredCycles() const { return devices_->deliveredCycles; }
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
  for (AudioObjectID id : description.processes)
    processes += (processes.empty() ? "" : ",") + idText(id);
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
  log("destroyAggregateDevice " + idText(deviceID));
  Devices& d = *devices_;
  if (d.aggregates.erase(deviceID) == 0) return kAudioHardwareBadObjectError;
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
  auto proc = std::make_unique<PlatformIOProc>(
      PlatformIOProc{d.nextProc++, device, std::move(simQueue), std::move(block), status == noErr});
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

  // The tap that the device's tap list names; an unknown UUID hears nothing.
  const Devices::Tap* tap = nullptr;
  if (const Value* taps = aggregate->second.find("taps"); taps && taps->isList())
    for (const Value& entry : taps->list())
      if (const Value* uid = entry.find("uid"); uid && uid->isText())
        for (const auto& [id, candidate] : d.taps)
          if (candidate.description.UUID == uid->text()) tap = &candidate;
  d.runningFormat = tap ? tap->format : d.tapFormat;
  d.runningTones.clear();
  if (tap && tap->description.kind == CATapDescription::Kind::stereoMixdownOfProcesses) {
    for (AudioObjectID id : tap->description.processes)
      if (auto t = d.tones.find(id); t != d.tones.end()) d.runningTones.push_back(t->second);
  } else if (tap) {
    const auto& excluded = tap->description.processes;
    for (const auto& [id, hertz] : d.tones)
      if (std::find(excluded.begin(), excluded.end(), AudioObjectID(id)) == excluded.end())
        d.runningTones.push_back(hertz);
  }
  d.rate = d.deviceRate && *d.deviceRate > 0 ? *d.deviceRate : d.runningFormat.mSampleRate;
  if (!(d.rate > 0) || !std::isfinite(d.rate)) d.rate = 48000;

  const std::uint32_t channels = std::max<std::uint32_t>(1, d.runningFormat.mChannelsPerFrame);
  const bool interleaved = (d.runningFormat.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
  const std::uint32_t buffers = interleaved ? 1 : channels;
  d.samples.assign(std::size_t(d.ioFrames) * channels, 0.0f);
  d.listStorage.assign(audioBufferListSize(buffers), std::byte{0});
  AudioBufferList* list = d.input();
  list->mNumberBuffers = buffers;
  const std::uint32_t perBuffer = d.ioFrames * (interleaved ? channels : 1);
  for (std::uint32_t b = 0; b < buffers; ++b)
    list->mBuffers[b] = {interleaved ? channels : 1, std::uint32_t(perBuffer * sizeof(float)),
                         d.samples.data() + std::size_t(b) * perBuffer};
  d.outputSamples.assign(std::size_t(d.ioFrames) * 2, 0.0f);
  d.output.mNumberBuffers = 1;
  d.output.mBuffers[0] = {2, std::uint32_t(d.outputSamples.size() * sizeof(float)),
                          d.outputSamples.data()};

  d.runningDevice = device;
  d.running = proc;
  d.startTime = d.now;
  d.runCycles = 0;
  d.cycle.store(0, std::memory_order_relaxed);
  return noErr;
}

OSStatus SimulatedPlatform::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) noexcept {
  log("deviceStop " + idText(device) + " " + procText(procID));
  Devices& d = *devices_;
  if (d.aggregates.count(device) == 0) return kAudioHardwareBadDeviceError;
  if (d.runningDevice == device && (procID == nullptr || procID == d.running)) {
    d.runningDevice = AudioObjectID::unknown;
    d.running = nullptr;
  }
  return noErr;
}

OSStatus SimulatedPlatform::destroyIOProcID(AudioObjectID device,
                                            AudioDeviceIOProcID procID) noexcept {
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
  log("removePropertyListenerBlock " + idText(object) + " " + codeText(address.mSelector) + " " +
      (listener ? "listener" + std::to_string(listener->number) : "null"));
  Devices& d = *devices_;
  auto it = d.listeners.find(listener);
  if (it == d.listeners.end() || it->second->object != object ||
      it->second->selector != address.mSelector)
    return kAudioHardwareBadObjectError;
  d.listeners.erase(it);
  return noErr;
}

// --- Audio files

std::shared_ptr<const AudioFormat> SimulatedPlatform::makeAudioFormat(
    const AudioStreamBasicDescription& description) {
  log("makeAudioFormat " + formatText(description));
  if (devices_->captureUnusable) return nullptr;
  return makeLinearPCMFormat(description);
}

std::shared_ptr<AudioFile> SimulatedPlatform::openAudioFileForWriting(
    const std::string& path, const AudioFileSettings& settings, AVAudioCommonFormat commonFormat,
    bool interleaved) {
  log("openAudioFileForWriting " + path + " " + codeText(settings.formatID) + " " +
      number(settings.sampleRate) + " " + std::to_string(settings.channels) + " common" +
      std::to_string(std::uint32_t(commonFormat)) + " " +
      (interleaved ? "interleaved" : "non-interleaved"));
  if (OSStatus s = injectedFailure("openAudioFileForWriting"))
    throw TextError(statusMessage(("无法创建音频文件 " + path).c_str(), s));
  return std::make_shared<SimulatedFile>(openSndfileForWriting(path, settings, interleaved),
                                         devices_->writeFailures, devices_->cycle);
}

std::optional<PCMBuffer> SimulatedPlatform::makePCMBufferNoCopy(
    const AudioFormat& format, const AudioBufferList* bufferList) noexcept {
  return wrapBufferListNoCopy(format, bufferList);
}

// --- The clock

double SimulatedPlatform::systemUptime() { return devices_->now; }

void SimulatedPlatform::sleepForTimeInterval(double seconds, const std::atomic<bool>& interrupted) {
  log("sleepForTimeInterval " + number(seconds));
  Devices& d = *devices_;
  const double end = std::isnan(seconds) || seconds <= 0 ? d.now : d.now + seconds;
  const double inf = std::numeric_limits<double>::infinity();
  while (!interrupted.load()) {
    const double next = d.runningDevice.isValid()
                            ? d.startTime + double(d.runCycles + 1) * d.ioFrames / d.rate
                            : inf;
    // The device's end: no more cycles, 'livn' becomes 0 and its listeners hear of it.
    if (d.deviceLostAt && d.runningDevice.isValid() &&
        d.startTime + *d.deviceLostAt <= std::min(next, end)) {
      d.now = std::max(d.now, d.startTime + *d.deviceLostAt);
      d.deviceLostAt.reset();
      const AudioObjectID lost = d.runningDevice;
      d.runningDevice = AudioObjectID::unknown;
      d.running = nullptr;
      setValue(lost, kAudioDevicePropertyDeviceIsAlive, std::uint32_t(0));
      for (auto& [handle, listener] : d.listeners)
        if (listener->object == lost && listener->selector == kAudioDevicePropertyDeviceIsAlive)
          listener->queue->runSync(&Devices::callListener, listener.get());
      continue;
    }
    if (d.interruptAt && *d.interruptAt <= std::min(next, end)) {
      d.now = std::max(d.now, *d.interruptAt);
      d.interruptAt.reset();
      std::raise(SIGINT);
      if (!interrupted.load() && std::isinf(end)) break;
      continue;
    }
    // Without end and without an interruption to come, a simulated wait would never return.
    if (next > end || (std::isinf(end) && !d.interruptAt && !d.deviceLostAt)) {
      if (std::isfinite(end)) d.now = end;
      break;
    }
    d.now = next;
    const std::int64_t cycle = ++d.runCycles;
    ++d.deliveredCycles;
    if (d.running == nullptr) continue;  // started without a block: nothing to call
    d.cycle.store(cycle, std::memory_order_relaxed);
    const std::uint32_t channels = std::max<std::uint32_t>(1, d.runningFormat.mChannelsPerFrame);
    const bool interleaved = (d.runningFormat.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    const std::int64_t first = (cycle - 1) * std::int64_t(d.ioFrames);
    for (std::uint32_t f = 0; f < d.ioFrames; ++f) {
      const float sample = toneSample(d.runningTones, d.rate, first + f);
      for (std::uint32_t c = 0; c < channels; ++c)
        d.samples[interleaved ? std::size_t(f) * channels + c : std::size_t(c) * d.ioFrames + f] =
            sample;
    }
    d.nowStamp.mSampleTime = d.inputStamp.mSampleTime = double(first);
    d.outputStamp.mSampleTime = double(first + d.ioFrames);
    d.running->queue->runSync(&Devices::callBlock, &d);
  }
}

}  // namespace pt::sim
