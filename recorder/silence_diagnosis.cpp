#include "recorder/silence_diagnosis.h"

#include <algorithm>
#include <optional>

#include "audio/platform.h"
#include "audio/property_access.h"
#include "processes/inventory.h"

namespace pt {
namespace {

// Whether any of `processes` plays; nothing when none does and some cannot tell.
std::optional<bool> anyPlaying(const std::vector<AudioObjectID>& processes) {
  bool known = true;
  for (AudioObjectID process : processes) {
    try {
      if (process.read<std::uint32_t>(kAudioProcessPropertyIsRunningOutput, 0) != 0) return true;
    } catch (const TextError&) {
      known = false;
    }
  }
  if (!known) return std::nullopt;
  return false;
}

}  // namespace

std::string silenceDiagnosis(const std::vector<AudioObjectID>& targetObjects,
                             const std::vector<AudioObjectID>& excluded) {
  std::vector<AudioObjectID> processes = targetObjects;
  const bool global = processes.empty();
  std::optional<bool> playing;
  try {
    if (global) {
      processes = readProcessList();
      std::erase_if(processes, [&](AudioObjectID process) {
        return std::find(excluded.begin(), excluded.end(), process) != excluded.end();
      });
    }
    playing = anyPlaying(processes);
  } catch (const TextError&) {
  }
  if (!playing) return kSilentUnexplained + platform().silentCaptureReason();
  if (*playing) return kSilentWhilePlaying + platform().silentCaptureReason();
  return global ? kSilentSystemIdle : kSilentTargetsIdle;
}

}  // namespace pt
