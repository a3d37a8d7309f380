#include "audio/simulated/recording_scenario.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "audio/simulated/scenario.h"

namespace pt::sim {
namespace {

using nlohmann::json;

constexpr AudioObjectID kDefaultOutputDevice = 60;
constexpr const char* kDefaultOutputUID = "SimulatedOutputDevice";

[[noreturn]] void fail(const std::string& where, const std::string& problem) {
  throw ScenarioError(where + ": " + problem);
}

std::string shown(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void allowOnly(const json& object, const std::string& where,
               std::initializer_list<std::string_view> keys) {
  if (!object.is_object()) fail(where, "expected an object, got " + shown(object));
  for (const auto& [key, value] : object.items())
    if (std::find(keys.begin(), keys.end(), key) == keys.end())
      fail(where, "unknown key \"" + key + "\"");
}

double positive(const json& value, const std::string& where) {
  if (!value.is_number()) fail(where, "expected a number, got " + shown(value));
  const double n = value.get<double>();
  if (!(n > 0) || !std::isfinite(n)) fail(where, "expected a positive number, got " + shown(value));
  return n;
}

std::uint32_t count(const json& value, const std::string& where, std::uint32_t least) {
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() < least ||
      value.get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max())
    fail(where,
         "expected a whole number of at least " + std::to_string(least) + ", got " + shown(value));
  return std::uint32_t(value.get<std::uint64_t>());
}

bool isStatus(const json& value) { return value.is_object() && value.contains("status"); }

OSStatus failingStatus(const json& value, const std::string& where) {
  allowOnly(value, where, {"status"});
  const OSStatus status = scenarioStatus(value["status"], where + ".status");
  if (status == noErr) fail(where + ".status", "a failure needs a non-zero status");
  return status;
}

OSStatus fault(const json& value, const std::string& where) {
  const OSStatus status = scenarioStatus(value, where);
  if (status == noErr) fail(where, "a failure needs a non-zero status");
  return status;
}

void loadTapFormat(SimulatedPlatform& platform, const json& value) {
  if (isStatus(value)) {
    platform.failTapFormat(failingStatus(value, "tapFormat"));
    return;
  }
  allowOnly(value, "tapFormat", {"formatID", "sampleRate", "channels", "interleaved"});
  AudioFormatID formatID = kAudioFormatLinearPCM;
  if (value.contains("formatID")) {
    const json& id = value["formatID"];
    if (!id.is_string() || id.get<std::string>().size() != 4)
      fail("tapFormat.formatID", "expected a four-character code, got " + shown(id));
    const std::string code = id.get<std::string>();
    const char chars[5] = {code[0], code[1], code[2], code[3], '\0'};
    formatID = fourCC(chars);
  }
  double rate = 48000;
  if (value.contains("sampleRate")) {
    if (!value["sampleRate"].is_number())
      fail("tapFormat.sampleRate", "expected a number, got " + shown(value["sampleRate"]));
    rate = value["sampleRate"].get<double>();  // unusable rates are the format's to refuse
  }
  const std::uint32_t channels =
      value.contains("channels") ? count(value["channels"], "tapFormat.channels", 0) : 2;
  bool interleaved = true;
  if (value.contains("interleaved")) {
    if (!value["interleaved"].is_boolean())
      fail("tapFormat.interleaved", "expected true or false, got " + shown(value["interleaved"]));
    interleaved = value["interleaved"].get<bool>();
  }
  const std::uint32_t bytesPerFrame = 4 * (interleaved ? channels : 1);
  platform.setTapFormat({rate, formatID,
                         kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                             (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved),
                         bytesPerFrame, 1, bytesPerFrame, channels, 32, 0});
}

void loadTones(SimulatedPlatform& platform, const json& tones) {
  if (!tones.is_object()) fail("tone", "expected an object, got " + shown(tones));
  for (const auto& [key, value] : tones.items()) {
    const std::string where = "tone." + key;
    std::size_t used = 0;
    unsigned long id = 0;
    try {
      id = std::stoul(key, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used != key.size() || key.empty() || id > std::numeric_limits<std::uint32_t>::max())
      fail(where, "not a process object id");
    platform.setTone(AudioObjectID(std::uint32_t(id)), positive(value, where));
  }
}

void loadFaults(SimulatedPlatform& platform, const json& faults, AudioObjectID outputDevice) {
  allowOnly(faults, "faults",
            {"createProcessTap", "defaultOutputDevice", "deviceUID", "createAggregateDevice",
             "captureFormat", "createIOProc", "watchDevice", "start", "writeFailures",
             "permissionDenied"});
  auto call = [&](const char* key, const char* operation) {
    if (faults.contains(key))
      platform.failCall(operation, fault(faults[key], std::string("faults.") + key));
  };
  call("createProcessTap", "createProcessTap");
  call("createAggregateDevice", "createAggregateDevice");
  call("createIOProc", "createIOProcIDWithBlock");
  call("watchDevice", "addPropertyListenerBlock");
  call("start", "deviceStart");
  if (faults.contains("defaultOutputDevice"))
    platform.failProperty(AudioObjectID::system, kAudioHardwarePropertyDefaultSystemOutputDevice,
                          fault(faults["defaultOutputDevice"], "faults.defaultOutputDevice"), 0);
  if (faults.contains("deviceUID"))
    platform.failProperty(outputDevice, kAudioDevicePropertyDeviceUID,
                          fault(faults["deviceUID"], "faults.deviceUID"), 0);
  if (faults.contains("permissionDenied")) {
    if (!faults["permissionDenied"].is_boolean())
      fail("faults.permissionDenied",
           "expected true or false, got " + shown(faults["permissionDenied"]));
    platform.setCaptureAllowed(!faults["permissionDenied"].get<bool>());
  }
  if (faults.contains("captureFormat")) {
    if (!faults["captureFormat"].is_boolean())
      fail("faults.captureFormat", "expected true or false, got " + shown(faults["captureFormat"]));
    platform.setCaptureFormatUnusable(faults["captureFormat"].get<bool>());
  }
  if (faults.contains("writeFailures")) {
    const json& list = faults["writeFailures"];
    if (!list.is_array()) fail("faults.writeFailures", "expected a list, got " + shown(list));
    std::set<std::int64_t> cycles;
    for (std::size_t i = 0; i < list.size(); ++i)
      cycles.insert(count(list[i], "faults.writeFailures[" + std::to_string(i) + "]", 1));
    platform.setWriteFailures(std::move(cycles));
  }
}

}  // namespace

void applyRecordingScenario(SimulatedPlatform& platform, const json& scenario) {
  static constexpr std::string_view kRecordingKeys[] = {
      "tapFormat",   "tone",         "ioFrames", "deviceSampleRate", "outputDevice",
      "interruptAt", "deviceLostAt", "faults",   "subDeviceInput"};
  for (const auto& [key, value] : scenario.items()) {
    const bool known = std::find(std::begin(kRecordingKeys), std::end(kRecordingKeys), key) !=
                           std::end(kRecordingKeys) ||
                       std::find(kInventoryScenarioKeys.begin(), kInventoryScenarioKeys.end(),
                                 key) != kInventoryScenarioKeys.end();
    if (!known) fail("top level", "unknown key \"" + key + "\"");
  }

  AudioObjectID outputDevice = kDefaultOutputDevice;
  std::string outputUID = kDefaultOutputUID;
  if (scenario.contains("outputDevice")) {
    const json& device = scenario["outputDevice"];
    allowOnly(device, "outputDevice", {"id", "uid"});
    if (device.contains("id")) outputDevice = count(device["id"], "outputDevice.id", 0);
    if (device.contains("uid")) {
      if (!device["uid"].is_string())
        fail("outputDevice.uid", "expected text, got " + shown(device["uid"]));
      outputUID = device["uid"].get<std::string>();
    }
  }
  platform.addOutputDevice(outputDevice, outputUID);

  if (scenario.contains("tapFormat")) loadTapFormat(platform, scenario["tapFormat"]);
  if (scenario.contains("tone")) loadTones(platform, scenario["tone"]);
  if (scenario.contains("subDeviceInput")) {
    const json& input = scenario["subDeviceInput"];
    allowOnly(input, "subDeviceInput", {"channels", "tone"});
    const std::uint32_t channels =
        input.contains("channels") ? count(input["channels"], "subDeviceInput.channels", 1) : 1;
    const double tone =
        input.contains("tone") ? positive(input["tone"], "subDeviceInput.tone") : 1000;
    platform.setSubDeviceInput(channels, tone);
  }
  if (scenario.contains("ioFrames"))
    platform.setIOFrames(count(scenario["ioFrames"], "ioFrames", 1));
  if (scenario.contains("deviceSampleRate")) {
    const json& rate = scenario["deviceSampleRate"];
    if (isStatus(rate))
      platform.failDeviceSampleRate(failingStatus(rate, "deviceSampleRate"));
    else
      platform.setDeviceSampleRate(positive(rate, "deviceSampleRate"));
  }
  if (scenario.contains("interruptAt")) {
    const json& at = scenario["interruptAt"];
    if (!at.is_number() || !(at.get<double>() >= 0))
      fail("interruptAt", "expected seconds, got " + shown(at));
    platform.interruptAt(at.get<double>());
  }
  if (scenario.contains("deviceLostAt")) {
    const json& at = scenario["deviceLostAt"];
    if (!at.is_number() || !(at.get<double>() >= 0))
      fail("deviceLostAt", "expected seconds, got " + shown(at));
    platform.loseDeviceAt(at.get<double>());
  }
  if (scenario.contains("faults")) loadFaults(platform, scenario["faults"], outputDevice);
}

}  // namespace pt::sim
