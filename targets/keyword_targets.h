// Turning the keyword of the command line into the ordered list of processes to record.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "audio/input_devices.h"
#include "processes/audio_process_info.h"

namespace pt {

inline constexpr const char* kProcessNotFound = "未找到音频进程";
inline constexpr const char* kExclusionBesideTargets = "以 - 开头的排除项不能与录音目标同用";
inline constexpr const char* kInputDeviceNotFound = "未找到输入设备";
inline constexpr const char* kNoDefaultInputDevice = "系统没有默认输入设备";
inline constexpr const char* kOneInputDevice = "一次录音只能录一个输入设备";

// What a keyword asks to record: its targets, in order, and what a recording of the whole system
// mix leaves out.
struct KeywordTargets {
  // The global target when every process piece is an exclusion; none when the keyword names only
  // an input device.
  std::vector<AudioProcessInfo> targets;
  std::vector<AudioProcessInfo> excluded;
  std::optional<InputDevice> input;
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
// exclusions stand alone or not at all. A piece "@" is the default input device, "@TEXT" the first
// of `inputs` whose name contains TEXT; one input device at most, beside any other pieces. Does
// not treat "--list" specially.
KeywordTargets resolveTargets(std::string_view keyword,
                              const std::vector<AudioProcessInfo>& processes,
                              const std::vector<InputDevice>& inputs = {});

// Reads the inventory (and the input devices when a piece or the listing needs them), then
// resolves `keyword`. For exactly "--list" it writes the listing to standard output and ends the
// process with status 0 once the listing has really been written; a failed write throws instead.
KeywordTargets findTargets(std::string_view keyword);

}  // namespace pt
