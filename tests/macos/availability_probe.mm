// Proves the stand-ins state what the SDK makes available when: compiled for an Apple target, a
// deployment target of macOS 14 rejects each unguarded call below, macOS 26 (the build's) takes
// both. It includes stand-ins only: clang finds no C or C++ standard header for an Apple target
// here.
#import <AVFAudio/AVFAudio.h>
#import <CoreAudio/AudioHardwareTapping.h>

void probe(AVAudioFile* file, AudioObjectID tap) {
#ifndef PT_ONLY_TAP
  [file close];
#endif
#ifndef PT_ONLY_CLOSE
  AudioHardwareDestroyProcessTap(tap);
#endif
  (void)file;
  (void)tap;
}
