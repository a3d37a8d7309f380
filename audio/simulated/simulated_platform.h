// A scripted platform: processes, applications and properties set up in a few lines, a failure
// with a chosen status at every step, and a log of every call in order with its arguments.
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

  // --- Setting up
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

  // Appends to the system object's process list and sets the object's three properties.
  void addProcessObject(const ProcessObject& process);
  void setProcessList(const std::vector<AudioObjectID>& ids);
  void addApplication(RunningApplication application);
  void setKernelName(std::int32_t pid, std::string bytes);
  void setOwnPid(std::int32_t pid) { ownPid_ = pid; }
  std::int32_t ownPid() const { return ownPid_; }  // unlike processIdentifier(), not logged
  // What 'id2p' answers for `pid`: an object, or a failing status.
  void setProcessObjectForPid(std::int32_t pid, std::variant<AudioObjectID, Fail> answer);

  // The next call of `operation` (its name in the log) fails with `status`; a later call succeeds
  // again unless `always`.
  void failCall(const std::string& operation, OSStatus status, bool always = false);

  // --- Devices, IO and audio (audio/simulated/simulated_devices.cpp)
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
  void setTone(AudioObjectID process, double hertz);
  void setIOFrames(std::uint32_t frames);
  // makeAudioFormat answers null.
  void setCaptureFormatUnusable(bool unusable);
  // The writes of these IO cycles (1 is the first cycle after a start) fail.
  void setWriteFailures(std::set<std::int64_t> cycles);
  // A failing createAggregateDevice or createIOProcIDWithBlock still writes a handle.
  void setWriteHandlesOnFailure(bool write);
  // The sleep raises SIGINT when the virtual clock reaches `seconds` after the first start.
  void interruptAt(double seconds);
  // The running device stops on its own `seconds` after the first start: its cycles end, 'livn'
  // reads 0 and its 'livn' listeners are called.
  void loseDeviceAt(double seconds);

  std::vector<Value> aggregateDescriptions() const;
  std::vector<CATapDescription> tapDescriptions() const;
  std::int64_t deliveredCycles() const;
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
  double systemUptime() override;  // the virtual clock; not logged

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

  struct Devices;
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
