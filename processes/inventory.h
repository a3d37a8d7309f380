// The audio clients Core Audio knows at the moment of the call. Nothing is cached.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio_object_id.h"
#include "processes/audio_process_info.h"

namespace pt {

inline constexpr const char* kProcessListSizeReadFailed = "读取音频进程列表大小失败";
inline constexpr const char* kProcessListReadFailed = "读取音频进程列表失败";

// The system object's process objects, in Core Audio's order.
std::vector<AudioObjectID> readProcessList();

// The kernel's short name for `pid`, or "Unknown <pid>". Ill-formed UTF-8 becomes U+FFFD.
std::string processName(std::int32_t pid);

// One record per process object with a positive pid, in list order.
std::vector<AudioProcessInfo> readAudioProcesses();

std::int32_t ownPid();
AudioObjectID translatePIDToProcessObjectID(std::int32_t pid);

}  // namespace pt
