// What macOS does to a tap whose user has not allowed System Audio Recording: every call succeeds
// and the buffers hold zeros. No interface tells, so the tool names the cause and the remedy.
#pragma once

namespace pt {

inline constexpr const char* kSystemAudioRecordingNotAllowed =
    "运行本工具的终端应用没有“系统音频录制”权限。请在 System Settings → Privacy & Security → "
    "Screen & System Audio Recording → System Audio Recording Only 中加入并打开这个终端应用，"
    "重新打开终端后再录音。";

// The same for an input device without the Microphone permission; the first use asks, and until
// the user answers the input is silent too.
inline constexpr const char* kMicrophoneNotAllowed =
    "运行本工具的终端应用没有“麦克风”权限，或尚未在系统的询问中允许它。请在 System Settings → "
    "Privacy & Security → Microphone 中打开这个终端应用，重新打开终端后再录音。";

}  // namespace pt
