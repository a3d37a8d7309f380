// The seam between the tool and the audio services of the system it runs on.
//
// Every operation mirrors one call of the macOS platform (Core Audio, CATapDescription,
// AVFoundation, AppKit, Foundation, Dispatch, libproc) with the same arguments and the same
// results, so that the portable code can be read against Apple's reference and so that the
// simulated platform can observe every argument. Implementations: audio/macos (Core Audio),
// audio/pulse (the PulseAudio protocol) and the simulated platform of the tests.
//
// Contract for every implementation:
// - Creating calls return an OSStatus (0 is success) and write the new handle only on success,
//   unless noted. Destroying calls may be made with handles that were never created or are
//   already gone; they answer a status and have no other effect then.
// - All operations are called on the tool's main thread, except those marked "IO thread", which
//   the IO block makes on the recorder's serial queue while the device runs, the property reads a
//   listener block makes on its own queue (to tell a change from a repeated value), and those
//   marked "writer thread", which the recorder's own writer makes. deviceStart is made on a
//   thread of the recorder's (it may block, and may still block after the teardown); deviceStop,
//   destroyIOProcID and the destroying calls may come from the main thread while it blocks. No
//   stop, listener removal or destroying call is ever made on the IO queue or a listener's.
// - Property data is never written past the capacity passed in `ioDataSize`.
// - Nothing here throws, except openAudioFileForWriting (the writer's own error, as TextError).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/audio_object_id.h"
#include "audio/core_audio_types.h"
#include "audio/value.h"

namespace pt {

// A Core Foundation string reference handed out by a string-valued property read. The reader
// owns it and releases it with Platform::releaseString.
using CFStringRef = const struct PlatformString*;

// CATapDescription, as a value the adapter converts.
enum class CATapMuteBehavior : std::int64_t {
  CATapUnmuted = 0,
  CATapMuted = 1,
  CATapMutedWhenTapped = 2
};

struct CATapDescription {
  enum class Kind {
    stereoMixdownOfProcesses,           // initStereoMixdownOfProcesses:
    stereoGlobalTapButExcludeProcesses  // initStereoGlobalTapButExcludeProcesses:
  };
  Kind kind = Kind::stereoMixdownOfProcesses;
  std::vector<AudioObjectID> processes;
  std::string UUID;  // standard 36-character text form
  CATapMuteBehavior muteBehavior = CATapMuteBehavior::CATapUnmuted;
};

// The IO block: current time, input list, input time, output list, output time. Called on the
// queue it was registered with, one call at a time.
using AudioDeviceIOBlock =
    std::function<void(const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                       const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
                       const AudioTimeStamp* inOutputTime)>;

// A counting semaphore (dispatch_semaphore_t) by which the IO block wakes the recorder's writer.
class Semaphore {
 public:
  virtual ~Semaphore() = default;
  // Real-time safe: never blocks, allocates or takes a lock.
  virtual void signal() noexcept = 0;
  // Blocks until a signal is available and takes it.
  virtual void wait() noexcept = 0;
};

// An IO block registration; null is none.
using AudioDeviceIOProcID = const struct PlatformIOProc*;

// AudioObjectPropertyListenerBlock: the number of addresses that changed, and the addresses.
using AudioObjectPropertyListenerBlock = std::function<void(
    std::uint32_t inNumberAddresses, const AudioObjectPropertyAddress* inAddresses)>;

// A property listener registration; null is none. (Core Audio identifies a listener by its block;
// a handle says the same without comparing blocks.)
using AudioObjectPropertyListenerID = const struct PlatformListener*;

// A serial dispatch queue. The platform keeps a reference for as long as a registration uses it.
class DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;
  virtual const std::string& label() const = 0;
};

enum class AVAudioCommonFormat : std::uint32_t {
  AVAudioOtherFormat = 0,
  AVAudioPCMFormatFloat32 = 1,
  AVAudioPCMFormatFloat64 = 2,
  AVAudioPCMFormatInt16 = 3,
  AVAudioPCMFormatInt32 = 4
};

// AVAudioFormat made from a stream description. Immutable; shared by the main thread and the IO
// block.
class AudioFormat {
 public:
  virtual ~AudioFormat() = default;
  virtual double sampleRate() const = 0;
  virtual std::uint32_t channelCount() const = 0;
  virtual bool isInterleaved() const = 0;
  virtual const AudioStreamBasicDescription& streamDescription() const = 0;
  // By default what the description states: native-endian 32-bit float, or another format.
  virtual AVAudioCommonFormat commonFormat() const;
};

// AVAudioPCMBuffer over memory the caller owns (bufferListNoCopy, no deallocator). A small value;
// `platformObject` belongs to the adapter and is released by `release` when the buffer goes. A
// view made from another buffer's list and object, without `release`, shares that object.
class PCMBuffer {
 public:
  using Release = void (*)(void* platformObject) noexcept;
  PCMBuffer(const AudioBufferList* list, std::uint32_t frameLength, void* platformObject = nullptr,
            Release release = nullptr) noexcept
      : list_(list), frameLength_(frameLength), object_(platformObject), release_(release) {}
  PCMBuffer(PCMBuffer&& other) noexcept
      : list_(other.list_),
        frameLength_(other.frameLength_),
        object_(std::exchange(other.object_, nullptr)),
        release_(std::exchange(other.release_, nullptr)) {}
  PCMBuffer(const PCMBuffer&) = delete;
  PCMBuffer& operator=(const PCMBuffer&) = delete;
  PCMBuffer& operator=(PCMBuffer&&) = delete;
  ~PCMBuffer() {
    if (release_) release_(object_);
  }

  const AudioBufferList* bufferList() const noexcept { return list_; }
  std::uint32_t frameLength() const noexcept { return frameLength_; }
  void* platformObject() const noexcept { return object_; }

 private:
  const AudioBufferList* list_;
  std::uint32_t frameLength_;
  void* object_;
  Release release_;
};

// The file settings of initForWriting:settings:commonFormat:interleaved:error:, as
// audioFileSettingsFor (audio/file_settings.h) chooses them for a path.
struct AudioFileSettings {
  AudioFileTypeID fileType;  // AVAudioFileTypeKey; 0: none, the extension decides
  AudioFormatID formatID;    // AVFormatIDKey
  double sampleRate;         // AVSampleRateKey
  std::uint32_t channels;    // AVNumberOfChannelsKey
  // Linear PCM: AVLinearPCMBitDepthKey, AVLinearPCMIsFloatKey, AVLinearPCMIsBigEndianKey.
  // Lossless codecs: AVEncoderBitDepthHintKey, the depth the samples are rounded to.
  std::uint32_t bitDepth = 0;
  bool isFloat = false;
  bool isBigEndian = false;
  std::uint32_t bitRate = 0;  // AVEncoderBitRateKey for lossy codecs; 0: the encoder's choice
};

// AVAudioFile open for writing. Releasing the last reference completes and closes the file.
class AudioFile {
 public:
  virtual ~AudioFile() = default;
  // writeFromBuffer:error: (writer thread). On failure returns false and points `errorDescription`
  // at the error's localizedDescription, valid until the next call on this file. Never
  // allocates on success.
  virtual bool writeFromBuffer(const PCMBuffer& buffer,
                               std::string_view& errorDescription) noexcept = 0;
  // (writer thread) True once the container holds all that its format can: every later write
  // fails.
  virtual bool isFull() const noexcept { return false; }
  // processingFormat, which every buffer written must match; null where the writer takes any
  // buffer it is handed.
  virtual std::shared_ptr<const AudioFormat> processingFormat() const { return nullptr; }
};

// NSRunningApplication.
struct RunningApplication {
  std::int32_t processIdentifier = 0;
  std::optional<std::string> localizedName;
  std::optional<std::string> bundleIdentifier;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // --- Core Audio properties
  // AudioObjectGetPropertyDataSize: `outDataSize` starts at 0.
  virtual OSStatus getPropertyDataSize(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       std::uint32_t qualifierSize, const void* qualifierData,
                                       std::uint32_t& outDataSize) = 0;
  // AudioObjectGetPropertyData: `ioDataSize` is the capacity of `outData` in, bytes written out.
  virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t qualifierSize, const void* qualifierData,
                                   std::uint32_t& ioDataSize, void* outData) = 0;
  // AudioObjectSetPropertyData. A platform without settable properties keeps this answer,
  // kAudioHardwareUnknownPropertyError.
  virtual OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t qualifierSize, const void* qualifierData,
                                   std::uint32_t dataSize, const void* data);

  // --- Core Foundation strings
  virtual CFStringRef makeString(std::string_view utf8) = 0;
  virtual std::string stringText(CFStringRef string) = 0;       // null is the empty text
  virtual void releaseString(CFStringRef string) noexcept = 0;  // null is ignored

  // --- Process taps and aggregate devices
  virtual OSStatus createProcessTap(const CATapDescription& description,
                                    AudioObjectID& outTapID) = 0;
  virtual OSStatus destroyProcessTap(AudioObjectID tapID) noexcept = 0;
  // The platform may write `ioDeviceID` even when it fails.
  virtual OSStatus createAggregateDevice(const Value& description, AudioObjectID& ioDeviceID) = 0;
  virtual OSStatus destroyAggregateDevice(AudioObjectID deviceID) noexcept = 0;

  // --- IO
  virtual std::shared_ptr<DispatchQueue> makeSerialQueue(const std::string& label) = 0;
  // The platform may write `outProcID` even when it fails. It holds `queue` and `block` until
  // the registration is destroyed. The block runs on `queue`, or, as Core Audio's without a
  // queue, on the thread where the platform receives the audio: one call at a time, in order,
  // never beside a call on the queue.
  virtual OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& outProcID, AudioObjectID device,
                                           std::shared_ptr<DispatchQueue> queue,
                                           AudioDeviceIOBlock block) = 0;
  // May block: a tap aggregate with tapautostart waits until a tapped process plays. A stop of
  // the device from the main thread may end the wait; nothing says that it does, nor that the
  // start then fails.
  virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  // dispatch_semaphore_create(0).
  virtual std::shared_ptr<Semaphore> makeSemaphore();
  // When it returns, no call of the block is running or will start.
  virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) noexcept = 0;
  virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) noexcept = 0;

  // --- Property listeners
  // AudioObjectAddPropertyListenerBlock: `block` runs on `queue` after the property of `object`
  // changed. The platform holds `queue` and `block` until the listener is removed.
  virtual OSStatus addPropertyListenerBlock(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            std::shared_ptr<DispatchQueue> queue,
                                            AudioObjectPropertyListenerBlock block,
                                            AudioObjectPropertyListenerID& outListener) = 0;
  // AudioObjectRemovePropertyListenerBlock. A call of the block already queued may still run,
  // even after the platform is gone: the macOS platform waits for those it can see queued, but
  // nothing says that the HAL queues none later.
  virtual OSStatus removePropertyListenerBlock(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               AudioObjectPropertyListenerID listener) noexcept = 0;

  // --- Audio files
  // AVAudioFormat initWithStreamDescription:, or null when the description is not usable.
  virtual std::shared_ptr<const AudioFormat> makeAudioFormat(
      const AudioStreamBasicDescription& description) = 0;
  // Whether openAudioFileForWriting makes files of these settings' container and format at all
  // (their rate aside), so that the user is told the extensions there is a writer for. AVFoundation
  // writes only some of the containers; a platform that writes every one keeps this answer, true.
  virtual bool writesAudioFile(const AudioFileSettings& settings) const noexcept;
  // Throws TextError with the writer's own message when the file cannot be created.
  virtual std::shared_ptr<AudioFile> openAudioFileForWriting(const std::string& path,
                                                             const AudioFileSettings& settings,
                                                             AVAudioCommonFormat commonFormat,
                                                             bool interleaved) = 0;
  // initWithPCMFormat:bufferListNoCopy:deallocator:, or nothing when the list cannot be wrapped
  // in that format. The recorder makes one before the device starts, over memory its writer
  // refills, and hands it to writeFromBuffer with the frame length of each write.
  virtual std::optional<PCMBuffer> makePCMBufferNoCopy(
      const AudioFormat& format, const AudioBufferList* bufferList) noexcept = 0;

  // --- Processes and the rest of the system
  virtual std::vector<RunningApplication> runningApplications() = 0;
  // proc_name: writes a NUL-terminated name into `buffer` of `size` bytes; > 0 on success.
  virtual int procName(std::int32_t pid, char* buffer, std::uint32_t size) = 0;
  virtual std::int32_t processIdentifier() = 0;
  virtual std::string randomUUID() = 0;  // NSUUID UUIDString
  // Sleeps for `seconds` (infinity: without end), returning early once `interrupted` is true.
  virtual void sleepForTimeInterval(double seconds, const std::atomic<bool>& interrupted) = 0;
  // Why a capture can hold only silence while the processes it taps play, as one sentence for
  // the user (no Core Audio call answers it: on macOS it is the missing System Audio Recording
  // permission, which no interface can query).
  virtual std::string silentCaptureReason() = 0;
  // The same for an input device that delivers only silence (on macOS, the Microphone
  // permission, which also answers no query).
  virtual std::string silentInputReason() = 0;
  // When the system's sound service could not be reached at all in this run, one sentence for
  // the user that says so and where it was looked for; nothing otherwise. Core Audio is part of
  // the system and keeps this answer, nothing.
  virtual std::string unreachableServiceReason();
  // NSProcessInfo systemUptime: seconds on a clock that only moves forward, for timing a wait
  // made of several sleeps.
  virtual double systemUptime() = 0;

  // --- Losses and liveness that Core Audio states otherwise
  // Frames of audio the platform received for `device` and could not hand to its IO block (a
  // full or trimmed buffer, streams beyond a limit). Core Audio reports the cycles it skips
  // through the input time stamps instead, and answers 0. Read once the device has stopped.
  virtual std::int64_t droppedFrames(AudioObjectID device) noexcept;
  // Whether a running device's IO cycles go on while its targets are silent, so that cycles that
  // stop mean the device stopped delivering. No document says so of a tap aggregate: false.
  virtual bool cyclesContinueWhileSilent() const noexcept;
  // Whether the IO block runs on a real-time thread that must never wait, as Core Audio's does
  // (true there). Where the block runs on a thread of the tool's own (false, the default), it
  // waits a moment for room in the recorder's ring instead of dropping audio the platform
  // delivered in a burst, as after the recorder itself was stopped.
  virtual bool ioBlockIsRealTime() const noexcept;
  // The recorder stops `device` once its IO block has been handed the time line up to sample time
  // `sampleTime`. A platform that gathers its device's audio into batches may hand it over sooner
  // as that time nears; Core Audio's cycles need no word (the default does nothing).
  virtual void deviceWillStopAt(AudioObjectID device, std::int64_t sampleTime) noexcept;
};

// The platform every operation of the tool reaches. Installed once by the entry, or by a test.
Platform& platform();
// Installs `platform` and returns the previous one (may be null).
Platform* installPlatform(Platform* platform);

// The native platform of this build (audio/macos or audio/pulse).
std::unique_ptr<Platform> makeNativePlatform();

}  // namespace pt
