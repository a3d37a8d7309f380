#include "targets/auto_target.h"

#include <string>

#include "targets/unicode_text.h"

namespace pt {

AudioProcessInfo globalSystemAudioTarget() {
  return AudioProcessInfo{0, AudioObjectID::unknown, "全局系统音频", "global.system.audio", true};
}

bool shouldSkipAutoTarget(const AudioProcessInfo& process) {
  // 'pir?' counts input too: a process that only records would give a silent file.
  if (!process.audioActive || process.outputActive == false) return true;
  const std::string name = lowercased(process.name);
  const std::string bundleID = lowercased(process.bundleID);
  // "brindlex" and "process-tap" are in every label the tool gives its own objects.
  return canonicallyContains(name, "brindlex") ||
         canonicallyEqual(bundleID, companionBundleIdentifier) ||
         canonicallyContains(name, "graphics and media") ||
         canonicallyEqual(bundleID, "com.apple.webkit.gpu") ||
         canonicallyContains(name, "process-tap");
}

std::int64_t autoTargetScore(const AudioProcessInfo& process) {
  const std::string name = lowercased(process.name);
  if (canonicallyEqual(lowercased(process.bundleID), "com.apple.music") ||
      canonicallyEqual(name, "音乐") || canonicallyEqual(name, "music")) {
    return 100;
  }
  if (canonicallyContains(name, "helper") || canonicallyContains(name, "plugin")) return 20;
  return 60;
}

AudioProcessInfo findAutoTarget(const std::vector<AudioProcessInfo>& processes) {
  // Only the first of the stably sorted candidates is wanted, so one pass that replaces the best
  // only on a strictly better candidate gives the same answer.
  const AudioProcessInfo* best = nullptr;
  std::int64_t bestScore = 0;
  std::string bestKey;
  for (const AudioProcessInfo& process : processes) {
    if (shouldSkipAutoTarget(process)) continue;
    const std::int64_t score = autoTargetScore(process);
    if (best && score < bestScore) continue;
    std::string key = scalarOrderKey(process.name);
    if (best && score == bestScore && !(key < bestKey)) continue;
    best = &process;
    bestScore = score;
    bestKey = std::move(key);
  }
  return best ? *best : globalSystemAudioTarget();
}

}  // namespace pt
