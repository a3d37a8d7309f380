// The "--list" listing of the audio processes.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "audio/input_devices.h"
#include "processes/audio_process_info.h"

namespace pt {

inline constexpr const char* kListingWriteFailed = "写入音频进程列表失败";

// Ascending by name in scalar order after NFC; equal names keep their inventory order.
std::vector<AudioProcessInfo> listingOrder(std::vector<AudioProcessInfo> processes);

// "pid=<pid> active=<true|false> name=<name> bundle=<bundleID>\n", texts as stored.
std::string listingLine(const AudioProcessInfo& process);

// "input default=<true|false> channels=<first stream's> uid=<UID> name=<name>\n": not a "pid="
// line, so that a reader of the processes passes over it.
std::string listingLine(const InputDevice& device);

// Writes the sorted listing, then the input devices in the order "@TEXT" tries them, and flushes
// `out`. Throws "写入音频进程列表失败：<reason>" when any
// of it did not reach the stream's destination.
void writeListing(std::FILE* out, const std::vector<AudioProcessInfo>& processes,
                  const std::vector<InputDevice>& inputs = {});

}  // namespace pt
