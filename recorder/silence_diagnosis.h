// Why a recording holds only silence: the tapped processes played nothing, or they played and the
// platform withheld their sound.
#pragma once

#include <string>
#include <vector>

#include "audio/audio_object_id.h"

namespace pt {

inline constexpr const char* kSilentWhilePlaying = "警告：录音只有静音，而目标进程在播放声音。";
inline constexpr const char* kSilentTargetsIdle = "警告：录音只有静音：目标进程没有播放声音。";
inline constexpr const char* kSilentSystemIdle = "警告：录音只有静音：没有任何进程在播放声音。";
inline constexpr const char* kSilentUnexplained =
    "警告：录音只有静音。可能是目标进程没有播放声音；如果它在播放：";

// The one line to print, asked of the platform now: kAudioProcessPropertyIsRunningOutput of each
// tapped process object, or, for the global tap (no objects), of every process it does not
// exclude.
std::string silenceDiagnosis(const std::vector<AudioObjectID>& targetObjects,
                             const std::vector<AudioObjectID>& excluded);

}  // namespace pt
