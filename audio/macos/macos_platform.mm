// The platform on macOS: each operation is the one Core Audio, AVFAudio, AppKit, Foundation,
// Dispatch or libproc call it is named after. What to call, when and with what is decided by the
// portable code; this file only translates types.
#import <AVFAudio/AVFAudio.h>
#import <AppKit/AppKit.h>
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <CoreAudio/CoreAudio.h>
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>
#include <libproc.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/file_settings.h"
#include "audio/macos/silent_capture_reason.h"
#include "audio/platform.h"
#include "audio/text_error.h"

// The portable records are Apple's: pointers to them are passed through unconverted.
#define PT_SAME_FIELD(record, field) \
  static_assert(offsetof(pt::record, field) == offsetof(::record, field), #record "." #field)
static_assert(sizeof(pt::AudioObjectPropertyAddress) == sizeof(::AudioObjectPropertyAddress));
PT_SAME_FIELD(AudioObjectPropertyAddress, mScope);
PT_SAME_FIELD(AudioObjectPropertyAddress, mElement);
static_assert(sizeof(pt::AudioStreamBasicDescription) == sizeof(::AudioStreamBasicDescription));
PT_SAME_FIELD(AudioStreamBasicDescription, mFormatID);
PT_SAME_FIELD(AudioStreamBasicDescription, mFormatFlags);
PT_SAME_FIELD(AudioStreamBasicDescription, mBytesPerPacket);
PT_SAME_FIELD(AudioStreamBasicDescription, mFramesPerPacket);
PT_SAME_FIELD(AudioStreamBasicDescription, mBytesPerFrame);
PT_SAME_FIELD(AudioStreamBasicDescription, mChannelsPerFrame);
PT_SAME_FIELD(AudioStreamBasicDescription, mBitsPerChannel);
static_assert(sizeof(pt::AudioBuffer) == sizeof(::AudioBuffer));
PT_SAME_FIELD(AudioBuffer, mDataByteSize);
PT_SAME_FIELD(AudioBuffer, mData);
static_assert(sizeof(pt::AudioBufferList) == sizeof(::AudioBufferList));
PT_SAME_FIELD(AudioBufferList, mBuffers);
static_assert(sizeof(pt::SMPTETime) == sizeof(::SMPTETime));
static_assert(sizeof(pt::AudioTimeStamp) == sizeof(::AudioTimeStamp));
PT_SAME_FIELD(AudioTimeStamp, mHostTime);
PT_SAME_FIELD(AudioTimeStamp, mRateScalar);
PT_SAME_FIELD(AudioTimeStamp, mWordClockTime);
PT_SAME_FIELD(AudioTimeStamp, mSMPTETime);
PT_SAME_FIELD(AudioTimeStamp, mFlags);
static_assert(sizeof(pt::AudioHardwareIOProcStreamUsage) ==
              sizeof(::AudioHardwareIOProcStreamUsage));
PT_SAME_FIELD(AudioHardwareIOProcStreamUsage, mNumberStreams);
PT_SAME_FIELD(AudioHardwareIOProcStreamUsage, mStreamIsOn);
#undef PT_SAME_FIELD

// The portable constants are the SDK's.
static_assert(pt::kAudioObjectPropertyScopeGlobal == kAudioObjectPropertyScopeGlobal);
static_assert(pt::kAudioObjectPropertyScopeInput == kAudioObjectPropertyScopeInput);
static_assert(pt::kAudioObjectPropertyElementMain == kAudioObjectPropertyElementMain);
static_assert(pt::kAudioObjectPropertyScopeWildcard == kAudioObjectPropertyScopeWildcard);
static_assert(pt::kAudioObjectPropertyElementWildcard == kAudioObjectPropertyElementWildcard);
static_assert(pt::kAudioDevicePropertyStreams == kAudioDevicePropertyStreams);
static_assert(pt::AudioObjectID::system == kAudioObjectSystemObject);
static_assert(pt::AudioObjectID::unknown == kAudioObjectUnknown);
static_assert(pt::kAudioHardwarePropertyProcessObjectList ==
              kAudioHardwarePropertyProcessObjectList);
static_assert(pt::kAudioHardwarePropertyTranslatePIDToProcessObject ==
              kAudioHardwarePropertyTranslatePIDToProcessObject);
static_assert(pt::kAudioHardwarePropertyDefaultSystemOutputDevice ==
              kAudioHardwarePropertyDefaultSystemOutputDevice);
static_assert(pt::kAudioProcessPropertyPID == kAudioProcessPropertyPID);
static_assert(pt::kAudioProcessPropertyBundleID == kAudioProcessPropertyBundleID);
static_assert(pt::kAudioProcessPropertyIsRunning == kAudioProcessPropertyIsRunning);
static_assert(pt::kAudioProcessPropertyIsRunningOutput == kAudioProcessPropertyIsRunningOutput);
static_assert(pt::kAudioDevicePropertyStreamConfiguration ==
              kAudioDevicePropertyStreamConfiguration);
static_assert(pt::kAudioDevicePropertyIOProcStreamUsage == kAudioDevicePropertyIOProcStreamUsage);
static_assert(pt::kAudioDevicePropertyDeviceUID == kAudioDevicePropertyDeviceUID);
static_assert(pt::kAudioTapPropertyFormat == kAudioTapPropertyFormat);
static_assert(pt::kAudioDevicePropertyNominalSampleRate == kAudioDevicePropertyNominalSampleRate);
static_assert(pt::kAudioDevicePropertyDeviceIsAlive == kAudioDevicePropertyDeviceIsAlive);
static_assert(pt::kAudioFormatLinearPCM == kAudioFormatLinearPCM);
static_assert(pt::kAudioTimeStampSampleTimeValid == kAudioTimeStampSampleTimeValid);
static_assert(pt::kAudioFormatFlagIsFloat == kAudioFormatFlagIsFloat);
static_assert(pt::kAudioFormatFlagIsBigEndian == kAudioFormatFlagIsBigEndian);
static_assert(pt::kAudioFormatFlagIsPacked == kAudioFormatFlagIsPacked);
static_assert(pt::kAudioFormatFlagIsNonInterleaved == kAudioFormatFlagIsNonInterleaved);
static_assert(std::int64_t(pt::CATapMuteBehavior::CATapUnmuted) == CATapUnmuted);
static_assert(std::int64_t(pt::CATapMuteBehavior::CATapMuted) == CATapMuted);
static_assert(std::int64_t(pt::CATapMuteBehavior::CATapMutedWhenTapped) == CATapMutedWhenTapped);
static_assert(std::uint32_t(pt::AVAudioCommonFormat::AVAudioOtherFormat) == AVAudioOtherFormat);
static_assert(std::uint32_t(pt::AVAudioCommonFormat::AVAudioPCMFormatFloat32) ==
              AVAudioPCMFormatFloat32);
static_assert(std::uint32_t(pt::AVAudioCommonFormat::AVAudioPCMFormatFloat64) ==
              AVAudioPCMFormatFloat64);
static_assert(std::uint32_t(pt::AVAudioCommonFormat::AVAudioPCMFormatInt16) ==
              AVAudioPCMFormatInt16);
static_assert(std::uint32_t(pt::AVAudioCommonFormat::AVAudioPCMFormatInt32) ==
              AVAudioPCMFormatInt32);

// The aggregate description's keys are written by the portable code as the SDK's strings.
static_assert(std::string_view(kAudioAggregateDeviceUIDKey) == "uid");
static_assert(std::string_view(kAudioAggregateDeviceNameKey) == "name");
static_assert(std::string_view(kAudioAggregateDeviceMainSubDeviceKey) == "master");
static_assert(std::string_view(kAudioAggregateDeviceIsPrivateKey) == "private");
static_assert(std::string_view(kAudioAggregateDeviceIsStackedKey) == "stacked");
static_assert(std::string_view(kAudioAggregateDeviceTapAutoStartKey) == "tapautostart");
static_assert(std::string_view(kAudioAggregateDeviceSubDeviceListKey) == "subdevices");
static_assert(std::string_view(kAudioAggregateDeviceTapListKey) == "taps");
static_assert(std::string_view(kAudioSubDeviceUIDKey) == "uid");
static_assert(std::string_view(kAudioSubTapUIDKey) == "uid");
static_assert(std::string_view(kAudioSubTapDriftCompensationKey) == "drift");

// Core Audio knows a listener by its block and queue; the handle keeps both for the removal.
struct pt::PlatformListener {
  ::AudioObjectPropertyListenerBlock block;
  dispatch_queue_t queue;
};

namespace {

const ::AudioObjectPropertyAddress* apple(const pt::AudioObjectPropertyAddress& address) {
  return reinterpret_cast<const ::AudioObjectPropertyAddress*>(&address);
}

::AudioDeviceIOProcID apple(pt::AudioDeviceIOProcID procID) {
  return reinterpret_cast<::AudioDeviceIOProcID>(const_cast<pt::PlatformIOProc*>(procID));
}

// nil when `text` is not UTF-8.
NSString* nsString(std::string_view text) {
  return [[NSString alloc] initWithBytes:text.data()
                                  length:text.size()
                                encoding:NSUTF8StringEncoding];
}

std::optional<std::string> utf8(NSString* string) {
  const char* text = string.UTF8String;
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

// The property-list form of a description value, or nil when one of its texts is not UTF-8.
// Foundation's containers are Core Foundation's, so the result is the CFDictionary itself.
id propertyList(const pt::Value& value) {
  if (value.isText()) return nsString(value.text());
  if (value.isBool()) return value.boolean() ? @YES : @NO;
  if (value.isList()) {
    NSMutableArray* list = [NSMutableArray arrayWithCapacity:value.list().size()];
    for (const pt::Value& item : value.list()) {
      id converted = propertyList(item);
      if (converted == nil) return nil;
      [list addObject:converted];
    }
    return list;
  }
  NSMutableDictionary* dictionary =
      [NSMutableDictionary dictionaryWithCapacity:value.dictionary().size()];
  for (const auto& [key, item] : value.dictionary()) {
    NSString* convertedKey = nsString(key);
    id converted = propertyList(item);
    if (convertedKey == nil || converted == nil) return nil;
    [dictionary setObject:converted forKey:convertedKey];
  }
  return dictionary;
}

class SerialQueue final : public pt::DispatchQueue {
 public:
  explicit SerialQueue(const std::string& label)
      : label_(label), queue_(dispatch_queue_create(label_.c_str(), DISPATCH_QUEUE_SERIAL)) {}
  const std::string& label() const override { return label_; }
  dispatch_queue_t queue() const { return queue_; }

 private:
  std::string label_;
  dispatch_queue_t queue_;
};

class Format final : public pt::AudioFormat {
 public:
  explicit Format(AVAudioFormat* format) : format_(format) {}
  double sampleRate() const override { return format_.sampleRate; }
  std::uint32_t channelCount() const override { return format_.channelCount; }
  bool isInterleaved() const override { return format_.isInterleaved; }
  const pt::AudioStreamBasicDescription& streamDescription() const override {
    return *reinterpret_cast<const pt::AudioStreamBasicDescription*>(format_.streamDescription);
  }
  pt::AVAudioCommonFormat commonFormat() const override {
    return static_cast<pt::AVAudioCommonFormat>(format_.commonFormat);
  }
  AVAudioFormat* format() const { return format_; }

 private:
  AVAudioFormat* format_;
};

class File final : public pt::AudioFile {
 public:
  explicit File(AVAudioFile* file) : file_(file) {}
  // The recorder releases the file once the device is stopped and drained, so this is when the
  // header is completed, whoever else still holds the object.
  ~File() override { [file_ close]; }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // On the recorder's writer thread, with the one AVAudioPCMBuffer made over the writer's memory
  // before the start: each write sets the frames it holds. The pool drains the error the write
  // may autorelease, since that thread has none. AVFoundation may raise instead of answering an
  // error (a buffer unlike the processing format, say); that too is a failed write, since
  // nothing may leave this function.
  bool writeFromBuffer(const pt::PCMBuffer& buffer,
                       std::string_view& errorDescription) noexcept override {
    AVAudioPCMBuffer* pcm = (__bridge AVAudioPCMBuffer*)buffer.platformObject();
    if (pcm == nil) {
      errorDescription = {};
      return false;
    }
    @autoreleasepool {
      @try {
        pcm.frameLength = buffer.frameLength();
        NSError* error = nil;
        if ([file_ writeFromBuffer:pcm error:&error]) return true;
        errorDescription_ = utf8(error.localizedDescription).value_or(std::string());
      } @catch (NSException* exception) {
        errorDescription_ = utf8(exception.reason).value_or(std::string());
      }
    }
    errorDescription = errorDescription_;
    return false;
  }

  std::shared_ptr<const pt::AudioFormat> processingFormat() const override {
    return std::make_shared<Format>(file_.processingFormat);
  }

 private:
  AVAudioFile* file_;
  std::string errorDescription_;  // writer thread only
};

void releasePCMBuffer(void* object) noexcept {
  if (object != nullptr) CFBridgingRelease(object);
}

class MacPlatform final : public pt::Platform {
 public:
  MacPlatform() {
    // Listeners must fire in a tool that never runs its run loop: with NULL the HAL notifies on
    // a thread of its own (AudioHardwareDeprecated.h).
    const ::AudioObjectPropertyAddress address{kAudioHardwarePropertyRunLoop,
                                               kAudioObjectPropertyScopeGlobal,
                                               kAudioObjectPropertyElementMain};
    CFRunLoopRef none = nullptr;
    AudioObjectSetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, sizeof none, &none);
  }

  OSStatus getPropertyDataSize(pt::AudioObjectID object,
                               const pt::AudioObjectPropertyAddress& address,
                               std::uint32_t qualifierSize, const void* qualifierData,
                               std::uint32_t& outDataSize) override {
    return AudioObjectGetPropertyDataSize(object, apple(address), qualifierSize, qualifierData,
                                          &outDataSize);
  }

  OSStatus getPropertyData(pt::AudioObjectID object, const pt::AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifierData,
                           std::uint32_t& ioDataSize, void* outData) override {
    // A string property writes a retained CFStringRef, which is the caller's pt::CFStringRef.
    return AudioObjectGetPropertyData(object, apple(address), qualifierSize, qualifierData,
                                      &ioDataSize, outData);
  }

  // The data passes through unconverted: an AudioDeviceIOProcID in it (mIOProc of the stream
  // usage) is Core Audio's own handle.
  OSStatus setPropertyData(pt::AudioObjectID object, const pt::AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifierData,
                           std::uint32_t dataSize, const void* data) override {
    return AudioObjectSetPropertyData(object, apple(address), qualifierSize, qualifierData,
                                      dataSize, data);
  }

  pt::CFStringRef makeString(std::string_view utf8) override {
    return reinterpret_cast<pt::CFStringRef>(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(utf8.data()),
                                CFIndex(utf8.size()), kCFStringEncodingUTF8, false));
  }

  std::string stringText(pt::CFStringRef string) override {
    if (string == nullptr) return {};
    const ::CFStringRef cf = reinterpret_cast<::CFStringRef>(string);
    const CFRange all = CFRangeMake(0, CFStringGetLength(cf));
    CFIndex size = 0;
    CFStringGetBytes(cf, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &size);
    std::string text(std::size_t(size), '\0');
    CFStringGetBytes(cf, all, kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8*>(text.data()), size, &size);
    text.resize(std::size_t(size));
    return text;
  }

  void releaseString(pt::CFStringRef string) noexcept override {
    if (string != nullptr) CFRelease(string);
  }

  OSStatus createProcessTap(const pt::CATapDescription& description,
                            pt::AudioObjectID& outTapID) override {
    @autoreleasepool {
      NSUUID* uuid = nil;
      if (NSString* text = nsString(description.UUID))
        uuid = [[NSUUID alloc] initWithUUIDString:text];
      if (uuid == nil) return pt::kAudio_ParamError;
      NSMutableArray<NSNumber*>* processes =
          [NSMutableArray arrayWithCapacity:description.processes.size()];
      for (pt::AudioObjectID process : description.processes)
        [processes addObject:@(std::uint32_t(process))];

      CATapDescription* tap = nil;
      switch (description.kind) {
        case pt::CATapDescription::Kind::stereoMixdownOfProcesses:
          tap = [[CATapDescription alloc] initStereoMixdownOfProcesses:processes];
          break;
        case pt::CATapDescription::Kind::stereoGlobalTapButExcludeProcesses:
          tap = [[CATapDescription alloc] initStereoGlobalTapButExcludeProcesses:processes];
          break;
      }
      tap.UUID = uuid;
      tap.privateTap = YES;  // no other process may read what the user records
      tap.muteBehavior = static_cast<CATapMuteBehavior>(description.muteBehavior);

      ::AudioObjectID tapID = kAudioObjectUnknown;
      const OSStatus status = AudioHardwareCreateProcessTap(tap, &tapID);
      if (status == pt::noErr) outTapID = tapID;
      return status;
    }
  }

  OSStatus destroyProcessTap(pt::AudioObjectID tapID) noexcept override {
    return AudioHardwareDestroyProcessTap(tapID);
  }

  OSStatus createAggregateDevice(const pt::Value& description,
                                 pt::AudioObjectID& ioDeviceID) override {
    @autoreleasepool {
      NSDictionary* dictionary = description.isDictionary() ? propertyList(description) : nil;
      if (dictionary == nil) return pt::kAudio_ParamError;
      ::AudioObjectID deviceID = ioDeviceID;
      const OSStatus status =
          AudioHardwareCreateAggregateDevice((__bridge CFDictionaryRef)dictionary, &deviceID);
      ioDeviceID = deviceID;
      return status;
    }
  }

  OSStatus destroyAggregateDevice(pt::AudioObjectID deviceID) noexcept override {
    return AudioHardwareDestroyAggregateDevice(deviceID);
  }

  std::shared_ptr<pt::DispatchQueue> makeSerialQueue(const std::string& label) override {
    return std::make_shared<SerialQueue>(label);
  }

  OSStatus createIOProcIDWithBlock(pt::AudioDeviceIOProcID& outProcID, pt::AudioObjectID device,
                                   std::shared_ptr<pt::DispatchQueue> queue,
                                   pt::AudioDeviceIOBlock block) override {
    // Only this platform's queues reach here. Core Audio retains the queue and copies the block
    // (with its copy of `block`) until the registration is destroyed.
    dispatch_queue_t dispatchQueue = queue ? static_cast<SerialQueue*>(queue.get())->queue() : nil;
    // The HAL calls the block synchronously on its real-time thread. What it calls is the
    // portable IO path, which only copies the cycle into the recorder's ring (no allocation, no
    // lock, no Objective-C object, so no autorelease pool), but the compiler cannot see through
    // std::function: the block is declared real-time safe here without its proof.
#if defined(__clang__) && __has_warning("-Wfunction-effects")
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wfunction-effects"
#endif
    ::AudioDeviceIOBlock ioBlock =
        ^(const ::AudioTimeStamp* inNow, const ::AudioBufferList* inInputData,
          const ::AudioTimeStamp* inInputTime, ::AudioBufferList* outOutputData,
          const ::AudioTimeStamp* inOutputTime) {
          block(reinterpret_cast<const pt::AudioTimeStamp*>(inNow),
                reinterpret_cast<const pt::AudioBufferList*>(inInputData),
                reinterpret_cast<const pt::AudioTimeStamp*>(inInputTime),
                reinterpret_cast<pt::AudioBufferList*>(outOutputData),
                reinterpret_cast<const pt::AudioTimeStamp*>(inOutputTime));
        };
#if defined(__clang__) && __has_warning("-Wfunction-effects")
#pragma clang diagnostic pop
#endif
    ::AudioDeviceIOProcID procID = nullptr;
    const OSStatus status =
        AudioDeviceCreateIOProcIDWithBlock(&procID, device, dispatchQueue, ioBlock);
    outProcID = reinterpret_cast<pt::AudioDeviceIOProcID>(procID);
    if (status == pt::noErr && dispatchQueue != nil) queues_[outProcID] = dispatchQueue;
    return status;
  }

  OSStatus deviceStart(pt::AudioObjectID device, pt::AudioDeviceIOProcID procID) override {
    return AudioDeviceStart(device, apple(procID));
  }

  OSStatus deviceStop(pt::AudioObjectID device, pt::AudioDeviceIOProcID procID) noexcept override {
    const OSStatus status = AudioDeviceStop(device, apple(procID));
    // AudioDeviceStop does not say that it waits for a call already running on the queue; an
    // empty call queued behind it does.
    if (auto queue = queues_.find(procID); queue != queues_.end())
      dispatch_sync_f(queue->second, nullptr, [](void*) {});
    return status;
  }

  OSStatus destroyIOProcID(pt::AudioObjectID device,
                           pt::AudioDeviceIOProcID procID) noexcept override {
    const OSStatus status = AudioDeviceDestroyIOProcID(device, apple(procID));
    if (status == pt::noErr) queues_.erase(procID);
    return status;
  }

  OSStatus addPropertyListenerBlock(pt::AudioObjectID object,
                                    const pt::AudioObjectPropertyAddress& address,
                                    std::shared_ptr<pt::DispatchQueue> queue,
                                    pt::AudioObjectPropertyListenerBlock block,
                                    pt::AudioObjectPropertyListenerID& outListener) override {
    dispatch_queue_t dispatchQueue = queue ? static_cast<SerialQueue*>(queue.get())->queue() : nil;
    ::AudioObjectPropertyListenerBlock listener =
        ^(UInt32 inNumberAddresses, const ::AudioObjectPropertyAddress* inAddresses) {
          block(inNumberAddresses,
                reinterpret_cast<const pt::AudioObjectPropertyAddress*>(inAddresses));
        };
    const OSStatus status =
        AudioObjectAddPropertyListenerBlock(object, apple(address), dispatchQueue, listener);
    if (status == pt::noErr) outListener = new pt::PlatformListener{listener, dispatchQueue};
    return status;
  }

  OSStatus removePropertyListenerBlock(
      pt::AudioObjectID object, const pt::AudioObjectPropertyAddress& address,
      pt::AudioObjectPropertyListenerID listener) noexcept override {
    if (listener == nullptr) return pt::kAudio_ParamError;
    const OSStatus status = AudioObjectRemovePropertyListenerBlock(
        object, apple(address), listener->queue, listener->block);
    // Notifications are dispatched asynchronously and the removal does not wait for those
    // already queued: an empty call queued behind them does, as after a stop. Never made on
    // that queue.
    if (listener->queue != nil) dispatch_sync_f(listener->queue, nullptr, [](void*) {});
    delete listener;
    return status;
  }

  std::shared_ptr<const pt::AudioFormat> makeAudioFormat(
      const pt::AudioStreamBasicDescription& description) override {
    AVAudioFormat* format = [[AVAudioFormat alloc]
        initWithStreamDescription:reinterpret_cast<const ::AudioStreamBasicDescription*>(
                                      &description)];
    if (format == nil) return nullptr;
    return std::make_shared<Format>(format);
  }

  // AVFoundation has no Ogg container and no MP3 encoder.
  bool writesAudioFile(const pt::AudioFileSettings& settings) const noexcept override {
    return settings.formatID != pt::kAudioFormatVorbis &&
           settings.formatID != pt::kAudioFormatOpus &&
           settings.formatID != pt::kAudioFormatMPEGLayer3;
  }

  std::shared_ptr<pt::AudioFile> openAudioFileForWriting(const std::string& path,
                                                         const pt::AudioFileSettings& settings,
                                                         pt::AVAudioCommonFormat commonFormat,
                                                         bool interleaved) override {
    AVAudioFile* file = nil;
    std::string errorText;
    @autoreleasepool {
      NSURL* url = [NSURL fileURLWithFileSystemRepresentation:path.c_str()
                                                  isDirectory:NO
                                                relativeToURL:nil];
      // Every key the settings name, and only those: AVFoundation documents no default bit
      // depth, and without a file type it takes plain AIFF for .aif, which cannot hold float.
      NSMutableDictionary<NSString*, id>* fileSettings =
          [NSMutableDictionary dictionaryWithCapacity:7];
      [fileSettings setObject:@(settings.formatID) forKey:AVFormatIDKey];
      [fileSettings setObject:@(settings.sampleRate) forKey:AVSampleRateKey];
      [fileSettings setObject:@(settings.channels) forKey:AVNumberOfChannelsKey];
      if (settings.fileType != 0)
        [fileSettings setObject:@(settings.fileType) forKey:AVAudioFileTypeKey];
      if (settings.formatID == pt::kAudioFormatLinearPCM) {
        [fileSettings setObject:@(settings.bitDepth) forKey:AVLinearPCMBitDepthKey];
        [fileSettings setObject:@(settings.isFloat) forKey:AVLinearPCMIsFloatKey];
        [fileSettings setObject:@(settings.isBigEndian) forKey:AVLinearPCMIsBigEndianKey];
      } else if (settings.bitDepth != 0) {
        [fileSettings setObject:@(settings.bitDepth) forKey:AVEncoderBitDepthHintKey];
      }
      if (settings.bitRate != 0)
        [fileSettings setObject:@(settings.bitRate) forKey:AVEncoderBitRateKey];
      NSError* error = nil;
      file = [[AVAudioFile alloc] initForWriting:url
                                        settings:fileSettings
                                    commonFormat:static_cast<AVAudioCommonFormat>(commonFormat)
                                     interleaved:interleaved
                                           error:&error];
      if (file == nil) errorText = utf8(error.localizedDescription).value_or(std::string());
    }
    if (file == nil) throw pt::TextError(pt::cannotCreateFile(path, errorText));
    return std::make_shared<File>(file);
  }

  std::optional<pt::PCMBuffer> makePCMBufferNoCopy(
      const pt::AudioFormat& format, const pt::AudioBufferList* bufferList) noexcept override {
    // Only this platform's formats reach here. Made once, before the device starts; the writer
    // sets its frame length for each write.
    AVAudioPCMBuffer* buffer = [[AVAudioPCMBuffer alloc]
        initWithPCMFormat:static_cast<const Format&>(format).format()
         bufferListNoCopy:reinterpret_cast<const ::AudioBufferList*>(bufferList)
              deallocator:nil];
    if (buffer == nil) return std::nullopt;
    const std::uint32_t frameLength = buffer.frameLength;
    return pt::PCMBuffer(bufferList, frameLength, const_cast<void*>(CFBridgingRetain(buffer)),
                         &releasePCMBuffer);
  }

  std::vector<pt::RunningApplication> runningApplications() override {
    std::vector<pt::RunningApplication> applications;
    @autoreleasepool {
      for (NSRunningApplication* application in NSWorkspace.sharedWorkspace.runningApplications) {
        applications.push_back({.processIdentifier = application.processIdentifier,
                                .localizedName = utf8(application.localizedName),
                                .bundleIdentifier = utf8(application.bundleIdentifier)});
      }
    }
    return applications;
  }

  int procName(std::int32_t pid, char* buffer, std::uint32_t size) override {
    return proc_name(pid, buffer, size);
  }

  std::int32_t processIdentifier() override { return NSProcessInfo.processInfo.processIdentifier; }

  std::string randomUUID() override {
    @autoreleasepool {
      return utf8([NSUUID UUID].UUIDString).value_or(std::string());
    }
  }

  std::string silentCaptureReason() override { return pt::kSystemAudioRecordingNotAllowed; }
  std::string silentInputReason() override { return pt::kMicrophoneNotAllowed; }
  double systemUptime() override { return NSProcessInfo.processInfo.systemUptime; }
  // The HAL's IO thread, which the IO block holds up (dispatched synchronously).
  bool ioBlockIsRealTime() const noexcept override { return true; }

  void sleepForTimeInterval(double seconds, const std::atomic<bool>& interrupted) override {
    // Short slices so an interruption ends the wait promptly; the end is measured on a monotonic
    // clock so the slices do not add up to more than `seconds`. Infinity never ends.
    constexpr double slice = 0.02;
    const auto now = [] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
    };
    const double end = now() + seconds;
    for (double left = seconds; left > 0 && !interrupted.load(); left = end - now())
      [NSThread sleepForTimeInterval:std::min(slice, left)];
  }

 private:
  // The queue of each IO registration, drained after a stop. Main thread only.
  std::map<pt::AudioDeviceIOProcID, dispatch_queue_t> queues_;
};

}  // namespace

std::unique_ptr<pt::Platform> pt::makeNativePlatform() { return std::make_unique<MacPlatform>(); }
