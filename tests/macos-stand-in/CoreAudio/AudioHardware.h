// Stand-in: the HAL objects, properties, aggregate devices and IO registration the adapter uses
// (AudioHardwareBase.h, AudioHardware.h, AudioHardwareDeprecated.h, CoreAudioBaseTypes.h).
// Declarations only.
#pragma once

#include <CoreAudio/CoreAudioTypes.h>
#include <dispatch/dispatch.h>

// The SDK marks the IO block and IO proc real-time safe (not the listener block): clang's
// `nonblocking` function effect where the compiler has it.
#if defined(__has_attribute)
#if __has_attribute(nonblocking)
#define CA_REALTIME_API __attribute__((nonblocking))
#endif
#endif
#ifndef CA_REALTIME_API
#define CA_REALTIME_API
#endif

#pragma clang assume_nonnull begin

typedef UInt32 AudioObjectID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector mSelector;
  AudioObjectPropertyScope mScope;
  AudioObjectPropertyElement mElement;
};
typedef struct AudioObjectPropertyAddress AudioObjectPropertyAddress;

enum : AudioObjectID { kAudioObjectUnknown = 0 };
enum : AudioObjectPropertyScope {
  kAudioObjectPropertyScopeGlobal = 'glob',
  kAudioObjectPropertyScopeInput = 'inpt',
  kAudioObjectPropertyScopeWildcard = '****'
};
enum : AudioObjectPropertyElement {
  kAudioObjectPropertyElementMain = 0,
  kAudioObjectPropertyElementWildcard = 0xFFFFFFFF
};
CF_ENUM(int){kAudioObjectSystemObject = 1};

enum : AudioObjectPropertySelector {
  kAudioHardwarePropertyProcessObjectList = 'prs#',
  kAudioHardwarePropertyTranslatePIDToProcessObject = 'id2p',
  kAudioHardwarePropertyDefaultSystemOutputDevice = 'sOut',
  kAudioHardwarePropertyRunLoop = 'rnlp',
  kAudioProcessPropertyPID = 'ppid',
  kAudioProcessPropertyBundleID = 'pbid',
  kAudioProcessPropertyIsRunning = 'pir?',
  kAudioProcessPropertyIsRunningOutput = 'piro',
  kAudioDevicePropertyDeviceUID = 'uid ',
  kAudioTapPropertyFormat = 'tfmt',
  kAudioDevicePropertyNominalSampleRate = 'nsrt',
  kAudioDevicePropertyDeviceIsAlive = 'livn',
  kAudioDevicePropertyStreamConfiguration = 'slay',
  kAudioDevicePropertyStreams = 'stm#',
  kAudioDevicePropertyIOProcStreamUsage = 'suse'
};

// Keys of an aggregate device description: C string literals.
#define kAudioAggregateDeviceUIDKey "uid"
#define kAudioAggregateDeviceNameKey "name"
#define kAudioAggregateDeviceMainSubDeviceKey "master"
#define kAudioAggregateDeviceIsPrivateKey "private"
#define kAudioAggregateDeviceIsStackedKey "stacked"
#define kAudioAggregateDeviceTapAutoStartKey "tapautostart"
#define kAudioAggregateDeviceSubDeviceListKey "subdevices"
#define kAudioAggregateDeviceTapListKey "taps"
#define kAudioSubDeviceUIDKey "uid"
#define kAudioSubTapUIDKey "uid"
#define kAudioSubTapDriftCompensationKey "drift"

typedef OSStatus (*AudioDeviceIOProc)(AudioObjectID inDevice, const AudioTimeStamp* inNow,
                                      const AudioBufferList* inInputData,
                                      const AudioTimeStamp* inInputTime,
                                      AudioBufferList* outOutputData,
                                      const AudioTimeStamp* inOutputTime,
                                      void* _Nullable inClientData) CA_REALTIME_API;
typedef AudioDeviceIOProc AudioDeviceIOProcID;

struct AudioHardwareIOProcStreamUsage {
  void* mIOProc;
  UInt32 mNumberStreams;
  UInt32 mStreamIsOn[1];
};
typedef struct AudioHardwareIOProcStreamUsage AudioHardwareIOProcStreamUsage;

typedef void (^AudioDeviceIOBlock)(const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                                   const AudioTimeStamp* inInputTime,
                                   AudioBufferList* outOutputData,
                                   const AudioTimeStamp* inOutputTime) CA_REALTIME_API;

typedef void (^AudioObjectPropertyListenerBlock)(UInt32 inNumberAddresses,
                                                 const AudioObjectPropertyAddress* inAddresses);

#ifdef __cplusplus
extern "C" {
#endif

OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID,
                                             const AudioObjectPropertyAddress* inAddress,
                                             dispatch_queue_t _Nullable inDispatchQueue,
                                             AudioObjectPropertyListenerBlock inListener);
OSStatus AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID,
                                                const AudioObjectPropertyAddress* inAddress,
                                                dispatch_queue_t _Nullable inDispatchQueue,
                                                AudioObjectPropertyListenerBlock inListener);

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize,
                                        const void* _Nullable inQualifierData, UInt32* outDataSize);
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize,
                                    const void* _Nullable inQualifierData, UInt32* ioDataSize,
                                    void* outData);

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize,
                                    const void* _Nullable inQualifierData, UInt32 inDataSize,
                                    const void* inData);

OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription,
                                            AudioObjectID* outDeviceID);
OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID);

OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID _Nullable* _Nonnull outIOProcID,
                                            AudioObjectID inDevice,
                                            dispatch_queue_t _Nullable inDispatchQueue,
                                            AudioDeviceIOBlock inIOBlock);
OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID);
OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID _Nullable inProcID);
OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID _Nullable inProcID);

#ifdef __cplusplus
}
#endif

#pragma clang assume_nonnull end
