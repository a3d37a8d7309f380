// Proves the compile check rejects what an SDK would reject. Built once as is (it must compile)
// and once per PT_FAULT_* macro, each of which changes exactly one line into a known mistake.
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <CoreAudio/CoreAudio.h>
#import <Foundation/Foundation.h>

OSStatus probe(NSArray<NSNumber*>* processes, NSString* name, AudioObjectID device,
               dispatch_queue_t queue) {
  (void)processes;  // each fault leaves one of the two unused
  (void)name;
#if defined(PT_FAULT_MISSPELLED_SELECTOR)
  CATapDescription* description = [[CATapDescription alloc] initStereoMixdownOfProcess:processes];
#elif defined(PT_FAULT_WRONG_OBJECT_TYPE)
  CATapDescription* description = [[CATapDescription alloc] initStereoMixdownOfProcesses:name];
#else
  CATapDescription* description = [[CATapDescription alloc] initStereoMixdownOfProcesses:processes];
#endif

  AudioObjectID tap = kAudioObjectUnknown;
#if defined(PT_FAULT_UNDECLARED_CALL)
  OSStatus status = AudioHardwareCreateProcessTapWithDescription(description, &tap);
#else
  OSStatus status = AudioHardwareCreateProcessTap(description, &tap);
#endif
  if (status != 0) return status;

#if defined(PT_FAULT_WRONG_BLOCK_SIGNATURE)
  AudioDeviceIOBlock block = ^(const AudioTimeStamp*, const AudioBufferList*, AudioBufferList*) {
  };
#elif defined(PT_FAULT_BLOCK_WITHOUT_EFFECT)
  // The real-time effect added by the conversion, not by the block.
  AudioDeviceIOBlock block = ^(const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                               AudioBufferList*, const AudioTimeStamp*) {
  };
#else
  AudioDeviceIOBlock block = ^(const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                               AudioBufferList*, const AudioTimeStamp*)CA_REALTIME_API{
  };
#endif

  AudioDeviceIOProcID procID = nullptr;
#if defined(PT_FAULT_SWAPPED_ARGUMENTS)
  // The device first, as AudioDeviceCreateIOProcID has it.
  return AudioDeviceCreateIOProcIDWithBlock(device, &procID, queue, block);
#else
  return AudioDeviceCreateIOProcIDWithBlock(&procID, device, queue, block);
#endif
}
