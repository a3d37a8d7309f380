#include "targets/keyword_targets.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>

#include "audio/text_error.h"
#include "processes/inventory.h"
#include "processes/valid_utf8.h"
#include "targets/auto_target.h"
#include "targets/process_listing.h"
#include "targets/unicode_text.h"

namespace pt {

std::optional<std::int32_t> parsePid(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Magnitude of INT32_MIN; accumulating in 64 bits and stopping past it cannot overflow.
  constexpr std::int64_t limit = std::int64_t(std::numeric_limits<std::int32_t>::max()) + 1;
  std::int64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) return std::nullopt;
  }
  if (!negative && magnitude == limit) return std::nullopt;
  return std::int32_t(negative ? -magnitude : magnitude);
}

std::vector<std::string_view> keywordPieces(std::string_view keyword) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start <= keyword.size()) {
    std::size_t comma = keyword.find(',', start);
    if (comma == std::string_view::npos) comma = keyword.size();
    std::string_view piece = trimmedWhitespaceAndNewlines(keyword.substr(start, comma - start));
    if (!piece.empty()) pieces.push_back(piece);
    start = comma + 1;
  }
  return pieces;
}

namespace {

bool nameOrBundleContains(const AudioProcessInfo& process, const std::string& lowered) {
  return canonicallyContains(lowercased(process.name), lowered) ||
         canonicallyContains(lowercased(process.bundleID), lowered);
}

// The piece may come from anywhere; its ill-formed bytes must not reach the terminal raw.
TextError notFound(std::string_view piece) {
  return TextError(std::string(kProcessNotFound) + "：" + toValidUtf8(piece),
                   TextError::Blame::commandLine);
}

// The processes an exclusion `-TEXT` leaves out.
std::vector<AudioProcessInfo> findExcluded(std::string_view piece,
                                           const std::vector<AudioProcessInfo>& processes) {
  const std::string_view text = piece.substr(1);
  std::vector<AudioProcessInfo> found;
  if (const std::optional<std::int32_t> pid = parsePid(text))
    for (const AudioProcessInfo& process : processes)
      if (process.pid == *pid) return {process};
  const std::string lowered = lowercased(text);
  if (!lowered.empty())
    for (const AudioProcessInfo& process : processes)
      if (nameOrBundleContains(process, lowered)) found.push_back(process);
  if (found.empty()) throw notFound(piece);
  return found;
}

// "@": the default input device; "@TEXT": the first whose name contains TEXT.
const InputDevice& findInput(std::string_view piece, const std::vector<InputDevice>& inputs) {
  const std::string lowered = lowercased(piece.substr(1));
  for (const InputDevice& device : inputs)
    if (lowered.empty() ? device.isDefault : canonicallyContains(lowercased(device.name), lowered))
      return device;
  if (lowered.empty()) throw TextError(kNoDefaultInputDevice);
  throw TextError(std::string(kInputDeviceNotFound) + "：" + toValidUtf8(piece),
                  TextError::Blame::commandLine);
}

bool namesInput(std::string_view piece) { return piece.starts_with('@'); }

}  // namespace

AudioProcessInfo findTarget(std::string_view keyword,
                            const std::vector<AudioProcessInfo>& processes) {
  const std::string lowered = lowercased(keyword);
  if (canonicallyEqual(lowered, "active") || canonicallyEqual(lowered, "auto")) {
    return findAutoTarget(processes);
  }
  // A pid wins over any text match, wherever it stands.
  if (const std::optional<std::int32_t> pid = parsePid(keyword)) {
    for (const AudioProcessInfo& process : processes) {
      if (process.pid == *pid) return process;
    }
  }
  for (const AudioProcessInfo& process : processes) {
    if (nameOrBundleContains(process, lowered)) return process;
  }
  throw notFound(keyword);
}

KeywordTargets resolveTargets(std::string_view keyword,
                              const std::vector<AudioProcessInfo>& processes,
                              const std::vector<InputDevice>& inputs) {
  std::vector<std::string_view> pieces = keywordPieces(keyword);
  if (pieces.empty()) return {{findAutoTarget(processes)}, {}, std::nullopt};
  KeywordTargets resolved;
  for (std::string_view piece : pieces) {
    if (!namesInput(piece)) continue;
    const InputDevice& device = findInput(piece, inputs);
    if (resolved.input && resolved.input->objectID != device.objectID)
      throw TextError(std::string(kOneInputDevice) + "：" + toValidUtf8(piece),
                      TextError::Blame::commandLine);
    resolved.input = device;
  }
  std::erase_if(pieces, namesInput);

  const auto exclusion = [](std::string_view piece) { return piece.starts_with('-'); };
  const bool excluding = std::any_of(pieces.begin(), pieces.end(), exclusion);
  if (excluding)
    if (auto target = std::find_if_not(pieces.begin(), pieces.end(), exclusion);
        target != pieces.end())
      throw TextError(std::string(kExclusionBesideTargets) + "：" + toValidUtf8(*target),
                      TextError::Blame::commandLine);
  if (excluding) resolved.targets.push_back(globalSystemAudioTarget());
  std::set<std::int32_t> seen;
  for (std::string_view piece : pieces) {
    if (excluding) {
      for (AudioProcessInfo& process : findExcluded(piece, processes))
        if (seen.insert(process.pid).second) resolved.excluded.push_back(std::move(process));
    } else if (AudioProcessInfo target = findTarget(piece, processes);
               seen.insert(target.pid).second) {
      resolved.targets.push_back(std::move(target));
    }
  }
  return resolved;
}

KeywordTargets findTargets(std::string_view keyword) {
  const std::vector<AudioProcessInfo> processes = readAudioProcesses();
  const std::vector<std::string_view> pieces = keywordPieces(keyword);
  const bool listing = keyword == kListKeyword;
  const std::vector<InputDevice> inputs =
      listing || std::any_of(pieces.begin(), pieces.end(), namesInput) ? readInputDevices()
                                                                       : std::vector<InputDevice>{};
  if (listing) {
#ifdef SIGPIPE
    // A reader that went away is then reported as a failed write instead of killing us silently.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    writeListing(stdout, processes, inputs);
    std::exit(0);
  }
  return resolveTargets(keyword, processes, inputs);
}

}  // namespace pt
