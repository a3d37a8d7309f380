// Processes of the simulated platform: Core Audio's process objects and their properties, the
// running applications, the kernel's process names and the tool's own process.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "audio/simulated/simulated_platform.h"

namespace pt::sim {

void SimulatedPlatform::setProcessList(const std::vector<AudioObjectID>& ids) {
  processList_ = ids;
  setBytes(
      AudioObjectID::system, kAudioHardwarePropertyProcessObjectList,
      std::string(reinterpret_cast<const char*>(ids.data()), ids.size() * sizeof(AudioObjectID)));
}

void SimulatedPlatform::addProcessObject(const ProcessObject& process) {
  addObject(process.id);
  std::vector<AudioObjectID> ids = processList_;
  ids.push_back(process.id);
  setProcessList(ids);

  if (auto* pid = std::get_if<std::int32_t>(&process.pid))
    setValue(process.id, kAudioProcessPropertyPID, *pid);
  else
    failProperty(process.id, kAudioProcessPropertyPID, std::get<Fail>(process.pid).status, 0);

  if (auto* text = std::get_if<std::string>(&process.bundleID))
    setString(process.id, kAudioProcessPropertyBundleID, *text);
  else if (auto* fail = std::get_if<Fail>(&process.bundleID))
    failProperty(process.id, kAudioProcessPropertyBundleID, fail->status, 0);
  else
    setString(process.id, kAudioProcessPropertyBundleID, std::nullopt);

  // Playing output is what a tone says (setTone); a process starts out silent.
  if (!property(process.id, kAudioProcessPropertyIsRunningOutput))
    setValue(process.id, kAudioProcessPropertyIsRunningOutput, std::uint32_t(0));

  if (auto* running = std::get_if<std::uint32_t>(&process.running))
    setValue(process.id, kAudioProcessPropertyIsRunning, *running);
  else
    failProperty(process.id, kAudioProcessPropertyIsRunning, std::get<Fail>(process.running).status,
                 0);
}

void SimulatedPlatform::addApplication(RunningApplication application) {
  applications_.push_back(std::move(application));
}

void SimulatedPlatform::setKernelName(std::int32_t pid, std::string bytes) {
  kernelNames_[pid] = std::move(bytes);
}

void SimulatedPlatform::setProcessObjectForPid(std::int32_t pid,
                                               std::variant<AudioObjectID, Fail> answer) {
  std::string q(reinterpret_cast<const char*>(&pid), sizeof pid);
  if (auto* id = std::get_if<AudioObjectID>(&answer))
    setValue(AudioObjectID::system, kAudioHardwarePropertyTranslatePIDToProcessObject, *id, q);
  else
    failProperty(AudioObjectID::system, kAudioHardwarePropertyTranslatePIDToProcessObject,
                 std::get<Fail>(answer).status, 0, q);
}

std::vector<RunningApplication> SimulatedPlatform::runningApplications() {
  log("runningApplications");
  return applications_;
}

int SimulatedPlatform::procName(std::int32_t pid, char* buffer, std::uint32_t size) {
  log("procName " + std::to_string(pid) + " " + std::to_string(size));
  auto it = kernelNames_.find(pid);
  if (it == kernelNames_.end() || size == 0) return 0;
  // Like proc_name: truncated to the buffer, always NUL-terminated.
  std::uint32_t n = std::min<std::uint32_t>(size - 1, std::uint32_t(it->second.size()));
  std::memcpy(buffer, it->second.data(), n);
  buffer[n] = '\0';
  return n > 0 ? int(n) : 0;
}

std::int32_t SimulatedPlatform::processIdentifier() {
  log("processIdentifier");
  return ownPid_;
}

std::string SimulatedPlatform::randomUUID() {
  char text[37];
  ++uuidCounter_;
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012llX",
                static_cast<unsigned long long>(uuidCounter_));
  log(std::string("randomUUID ") + text);
  return text;
}

}  // namespace pt::sim
