// The simulated platform: our model of Core Audio (and of the AVFoundation, AppKit and libproc
// calls around it), which the portable code is proven against on any system. Set up in a few
// lines or from a scenario file (scenario.h), it fails any step with a chosen status and logs
// every call in order with its arguments.
//
// What it models, as the real platform does it:
// - properties read size first, then data, never past the capacity given; unknown objects and
//   selectors answer '!obj' and 'who?'; 'id2p' answers kAudioObjectUnknown without an error for
//   a pid that has no process object; a process object's 'piro' says whether it plays;
// - a tap hears the tones of the processes it includes (or of all but those it excludes), in the
//   format 'tfmt' states, at the aggregate device's rate; without the user's permission it hears
//   silence and every call still succeeds;
// - the aggregate device's input: the output device's own input streams (a headset's microphone)
//   ahead of the tap's (or behind them), one buffer per stream, the tap's streams appearing a
//   moment after the aggregate is made, and a stream switched off for a registration
//   (kAudioDevicePropertyIOProcStreamUsage) reaching its block as a null buffer;
// - the IO block called on the queue's own thread, one call at a time, with input time stamps
//   whose sample time is valid; a stop after which no call runs; the device that dies on its own
//   ('livn' and its listeners), changes its rate ('nsrt' and its listeners, with notifications
//   still queued after their removal), or whose cycles stop while it runs; an overloaded IO block
//   that makes the device skip cycles; a start that waits for a tapped process to play, and one
//   that a stop does not end;
// - the real-time thread's rules, as test failures: a file write, a stop or a destroying call on
//   the IO queue ends the process; the writer thread kept in step with the virtual clock, its
//   writes stalled when asked;
// - AVAudioPCMBuffer refusing a buffer list that does not match its format; the file written by
//   libsndfile instead of AVAudioFile.
//
// - input devices ('dev#', 'dIn ', each one's 'lnam', 'uid ', 'slay', 'nsrt' and 'clkd'), one
//   input stream each playing a tone; an aggregate that lists one as a sub-device puts its stream
//   after the output device's own and ahead of the taps'; without the Microphone permission every
//   input stream holds silence and every call still succeeds;
//
// What it does not model: real time (a virtual clock advances in the sleep), more than one
// running device, clocks that drift (every sub-device runs at the aggregate's rate), formats
// other than 32-bit float, the permission prompts, and the HAL's own threads (listeners run on
// the given queue).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "audio/platform.h"

namespace pt::sim {

// Text form of a four-character code: 'prs#'.
std::string codeText(std::uint32_t code);

// One property of one object. The size query answers `reportedSize` when set, else the size of
// the data; the data read writes at most the capacity it is handed.
struct Property {
  std::variant<std::string, std::optional<std::string>> data;  // bytes, or a string property
  OSStatus sizeStatus = noErr;
  OSStatus dataStatus = noErr;
  std::optional<std::uint32_t> reportedSize;
};

// A read that fails with `status`.
struct Fail {
  OSStatus status;
};

// What an audio file's processing format has instead of what it was opened with.
struct ProcessingFormat {
  std::optional<double> sampleRate;
  std::optional<std::uint32_t> channels;
  std::optional<bool> interleaved;
};

// An input device with one input stream of `channels` interleaved channels playing `tone`.
struct InputDeviceModel {
  AudioObjectID id;
  std::string name;
  std::string uid;
  std::uint32_t channels = 1;
  double tone = 660;
  std::uint32_t clockDomain = 0;
};

struct ProcessObject {
  AudioObjectID id;
  std::variant<std::int32_t, Fail> pid;
  std::variant<std::string, Fail, std::monostate> bundleID;  // monostate: a null string
  std::variant<std::uint32_t, Fail> running;
};

class SimulatedPlatform : public Platform {
 public:
  SimulatedPlatform();
  ~SimulatedPlatform() override;

  // --- Objects and their properties, the call log (simulated_platform.cpp)
  void addObject(AudioObjectID id);
  // Raw bytes of a plain value; `qualifier` is the exact qualifier bytes it answers to.
  Property& setBytes(AudioObjectID object, AudioObjectPropertySelector selector, std::string bytes,
                     std::string qualifier = {});
  template <class T>
  Property& setValue(AudioObjectID object, AudioObjectPropertySelector selector, const T& value,
                     std::string qualifier = {}) {
    return setBytes(object, selector, std::string(reinterpret_cast<const char*>(&value), sizeof(T)),
                    std::move(qualifier));
  }
  // A string property; nullopt hands out a null reference.
  Property& setString(AudioObjectID object, AudioObjectPropertySelector selector,
                      std::optional<std::string> text);
  // Makes a property's reads fail; a status of 0 leaves that stage alone.
  Property& failProperty(AudioObjectID object, AudioObjectPropertySelector selector,
                         OSStatus sizeStatus, OSStatus dataStatus, std::string qualifier = {});
  Property* property(AudioObjectID object, AudioObjectPropertySelector selector,
                     std::string_view qualifier = {});

  // The next call of `operation` (its name in the log) fails with `status`; a later call succeeds
  // again unless `always`.
  void failCall(const std::string& operation, OSStatus status, bool always = false);

  // --- Processes and applications (simulated_processes.cpp)
  // Appends to the system object's process list and sets the object's properties ('piro' 0).
  void addProcessObject(const ProcessObject& process);
  void setProcessList(const std::vector<AudioObjectID>& ids);
  void addApplication(RunningApplication application);
  void setKernelName(std::int32_t pid, std::string bytes);
  void setOwnPid(std::int32_t pid) { ownPid_ = pid; }
  std::int32_t ownPid() const { return ownPid_; }  // unlike processIdentifier(), not logged
  // What 'id2p' answers for `pid`: an object, or a failing status.
  void setProcessObjectForPid(std::int32_t pid, std::variant<AudioObjectID, Fail> answer);

  // --- Taps, devices, IO and the clock (simulated_devices.cpp); files (simulated_files.cpp)
  // What 'tfmt' answers on every tap made from now on; default lpcm float32 interleaved stereo
  // at 48000 Hz.
  void setTapFormat(const AudioStreamBasicDescription& format);
  void failTapFormat(OSStatus status);
  // The aggregate device's 'nsrt'; without one the read fails with 'who?'.
  void setDeviceSampleRate(double rate);
  void failDeviceSampleRate(OSStatus status);
  // 'sOut' on the system object and 'uid ' on the device.
  void addOutputDevice(AudioObjectID device, const std::string& uid);
  // A sine tone played by a process object; a tap sums the tones of the processes it hears.
  // 'piro' reads 1 for a tone above 0 Hz, else 0.
  void setTone(AudioObjectID process, double hertz);
  // The output device has a microphone of its own: one input stream of `channels` interleaved
  // channels playing a tone. An aggregate with the device as sub-device puts it ahead of the tap's.
  void setSubDeviceInput(std::uint32_t channels, double hertz);
  // How an aggregate's input states its tap: its streams appear `tapStreamsAfter` seconds after
  // the aggregate is made and the sub-device's `subDeviceStreamsAfter` seconds after (each
  // appearance a notification of 'stm#', and a new input list for a running device), the tap's
  // ahead of the sub-device's when `tapFirst`, with `tapStreamChannels` channels each instead of
  // those 'tfmt' implies.
  void setAggregateInput(double tapStreamsAfter, double subDeviceStreamsAfter, bool tapFirst,
                         std::optional<std::uint32_t> tapStreamChannels);
  // Without the user's permission a tap hears only silence, and nothing says so.
  void setCaptureAllowed(bool allowed);
  // Appends an input device to 'dev#' (the default input when `isDefault`). One with the output
  // device's UID is that device's own microphone (setSubDeviceInput).
  void addInputDevice(const InputDeviceModel& device, bool isDefault = false);
  // Without the Microphone permission every input stream holds only silence.
  void setMicrophoneAllowed(bool allowed);
  void setIOFrames(std::uint32_t frames);
  // makeAudioFormat answers null.
  void setCaptureFormatUnusable(bool unusable);
  // Files opened from now on state this processing format.
  void setProcessingFormat(const ProcessingFormat& format);
  // The writes of these IO cycles (1 is the first cycle after a start) fail.
  void setWriteFailures(std::set<std::int64_t> cycles);
  // A failing createAggregateDevice or createIOProcIDWithBlock still writes a handle.
  void setWriteHandlesOnFailure(bool write);
  // The sleep raises SIGINT when the virtual clock reaches `seconds` after the first start.
  void interruptAt(double seconds);
  // The running device stops on its own `seconds` after the first start: its cycles end, 'livn'
  // reads 0 and its 'livn' listeners are called.
  void loseDeviceAt(double seconds);
  // The running device's 'nsrt' becomes `rate` `seconds` after the first start, and its 'nsrt'
  // listeners are called; the cycles go on as before. `repeats` more notifications of it are
  // still queued when the listeners are removed: they run as the platform ends.
  void changeDeviceRateAt(double seconds, double rate, std::uint32_t repeats = 0);
  // The write made while cycle N is the last delivered stalls for the given virtual seconds;
  // meanwhile the cycles go on.
  void stallWrites(std::map<std::int64_t, double> secondsByCycle);
  // The IO block of cycle N takes the given virtual seconds: the device skips the cycles it
  // overran, and the next input time stamp's sample time moves past them.
  void overloadIO(std::map<std::int64_t, double> secondsByCycle);
  // The tap's buffers of these cycles reach the block as null buffers.
  // Cycles whose input has null buffers for every tap, or only for the `tap`th of the aggregate's
  // tap list.
  void setUnreadableCycles(std::set<std::int64_t> cycles,
                           std::optional<std::uint32_t> tap = std::nullopt);
  // The running device's cycles stop `seconds` after its start; it still runs and 'livn' stays 1.
  void stopCyclesAt(double seconds);
  // The tool is stopped (SIGSTOP) `at` seconds after the start, for `seconds`: the sleep then
  // returns late, and the cycles due meanwhile arrive at once in the next.
  void stopRecorderAt(double at, double seconds);
  // The next start waits `seconds` (infinity: until a stop) for a tapped process to play, as
  // Core Audio's start of an aggregate with tapautostart does. An interrupt due meanwhile
  // arrives during it; the start then waits for the stop and fails, or, `outlivesStop`, never
  // returns.
  void blockStart(double seconds, bool outlivesStop = false);
  // What droppedFrames answers.
  void setDroppedFrames(std::int64_t frames);

  std::vector<Value> aggregateDescriptions() const;
  std::vector<CATapDescription> tapDescriptions() const;
  std::int64_t deliveredCycles() const;
  // Whether an IO block was ever handed a sub-device's input (a stream left switched on).
  bool subDeviceInputDelivered() const;
  double virtualTime() const;
  // The interleaved samples of a cycle as the simulated tap produces them, for checking files.
  static float toneSample(const std::vector<double>& hertz, double rate, std::int64_t frame);

  // --- Observing
  std::vector<std::string> calls() const;
  void clearCalls();
  int liveStrings() const { return liveStrings_.load(); }

  // --- Platform
  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t qualifierSize, const void* qualifierData,
                               std::uint32_t& outDataSize) override;
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifierData,
                           std::uint32_t& ioDataSize, void* outData) override;
  OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifierData,
                           std::uint32_t dataSize, const void* data) override;
  CFStringRef makeString(std::string_view utf8) override;
  std::string stringText(CFStringRef string) override;
  void releaseString(CFStringRef string) noexcept override;

  OSStatus createProcessTap(const CATapDescription& description, AudioObjectID& outTapID) override;
  OSStatus destroyProcessTap(AudioObjectID tapID) noexcept override;
  OSStatus createAggregateDevice(const Value& description, AudioObjectID& ioDeviceID) override;
  OSStatus destroyAggregateDevice(AudioObjectID deviceID) noexcept override;
  std::shared_ptr<DispatchQueue> makeSerialQueue(const std::string& label) override;
  OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& outProcID, AudioObjectID device,
                                   std::shared_ptr<DispatchQueue> queue,
                                   AudioDeviceIOBlock block) override;
  OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override;
  OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) noexcept override;
  // Core Audio needs no word of the end; the call is logged so that tests see what was said.
  void deviceWillStopAt(AudioObjectID device, std::int64_t sampleTime) noexcept override;
  OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) noexcept override;
  OSStatus addPropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    std::shared_ptr<DispatchQueue> queue,
                                    AudioObjectPropertyListenerBlock block,
                                    AudioObjectPropertyListenerID& outListener) override;
  OSStatus removePropertyListenerBlock(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       AudioObjectPropertyListenerID listener) noexcept override;
  std::shared_ptr<const AudioFormat> makeAudioFormat(
      const AudioStreamBasicDescription& description) override;
  bool writesAudioFile(const AudioFileSettings& settings) const noexcept override;
  std::shared_ptr<AudioFile> openAudioFileForWriting(const std::string& path,
                                                     const AudioFileSettings& settings,
                                                     AVAudioCommonFormat commonFormat,
                                                     bool interleaved) override;
  std::optional<PCMBuffer> makePCMBufferNoCopy(const AudioFormat& format,
                                               const AudioBufferList* bufferList) noexcept override;

  std::vector<RunningApplication> runningApplications() override;
  int procName(std::int32_t pid, char* buffer, std::uint32_t size) override;
  std::int32_t processIdentifier() override;
  std::string randomUUID() override;
  void sleepForTimeInterval(double seconds, const std::atomic<bool>& interrupted) override;
  std::string silentCaptureReason() override;  // macOS's
  std::string silentInputReason() override;    // macOS's
  double systemUptime() override;              // the virtual clock; not logged
  bool cyclesContinueWhileSilent() const noexcept override { return true; }
  bool ioBlockIsRealTime() const noexcept override { return true; }  // Core Audio's
  std::int64_t droppedFrames(AudioObjectID device) noexcept override;
  std::shared_ptr<Semaphore> makeSemaphore() override;

  struct Devices;  // the devices' state, private to audio/simulated

 protected:
  // Logs one call; safe from any thread.
  void log(std::string entry);
  // The status a call fails with, or 0.
  OSStatus injectedFailure(const std::string& operation);

 private:
  struct Key {
    std::uint32_t object;
    std::uint32_t selector;
    std::string qualifier;
    auto operator<=>(const Key&) const = default;
  };
  // An aggregate's input streams ('slay' in the input scope), which follow from the devices made
  // and the clock; nothing for other reads.
  std::optional<std::string> inputStreams(AudioObjectID object,
                                          const AudioObjectPropertyAddress& a);
  // Resolves to a property or the status that a read of it answers.
  std::variant<Property*, OSStatus> find(AudioObjectID object, const AudioObjectPropertyAddress& a,
                                         std::uint32_t qualifierSize, const void* qualifierData);

  mutable std::mutex logMutex_;
  std::vector<std::string> calls_;
  std::map<std::string, std::pair<OSStatus, bool>> failures_;

  std::set<std::uint32_t> objects_;
  std::map<Key, Property> properties_;
  std::vector<AudioObjectID> processList_;
  std::vector<RunningApplication> applications_;
  std::map<std::int32_t, std::string> kernelNames_;
  std::int32_t ownPid_ = 4242;
  std::uint64_t uuidCounter_ = 0;
  std::atomic<int> liveStrings_{0};

  static std::shared_ptr<Devices> makeDevices();
  std::shared_ptr<Devices> devices_ = makeDevices();
};

// Installs a platform for the life of the scope.
class PlatformScope {
 public:
  explicit PlatformScope(Platform& platform) : previous_(installPlatform(&platform)) {}
  ~PlatformScope() { installPlatform(previous_); }
  PlatformScope(const PlatformScope&) = delete;
  PlatformScope& operator=(const PlatformScope&) = delete;

 private:
  Platform* previous_;
};

}  // namespace pt::sim
