#include "audio/simulated/scenario.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <vector>

#include "audio/simulated/recording_scenario.h"

namespace pt::sim {
namespace {

using nlohmann::json;

template <class I>
I integer(const json& value, const std::string& where) {
  if (value.is_number_unsigned()) {
    const auto n = value.get<std::uint64_t>();
    if (n <= std::uint64_t(std::numeric_limits<I>::max())) return I(n);
  } else if (value.is_number_integer()) {
    const auto n = value.get<std::int64_t>();
    if (n >= std::int64_t(std::numeric_limits<I>::min()) &&
        (n < 0 || std::uint64_t(n) <= std::uint64_t(std::numeric_limits<I>::max())))
      return I(n);
  } else {
    scenarioFail(where, "expected an integer, got " + shownValue(value));
  }
  scenarioFail(where, shownValue(value) + " is out of range");
}

std::string text(const json& value, const std::string& where) {
  if (!value.is_string()) scenarioFail(where, "expected text, got " + shownValue(value));
  return value.get<std::string>();
}

std::optional<std::string> optionalText(const json& value, const std::string& where) {
  if (value.is_null()) return std::nullopt;
  return text(value, where);
}

// {"status": S} or {"status": S, "stage": "size"|"data"}, as a failProperty call.
struct FailingRead {
  OSStatus sizeStatus = noErr;
  OSStatus dataStatus = noErr;
};

bool isFailingRead(const json& value) { return value.is_object() && value.contains("status"); }

FailingRead failingRead(const json& value, const std::string& where) {
  allowOnly(value, where, {"status", "stage"});
  const OSStatus status = scenarioStatus(value.at("status"), where + ".status");
  if (status == noErr) scenarioFail(where + ".status", "a failing read needs a non-zero status");
  const std::string stage =
      value.contains("stage") ? text(value["stage"], where + ".stage") : "size";
  if (stage == "size") return {status, noErr};
  if (stage == "data") return {noErr, status};
  scenarioFail(where + ".stage",
               "expected \"size\" or \"data\", got " + shownValue(value["stage"]));
}

void loadProcessObjects(SimulatedPlatform& platform, const json& list,
                        std::vector<AudioObjectID>& ids) {
  if (!list.is_array()) scenarioFail("processObjects", "expected a list, got " + shownValue(list));
  std::set<std::uint32_t> seen;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string where = "processObjects[" + std::to_string(i) + "]";
    const json& entry = list[i];
    allowOnly(entry, where, {"id", "pid", "bundleID", "running"});
    if (!entry.contains("id")) scenarioFail(where, "\"id\" is missing");
    const AudioObjectID id = integer<std::uint32_t>(entry["id"], where + ".id");
    if (!seen.insert(id).second)
      scenarioFail(where + ".id", std::to_string(std::uint32_t(id)) + " appears twice");
    platform.addObject(id);
    ids.push_back(id);
    // Silent until a tone says otherwise.
    platform.setValue(id, kAudioProcessPropertyIsRunningOutput, std::uint32_t(0));

    auto property = [&](const char* key, AudioObjectPropertySelector selector, auto set) {
      if (!entry.contains(key)) return;  // the platform answers 'who?'
      const json& value = entry[key];
      const std::string at = where + "." + key;
      if (isFailingRead(value)) {
        const FailingRead read = failingRead(value, at);
        platform.failProperty(id, selector, read.sizeStatus, read.dataStatus);
      } else {
        set(value, at);
      }
    };
    property("pid", kAudioProcessPropertyPID, [&](const json& v, const std::string& at) {
      platform.setValue(id, kAudioProcessPropertyPID, integer<std::int32_t>(v, at));
    });
    property("bundleID", kAudioProcessPropertyBundleID, [&](const json& v, const std::string& at) {
      platform.setString(id, kAudioProcessPropertyBundleID, optionalText(v, at));
    });
    property("running", kAudioProcessPropertyIsRunning, [&](const json& v, const std::string& at) {
      platform.setValue(id, kAudioProcessPropertyIsRunning, integer<std::uint32_t>(v, at));
    });
  }
}

void loadProcessList(SimulatedPlatform& platform, const json& list,
                     const std::vector<AudioObjectID>& ids) {
  allowOnly(list, "processList", {"sizeStatus", "dataStatus", "shrinkTo"});
  if (list.contains("shrinkTo")) {
    const auto count = integer<std::uint32_t>(list["shrinkTo"], "processList.shrinkTo");
    if (count > ids.size())
      scenarioFail("processList.shrinkTo",
                   "cannot exceed the " + std::to_string(ids.size()) + " processObjects");
    // Counted in full, delivered in part.
    platform.setProcessList(std::vector<AudioObjectID>(ids.begin(), ids.begin() + count));
    platform.property(AudioObjectID::system, kAudioHardwarePropertyProcessObjectList)
        ->reportedSize = std::uint32_t(ids.size() * sizeof(AudioObjectID));
  }
  const OSStatus sizeStatus = list.contains("sizeStatus")
                                  ? scenarioStatus(list["sizeStatus"], "processList.sizeStatus")
                                  : noErr;
  const OSStatus dataStatus = list.contains("dataStatus")
                                  ? scenarioStatus(list["dataStatus"], "processList.dataStatus")
                                  : noErr;
  platform.failProperty(AudioObjectID::system, kAudioHardwarePropertyProcessObjectList, sizeStatus,
                        dataStatus);
}

void loadApplications(SimulatedPlatform& platform, const json& list) {
  if (!list.is_array()) scenarioFail("applications", "expected a list, got " + shownValue(list));
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string where = "applications[" + std::to_string(i) + "]";
    const json& entry = list[i];
    allowOnly(entry, where, {"pid", "name", "bundleID"});
    if (!entry.contains("pid")) scenarioFail(where, "\"pid\" is missing");
    RunningApplication application;
    application.processIdentifier = integer<std::int32_t>(entry["pid"], where + ".pid");
    if (entry.contains("name"))
      application.localizedName = optionalText(entry["name"], where + ".name");
    if (entry.contains("bundleID"))
      application.bundleIdentifier = optionalText(entry["bundleID"], where + ".bundleID");
    platform.addApplication(std::move(application));
  }
}

std::string hexBytes(const json& value, const std::string& where) {
  const std::string digits = text(value, where);
  auto nibble = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    scenarioFail(where, "expected hexadecimal digits, got " + shownValue(value));
  };
  if (digits.size() % 2 != 0) scenarioFail(where, "expected an even number of hexadecimal digits");
  std::string bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2)
    bytes += char(nibble(digits[i]) * 16 + nibble(digits[i + 1]));
  return bytes;
}

void loadKernelNames(SimulatedPlatform& platform, const json& names) {
  if (!names.is_object())
    scenarioFail("kernelNames", "expected an object, got " + shownValue(names));
  for (const auto& [key, value] : names.items()) {
    const std::string where = "kernelNames." + key;
    std::int32_t number = 0;
    const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), number);
    if (error != std::errc() || end != key.data() + key.size()) scenarioFail(where, "not a pid");
    if (value.is_object()) {
      allowOnly(value, where, {"hex"});
      if (!value.contains("hex")) scenarioFail(where, "\"hex\" is missing");
      platform.setKernelName(number, hexBytes(value["hex"], where + ".hex"));
    } else {
      platform.setKernelName(number, text(value, where));
    }
  }
}

}  // namespace

void scenarioFail(const std::string& where, const std::string& problem) {
  throw ScenarioError(where + ": " + problem);
}

std::string shownValue(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void allowOnly(const json& object, const std::string& where,
               std::initializer_list<std::string_view> keys) {
  if (!object.is_object()) scenarioFail(where, "expected an object, got " + shownValue(object));
  for (const auto& [key, value] : object.items())
    if (std::find(keys.begin(), keys.end(), key) == keys.end())
      scenarioFail(where, "unknown key \"" + key + "\"");
}

OSStatus scenarioStatus(const json& value, const std::string& where) {
  if (value.is_string()) {
    const std::string code = value.get<std::string>();
    if (code.size() != 4)
      scenarioFail(where, "a status code has four characters, got " + shownValue(value));
    const char chars[5] = {code[0], code[1], code[2], code[3], '\0'};
    return OSStatus(fourCC(chars));
  }
  return integer<std::int32_t>(value, where);
}

json readScenarioFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ScenarioError("cannot be read");
  std::ostringstream content;
  content << in.rdbuf();
  try {
    return json::parse(content.str());
  } catch (const json::parse_error& error) {
    throw ScenarioError(std::string("not valid JSON: ") + error.what());
  }
}

void loadScenario(SimulatedPlatform& platform, const json& scenario) {
  if (!scenario.is_object())
    scenarioFail("top level", "expected an object, got " + shownValue(scenario));
  if (scenario.contains("description")) text(scenario["description"], "description");

  std::vector<AudioObjectID> ids;
  if (scenario.contains("processObjects"))
    loadProcessObjects(platform, scenario["processObjects"], ids);
  platform.setProcessList(ids);
  if (scenario.contains("processList")) loadProcessList(platform, scenario["processList"], ids);
  if (scenario.contains("applications")) loadApplications(platform, scenario["applications"]);
  if (scenario.contains("kernelNames")) loadKernelNames(platform, scenario["kernelNames"]);
  if (scenario.contains("ownPid"))
    platform.setOwnPid(integer<std::int32_t>(scenario["ownPid"], "ownPid"));
  if (scenario.contains("ownProcessObject")) {
    const json& value = scenario["ownProcessObject"];
    if (isFailingRead(value)) {
      const FailingRead read = failingRead(value, "ownProcessObject");
      const std::int32_t pid = platform.ownPid();
      platform.failProperty(
          AudioObjectID::system, kAudioHardwarePropertyTranslatePIDToProcessObject, read.sizeStatus,
          read.dataStatus, std::string(reinterpret_cast<const char*>(&pid), sizeof pid));
    } else {
      platform.setProcessObjectForPid(
          platform.ownPid(), AudioObjectID(integer<std::uint32_t>(value, "ownProcessObject")));
    }
  }

  applyRecordingScenario(platform, scenario);
}

}  // namespace pt::sim
