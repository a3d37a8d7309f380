#include "processes/inventory.h"

#include <algorithm>
#include <array>
#include <optional>

#include "audio/platform.h"
#include "audio/property_access.h"
#include "audio/text_error.h"
#include "processes/valid_utf8.h"

namespace pt {

std::vector<AudioObjectID> readProcessList() {
  return readObjectList(kAudioHardwarePropertyProcessObjectList, kProcessListSizeReadFailed,
                        kProcessListReadFailed);
}

std::string processName(std::int32_t pid) {
  std::array<char, 1024> buffer{};
  int length = platform().procName(pid, buffer.data(), std::uint32_t(buffer.size()));
  if (length > 0) {
    buffer.back() = '\0';  // a platform that filled the whole buffer still ends here
    return toValidUtf8(std::string_view(buffer.data()));
  }
  return "Unknown " + std::to_string(pid);
}

std::vector<AudioProcessInfo> readAudioProcesses() {
  const std::vector<RunningApplication> applications = platform().runningApplications();
  const std::vector<AudioObjectID> ids = readProcessList();

  std::vector<AudioProcessInfo> processes;
  processes.reserve(ids.size());
  for (AudioObjectID id : ids) {
    std::int32_t pid = -1;
    try {
      pid = id.read<std::int32_t>(kAudioProcessPropertyPID, -1);
    } catch (const TextError&) {
      continue;
    }
    if (pid <= 0) continue;

    auto app =
        std::find_if(applications.begin(), applications.end(),
                     [pid](const RunningApplication& a) { return a.processIdentifier == pid; });
    const RunningApplication* application = app == applications.end() ? nullptr : &*app;

    std::string name =
        application && application->localizedName ? *application->localizedName : processName(pid);
    std::string bundleID;
    try {
      bundleID = id.readString(kAudioProcessPropertyBundleID);
    } catch (const TextError&) {
      if (application && application->bundleIdentifier) bundleID = *application->bundleIdentifier;
    }
    bool running = id.readBool(kAudioProcessPropertyIsRunning);
    std::optional<bool> output;
    try {
      output = id.read<std::uint32_t>(kAudioProcessPropertyIsRunningOutput, 0) == 1;
    } catch (const TextError&) {
    }
    processes.push_back(
        AudioProcessInfo{pid, id, std::move(name), std::move(bundleID), running, output});
  }
  return processes;
}

std::int32_t ownPid() { return platform().processIdentifier(); }

AudioObjectID translatePIDToProcessObjectID(std::int32_t pid) {
  return AudioObjectID::system.read<AudioObjectID>(
      kAudioHardwarePropertyTranslatePIDToProcessObject, AudioObjectID::unknown, qualifier(pid));
}

}  // namespace pt
