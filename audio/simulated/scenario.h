// Scenarios: the simulated platform described in a JSON file, so that whole runs can be driven
// the way a user runs the tool. Keys of the inventory (all optional):
//
//   "description":      text for the reader, ignored
//   "processObjects":   [{"id": N, "pid": V, "bundleID": V, "running": V}, ...] in Core Audio's
//                       order. V is a value or a failing read {"status": S} (the size query
//                       fails) or {"status": S, "stage": "data"}. A missing key answers
//                       kAudioHardwareUnknownPropertyError. "bundleID" may be null (a null
//                       string reference).
//   "applications":     [{"pid": N, "name": T|null, "bundleID": T|null}, ...] in order
//   "kernelNames":      {"<pid>": T | {"hex": "<bytes>"}}; a pid absent here has no kernel name
//   "ownPid":           N
//   "ownProcessObject": what 'id2p' answers for the own pid: N or {"status": S}
//   "processList":      {"sizeStatus": S, "dataStatus": S, "shrinkTo": N} for the 'prs#' read;
//                       shrinkTo delivers only the first N IDs of those counted
//
// A status S is a signed 32-bit integer or a four-character code such as "who?". Other top-level
// keys belong to the recording part of a scenario (audio/simulated/recording_scenario.h); without
// it they are errors.
#pragma once

#include <array>
#include <initializer_list>
#include <nlohmann/json_fwd.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

#include "audio/simulated/simulated_platform.h"

namespace pt::sim {

// A scenario that cannot be loaded; the message names the key at fault.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::array<std::string_view, 7> kInventoryScenarioKeys = {
    "description", "processObjects", "applications",    "kernelNames",
    "ownPid",      "processList",    "ownProcessObject"};

// Parses a scenario file; throws ScenarioError when it cannot be read or is not JSON (the
// message leaves the path to the caller).
nlohmann::json readScenarioFile(const std::string& path);

// Sets `platform` up as `scenario` describes; throws ScenarioError.
void loadScenario(SimulatedPlatform& platform, const nlohmann::json& scenario);

// A status S (see above) at `where`; throws ScenarioError.
OSStatus scenarioStatus(const nlohmann::json& value, const std::string& where);

// For the loaders of a scenario's parts: an error naming the place at fault, a value as an
// error shows it, and an object that may hold only `keys`.
[[noreturn]] void scenarioFail(const std::string& where, const std::string& problem);
std::string shownValue(const nlohmann::json& value);
void allowOnly(const nlohmann::json& object, const std::string& where,
               std::initializer_list<std::string_view> keys);

}  // namespace pt::sim
