// What macOS does to a tap whose user has not allowed System Audio Recording: every call succeeds
// and the buffers hold zeros. No interface tells, so the tool names the cause and the remedy.
#pragma once

namespace pt {

inline constexpr const char* kSystemAudioRecordingNotAllowed =
    "运行本工具的终端应用没有“系统音频录制”权限。请在 System Settings → Privacy & Security → "
    "Screen & System Audio Recording → System Audio Recording Only 中加入并打开这个终端应用，"
    "重新打开终端后再录音。";

}  // namespace pt
