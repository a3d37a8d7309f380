#include "audio/simulated/recording_scenario.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "audio/simulated/scenario.h"

namespace pt::sim {
namespace {

using nlohmann::json;

constexpr AudioObjectID kDefaultOutputDevice = 60;
constexpr const char* kDefaultOutputUID = "SimulatedOutputDevice";

double positive(const json& value, const std::string& where) {
  if (!value.is_number()) scenarioFail(where, "expected a number, got " + shownValue(value));
  const double n = value.get<double>();
  if (!(n > 0) || !std::isfinite(n))
    scenarioFail(where, "expected a positive number, got " + shownValue(value));
  return n;
}

// A time in seconds, 0 or later.
double seconds(const json& value, const std::string& where) {
  if (!value.is_number() || !(value.get<double>() >= 0))
    scenarioFail(where, "expected seconds, got " + shownValue(value));
  return value.get<double>();
}

std::uint32_t count(const json& value, const std::string& where, std::uint32_t least) {
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() < least ||
      value.get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max())
    scenarioFail(where, "expected a whole number of at least " + std::to_string(least) + ", got " +
                            shownValue(value));
  return std::uint32_t(value.get<std::uint64_t>());
}

std::set<std::int64_t> cycles(const json& list, const std::string& where) {
  if (!list.is_array()) scenarioFail(where, "expected a list, got " + shownValue(list));
  std::set<std::int64_t> numbers;
  for (std::size_t i = 0; i < list.size(); ++i)
    numbers.insert(count(list[i], where + "[" + std::to_string(i) + "]", 1));
  return numbers;
}

// {"<cycle>": ms, ...} as seconds by cycle.
std::map<std::int64_t, double> secondsByCycle(const json& object, const std::string& where) {
  if (!object.is_object()) scenarioFail(where, "expected an object, got " + shownValue(object));
  std::map<std::int64_t, double> seconds;
  for (const auto& [key, value] : object.items()) {
    const json cycle = json::parse(key, nullptr, false);
    seconds[count(cycle, where + "." + key, 1)] = positive(value, where + "." + key) / 1000;
  }
  return seconds;
}

bool isStatus(const json& value) { return value.is_object() && value.contains("status"); }

OSStatus failingStatus(const json& value, const std::string& where) {
  allowOnly(value, where, {"status"});
  const OSStatus status = scenarioStatus(value["status"], where + ".status");
  if (status == noErr) scenarioFail(where + ".status", "a failure needs a non-zero status");
  return status;
}

OSStatus fault(const json& value, const std::string& where) {
  const OSStatus status = scenarioStatus(value, where);
  if (status == noErr) scenarioFail(where, "a failure needs a non-zero status");
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
      scenarioFail("tapFormat.formatID", "expected a four-character code, got " + shownValue(id));
    const std::string code = id.get<std::string>();
    const char chars[5] = {code[0], code[1], code[2], code[3], '\0'};
    formatID = fourCC(chars);
  }
  double rate = 48000;
  if (value.contains("sampleRate")) {
    if (!value["sampleRate"].is_number())
      scenarioFail("tapFormat.sampleRate",
                   "expected a number, got " + shownValue(value["sampleRate"]));
    rate = value["sampleRate"].get<double>();  // unusable rates are the format's to refuse
  }
  const std::uint32_t channels =
      value.contains("channels") ? count(value["channels"], "tapFormat.channels", 0) : 2;
  bool interleaved = true;
  if (value.contains("interleaved")) {
    if (!value["interleaved"].is_boolean())
      scenarioFail("tapFormat.interleaved",
                   "expected true or false, got " + shownValue(value["interleaved"]));
    interleaved = value["interleaved"].get<bool>();
  }
  const std::uint32_t bytesPerFrame = 4 * (interleaved ? channels : 1);
  platform.setTapFormat({rate, formatID,
                         kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                             (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved),
                         bytesPerFrame, 1, bytesPerFrame, channels, 32, 0});
}

void loadTones(SimulatedPlatform& platform, const json& tones) {
  if (!tones.is_object()) scenarioFail("tone", "expected an object, got " + shownValue(tones));
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
      scenarioFail(where, "not a process object id");
    platform.setTone(AudioObjectID(std::uint32_t(id)), positive(value, where));
  }
}

void loadFaults(SimulatedPlatform& platform, const json& faults, AudioObjectID outputDevice) {
  allowOnly(faults, "faults",
            {"createProcessTap", "defaultOutputDevice", "deviceUID", "createAggregateDevice",
             "captureFormat", "createIOProc", "watchDevice", "start", "writeFailures",
             "stalledWrites", "ioOverloads", "unreadableCycles", "unreadableTap", "droppedFrames",
             "permissionDenied", "microphoneDenied", "processingFormat"});
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
      scenarioFail("faults.permissionDenied",
                   "expected true or false, got " + shownValue(faults["permissionDenied"]));
    platform.setCaptureAllowed(!faults["permissionDenied"].get<bool>());
  }
  if (faults.contains("microphoneDenied")) {
    if (!faults["microphoneDenied"].is_boolean())
      scenarioFail("faults.microphoneDenied",
                   "expected true or false, got " + shownValue(faults["microphoneDenied"]));
    platform.setMicrophoneAllowed(!faults["microphoneDenied"].get<bool>());
  }
  if (faults.contains("captureFormat")) {
    if (!faults["captureFormat"].is_boolean())
      scenarioFail("faults.captureFormat",
                   "expected true or false, got " + shownValue(faults["captureFormat"]));
    platform.setCaptureFormatUnusable(faults["captureFormat"].get<bool>());
  }
  if (faults.contains("processingFormat")) {
    const json& format = faults["processingFormat"];
    const std::string where = "faults.processingFormat";
    allowOnly(format, where, {"sampleRate", "channels", "interleaved"});
    ProcessingFormat stated;
    if (format.contains("sampleRate"))
      stated.sampleRate = positive(format["sampleRate"], where + ".sampleRate");
    if (format.contains("channels"))
      stated.channels = count(format["channels"], where + ".channels", 1);
    if (format.contains("interleaved")) {
      if (!format["interleaved"].is_boolean())
        scenarioFail(where + ".interleaved",
                     "expected true or false, got " + shownValue(format["interleaved"]));
      stated.interleaved = format["interleaved"].get<bool>();
    }
    platform.setProcessingFormat(stated);
  }
  if (faults.contains("writeFailures"))
    platform.setWriteFailures(cycles(faults["writeFailures"], "faults.writeFailures"));
  if (faults.contains("unreadableCycles"))
    platform.setUnreadableCycles(cycles(faults["unreadableCycles"], "faults.unreadableCycles"),
                                 faults.contains("unreadableTap")
                                     ? std::optional(std::uint32_t(count(
                                           faults["unreadableTap"], "faults.unreadableTap", 0)))
                                     : std::nullopt);
  if (faults.contains("stalledWrites"))
    platform.stallWrites(secondsByCycle(faults["stalledWrites"], "faults.stalledWrites"));
  if (faults.contains("ioOverloads"))
    platform.overloadIO(secondsByCycle(faults["ioOverloads"], "faults.ioOverloads"));
  if (faults.contains("droppedFrames"))
    platform.setDroppedFrames(count(faults["droppedFrames"], "faults.droppedFrames", 0));
}

}  // namespace

void applyRecordingScenario(SimulatedPlatform& platform, const json& scenario) {
  static constexpr std::string_view kRecordingKeys[] = {
      "tapFormat",        "tone",         "ioFrames",     "deviceSampleRate", "outputDevice",
      "interruptAt",      "deviceLostAt", "faults",       "subDeviceInput",   "aggregateInput",
      "deviceRateChange", "cyclesStopAt", "blockedStart", "recorderStopped",  "inputDevices"};
  for (const auto& [key, value] : scenario.items()) {
    const bool known = std::find(std::begin(kRecordingKeys), std::end(kRecordingKeys), key) !=
                           std::end(kRecordingKeys) ||
                       std::find(kInventoryScenarioKeys.begin(), kInventoryScenarioKeys.end(),
                                 key) != kInventoryScenarioKeys.end();
    if (!known) scenarioFail("top level", "unknown key \"" + key + "\"");
  }

  AudioObjectID outputDevice = kDefaultOutputDevice;
  std::string outputUID = kDefaultOutputUID;
  if (scenario.contains("outputDevice")) {
    const json& device = scenario["outputDevice"];
    allowOnly(device, "outputDevice", {"id", "uid"});
    if (device.contains("id")) outputDevice = count(device["id"], "outputDevice.id", 0);
    if (device.contains("uid")) {
      if (!device["uid"].is_string())
        scenarioFail("outputDevice.uid", "expected text, got " + shownValue(device["uid"]));
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
  if (scenario.contains("inputDevices")) {
    const json& list = scenario["inputDevices"];
    if (!list.is_array()) scenarioFail("inputDevices", "expected a list, got " + shownValue(list));
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string where = "inputDevices[" + std::to_string(i) + "]";
      const json& entry = list[i];
      allowOnly(entry, where, {"id", "name", "uid", "channels", "tone", "clockDomain", "default"});
      const auto text = [&](const char* key) {
        if (!entry.contains(key) || !entry[key].is_string())
          scenarioFail(where + "." + key,
                       "expected text, got " + shownValue(entry.value(key, json())));
        return entry[key].get<std::string>();
      };
      InputDeviceModel device{count(entry.value("id", json()), where + ".id", 2), text("name"),
                              text("uid")};
      if (entry.contains("channels"))
        device.channels = count(entry["channels"], where + ".channels", 1);
      if (entry.contains("tone")) device.tone = positive(entry["tone"], where + ".tone");
      if (entry.contains("clockDomain"))
        device.clockDomain = count(entry["clockDomain"], where + ".clockDomain", 0);
      if (entry.contains("default") && !entry["default"].is_boolean())
        scenarioFail(where + ".default",
                     "expected true or false, got " + shownValue(entry["default"]));
      platform.addInputDevice(device, entry.value("default", false));
    }
  }
  if (scenario.contains("aggregateInput")) {
    const json& input = scenario["aggregateInput"];
    allowOnly(input, "aggregateInput",
              {"tapStreamsAfter", "subDeviceStreamsAfter", "tapFirst", "tapStreamChannels"});
    const auto after = [&](const char* key) {
      return input.contains(key) ? seconds(input[key], std::string("aggregateInput.") + key) : 0.0;
    };
    bool tapFirst = false;
    if (input.contains("tapFirst")) {
      if (!input["tapFirst"].is_boolean())
        scenarioFail("aggregateInput.tapFirst",
                     "expected true or false, got " + shownValue(input["tapFirst"]));
      tapFirst = input["tapFirst"].get<bool>();
    }
    std::optional<std::uint32_t> channels;
    if (input.contains("tapStreamChannels"))
      channels = count(input["tapStreamChannels"], "aggregateInput.tapStreamChannels", 1);
    platform.setAggregateInput(after("tapStreamsAfter"), after("subDeviceStreamsAfter"), tapFirst,
                               channels);
  }
  if (scenario.contains("deviceRateChange")) {
    const json& change = scenario["deviceRateChange"];
    allowOnly(change, "deviceRateChange", {"at", "rate", "repeats"});
    platform.changeDeviceRateAt(
        seconds(change.value("at", json()), "deviceRateChange.at"),
        positive(change.value("rate", json()), "deviceRateChange.rate"),
        change.contains("repeats") ? count(change["repeats"], "deviceRateChange.repeats", 0) : 0);
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
  if (scenario.contains("interruptAt"))
    platform.interruptAt(seconds(scenario["interruptAt"], "interruptAt"));
  if (scenario.contains("deviceLostAt"))
    platform.loseDeviceAt(seconds(scenario["deviceLostAt"], "deviceLostAt"));
  if (scenario.contains("cyclesStopAt"))
    platform.stopCyclesAt(seconds(scenario["cyclesStopAt"], "cyclesStopAt"));
  if (scenario.contains("recorderStopped")) {
    const json& stop = scenario["recorderStopped"];
    allowOnly(stop, "recorderStopped", {"at", "seconds"});
    platform.stopRecorderAt(stop.contains("at") ? positive(stop["at"], "recorderStopped.at") : 0,
                            positive(stop.value("seconds", json()), "recorderStopped.seconds"));
  }
  if (scenario.contains("blockedStart")) {
    const json& wait = scenario["blockedStart"];
    if (wait == json(true) || wait == json("forever"))
      platform.blockStart(std::numeric_limits<double>::infinity(), wait == json("forever"));
    else
      platform.blockStart(positive(wait, "blockedStart"));
  }
  if (scenario.contains("faults")) loadFaults(platform, scenario["faults"], outputDevice);
}

}  // namespace pt::sim
