// Stand-in: creating and destroying process taps. Declarations only.
#pragma once

#include <Availability.h>
#include <CoreAudio/AudioHardware.h>

#pragma clang assume_nonnull begin

@class CATapDescription;

#ifdef __cplusplus
extern "C" {
#endif
OSStatus AudioHardwareCreateProcessTap(CATapDescription* _Nullable inDescription,
                                       AudioObjectID* _Nullable outTapID) API_AVAILABLE(macos(14.2))
    API_UNAVAILABLE(ios, watchos, tvos);
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID) API_AVAILABLE(macos(14.2))
    API_UNAVAILABLE(ios, watchos, tvos);
#ifdef __cplusplus
}
#endif

#pragma clang assume_nonnull end
