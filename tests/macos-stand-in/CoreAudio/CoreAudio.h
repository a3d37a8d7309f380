// Stand-in: the Core Audio umbrella. Declarations only.
#pragma once

#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/CoreAudioTypes.h>
