// Stand-in: creating and destroying process taps. Declarations only.
#pragma once

#include <CoreAudio/AudioHardware.h>

#pragma clang assume_nonnull begin

@class CATapDescription;

#ifdef __cplusplus
extern "C" {
#endif
OSStatus AudioHardwareCreateProcessTap(CATapDescription* _Nullable inDescription,
                                       AudioObjectID* _Nullable outTapID);
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID);
#ifdef __cplusplus
}
#endif

#pragma clang assume_nonnull end
