// The automatic choice of one audio process when the user names none.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "processes/audio_process_info.h"

namespace pt {

// The bundle identifier of the maker's companion application, which must never be recorded
// automatically.
inline constexpr std::string_view companionBundleIdentifier = "com.brindlex.companion";

// Stands for the whole system mix. Consumers recognise it by its invalid objectID only.
AudioProcessInfo globalSystemAudioTarget();

// Silent processes (or ones that only record), the tool's own processes, the companion and the
// system's media helpers.
bool shouldSkipAutoTarget(const AudioProcessInfo& process);

// 100 for the system music player, 20 for helpers and plug-ins, 60 otherwise.
std::int64_t autoTargetScore(const AudioProcessInfo& process);

// The best candidate: highest score, then the smallest name in scalar order, then the earliest.
// The global-system-audio target when nothing qualifies.
AudioProcessInfo findAutoTarget(const std::vector<AudioProcessInfo>& processes);

}  // namespace pt
