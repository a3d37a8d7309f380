// Turning the keyword of the command line into the ordered list of processes to record.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "processes/audio_process_info.h"

namespace pt {

inline constexpr const char* kProcessNotFound = "未找到音频进程";
inline constexpr const char* kExclusionBesideTargets = "以 - 开头的排除项不能与录音目标同用";

// What a keyword asks to record: its targets, in order, and what a recording of the whole system
// mix leaves out.
struct KeywordTargets {
  std::vector<AudioProcessInfo> targets;  // the global target when every piece is an exclusion
  std::vector<AudioProcessInfo> excluded;
};
inline constexpr std::string_view kListKeyword = "--list";

// An optional "+" or "-", then ASCII digits only, within 32 signed bits.
std::optional<std::int32_t> parsePid(std::string_view text);

// The comma-separated pieces, trimmed, with the empty ones dropped; each is a view into
// `keyword`.
std::vector<std::string_view> keywordPieces(std::string_view keyword);

// One piece: "auto"/"active" in any case, else a pid, else the first process whose lower-cased
// name or bundle identifier contains the lower-cased piece. Throws "未找到音频进程：<piece>".
AudioProcessInfo findTarget(std::string_view keyword,
                            const std::vector<AudioProcessInfo>& processes);

// Every piece resolved in order, one record per pid; the automatic choice when there is no
// piece. A piece "-TEXT" is an exclusion: the process of that pid, else every process whose name
// or bundle identifier contains TEXT (a player's helpers with it), left out of the global target;
// exclusions stand alone or not at all. Does not treat "--list" specially.
KeywordTargets resolveTargets(std::string_view keyword,
                              const std::vector<AudioProcessInfo>& processes);

// Reads the inventory, then resolves `keyword`. For exactly "--list" it writes the listing to
// standard output and ends the process with status 0 once the listing has really been written;
// a failed write throws instead.
KeywordTargets findTargets(std::string_view keyword);

}  // namespace pt
