// Scenario loading refuses what it cannot mean, naming the key; what the keys set up is seen
// through the runs and recordings that use them.
#include "audio/simulated/scenario.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace pt::sim {
namespace {

TEST(Scenario, RefusesWhatItCannotMeanNamingTheKey) {
  // clang-format off
  const char* cases[][2] = {
      {R"([1, 2])", "expected an object"},
      {R"({"procesObjects": []})", "top level: unknown key \"procesObjects\""},
      {R"({"processObjects": [{"pid": 5}]})", "processObjects[0]: \"id\" is missing"},
      {R"({"processObjects": [{"id": 1, "pid": "5"}]})", "processObjects[0].pid"},
      {R"({"processObjects": [{"id": 1, "pid": 2147483648}]})", "out of range"},
      {R"({"processObjects": [{"id": -1}]})", "processObjects[0].id"},
      {R"({"processObjects": [{"id": 1, "running": {"status": 0}}]})", "non-zero status"},
      {R"({"processObjects": [{"id": 1, "pid": {"status": 1, "stage": "later"}}]})", "stage"},
      {R"({"processObjects": [{"id": 1}, {"id": 1}]})", "appears twice"},
      {R"({"processObjects": [{"id": 1}], "processList": {"shrinkTo": 2}})", "shrinkTo"},
      {R"({"applications": [{"pid": 1, "name": 5}]})", "applications[0].name"},
      {R"({"kernelNames": {"12a": "x"}})", "kernelNames.12a"},
      {R"({"kernelNames": {"12": {"hex": "4"}}})", "kernelNames.12.hex"},
      {R"({"ownPid": 1.5})", "ownPid"}, {R"({"ioFrames": 0})", "ioFrames"},
      {R"({"tapFormat": {"rate": 1}})", "tapFormat: unknown key \"rate\""},
      {R"({"tapFormat": {"formatID": "pcm"}})", "tapFormat.formatID"},
      {R"({"tone": {"x": 440}})", "tone.x"}, {R"({"tone": {"11": -1}})", "tone.11"},
      {R"({"deviceSampleRate": "fast"})", "deviceSampleRate"},
      {R"({"subDeviceInput": {"channels": 0}})", "subDeviceInput"}, {R"({"subDeviceInput": {"tone": -1}})", "subDeviceInput"},
      {R"({"subDeviceInput": {"volume": 1}})", "subDeviceInput"},
      {R"({"aggregateInput": {"tapFirst": 1}})", "aggregateInput.tapFirst"},
      {R"({"aggregateInput": {"tapStreamChannels": 0}})", "aggregateInput.tapStreamChannels"},
      {R"({"deviceRateChange": {"rate": 44100}})", "deviceRateChange.at"},
      {R"({"deviceRateChange": {"at": 1, "rate": 0}})", "deviceRateChange.rate"},
      {R"({"faults": {"start": 0}})", "faults.start"},
      {R"({"faults": {"stop": 1}})", "faults: unknown key \"stop\""},
      {R"({"faults": {"captureFormat": 1}})", "faults.captureFormat"},
      {R"({"faults": {"writeFailures": [0]}})", "faults.writeFailures[0]"},
      {R"({"interruptAt": -1})", "interruptAt"}, {R"({"deviceLostAt": "soon"})", "deviceLostAt"}};
  // clang-format on
  for (const auto& [scenario, mention] : cases) {
    SimulatedPlatform platform;
    try {
      loadScenario(platform, nlohmann::json::parse(scenario));
      ADD_FAILURE() << scenario << " loaded";
    } catch (const ScenarioError& error) {
      EXPECT_THAT(error.what(), ::testing::HasSubstr(mention)) << scenario;
    }
  }
}

}  // namespace
}  // namespace pt::sim
