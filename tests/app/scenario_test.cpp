// Scenario loading refuses what it cannot mean, naming the key, so that a scenario's author finds
// a typo or a wrong type at once; one row per kind of mistake. What the keys set up is seen
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
      {R"({"processObjects": [{"id": 1}, {"id": 1}]})", "appears twice"},
      {R"({"tone": {"x": 440}})", "tone.x"},
      {R"({"faults": {"stop": 1}})", "faults: unknown key \"stop\""},
      {R"({"faults": {"writeFailures": [0]}})", "faults.writeFailures[0]"}};
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
