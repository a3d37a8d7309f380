// The "--list" listing of the audio processes.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "processes/audio_process_info.h"

namespace pt {

inline constexpr const char* kListingWriteFailed = "写入音频进程列表失败";

// Ascending by name in scalar order after NFC; equal names keep their inventory order.
std::vector<AudioProcessInfo> listingOrder(std::vector<AudioProcessInfo> processes);

// "pid=<pid> active=<true|false> name=<name> bundle=<bundleID>\n", texts as stored.
std::string listingLine(const AudioProcessInfo& process);

// Writes the sorted listing and flushes `out`. Throws "写入音频进程列表失败：<reason>" when any
// of it did not reach the stream's destination.
void writeListing(std::FILE* out, const std::vector<AudioProcessInfo>& processes);

}  // namespace pt
