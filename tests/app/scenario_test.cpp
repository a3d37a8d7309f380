// The scenario keys set the simulated platform up as they say; checked through the inventory.
#include "audio/simulated/scenario.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "audio/property_access.h"
#include "audio/text_error.h"
#include "processes/inventory.h"

namespace pt::sim {
namespace {

using ::testing::ElementsAre;
using json = nlohmann::json;

class Scenario : public ::testing::Test {
 protected:
  SimulatedPlatform platform;
  PlatformScope scope{platform};

  void load(const char* text) { loadScenario(platform, json::parse(text)); }
};

TEST_F(Scenario, ProcessObjectsAnswerTheirValuesAndFailures) {
  load(R"({
    "processObjects": [
      {"id": 10, "pid": 812, "bundleID": "com.apple.Music", "running": 1},
      {"id": 11, "pid": {"status": -50}},
      {"id": 12, "pid": 77, "bundleID": {"status": "who?", "stage": "data"}, "running": 2},
      {"id": 13, "pid": 78, "bundleID": null},
      {"id": 14}
    ],
    "applications": [
      {"pid": 77, "name": null, "bundleID": "com.app"},
      {"pid": 78, "name": "", "bundleID": null},
      {"pid": 77, "name": "Later"}
    ],
    "kernelNames": {"77": {"hex": "4d75e9"}, "-3": "negative"}
  })");
  const std::vector<AudioProcessInfo> processes = readAudioProcesses();
  ASSERT_EQ(processes.size(), 3u);
  EXPECT_EQ(processes[0].objectID, 10u);
  EXPECT_EQ(processes[0].name, "Unknown 812");
  EXPECT_EQ(processes[0].bundleID, "com.apple.Music");
  EXPECT_TRUE(processes[0].audioActive);
  EXPECT_EQ(processes[1].name, "Mu\xEF\xBF\xBD");
  EXPECT_EQ(processes[1].bundleID, "com.app");
  EXPECT_FALSE(processes[1].audioActive);
  EXPECT_EQ(processes[2].name, "");
  EXPECT_EQ(processes[2].bundleID, "");
  EXPECT_FALSE(processes[2].audioActive);  // no running key

  auto message = [](AudioObjectID id, AudioObjectPropertySelector selector) {
    try {
      id.read<std::uint32_t>(selector, 0);
    } catch (const TextError& error) {
      return error.text();
    }
    return std::string("(no error)");
  };
  EXPECT_EQ(message(11, kAudioProcessPropertyPID), "读取 Core Audio 属性大小失败：-50");
  EXPECT_EQ(message(12, kAudioProcessPropertyBundleID), "读取 Core Audio 属性失败：2003332927");
  EXPECT_EQ(message(14, kAudioProcessPropertyPID), "读取 Core Audio 属性大小失败：2003332927");
  EXPECT_EQ(message(99, kAudioProcessPropertyPID), "读取 Core Audio 属性大小失败：560947818");
}

TEST_F(Scenario, ProcessListCanShrinkAndFail) {
  load(R"({"processObjects": [{"id": 10, "pid": 1}, {"id": 11, "pid": 2}, {"id": 12}],
           "processList": {"shrinkTo": 1}})");
  EXPECT_THAT(readProcessList(), ElementsAre(10u, 0u, 0u));

  SimulatedPlatform failing;
  PlatformScope inner(failing);
  loadScenario(failing, json::parse(R"({"processList": {"dataStatus": "!obj"}})"));
  try {
    readProcessList();
    ADD_FAILURE() << "the list read succeeded";
  } catch (const TextError& error) {
    EXPECT_EQ(error.text(), "读取音频进程列表失败：560947818");
  }
}

TEST_F(Scenario, OwnProcessObjectAnswersForTheOwnPid) {
  load(R"({"ownPid": 555, "ownProcessObject": 31})");
  EXPECT_EQ(platform.ownPid(), 555);
  EXPECT_EQ(translatePIDToProcessObjectID(555), 31u);
  EXPECT_EQ(translatePIDToProcessObjectID(556), AudioObjectID::unknown);  // as Core Audio answers

  SimulatedPlatform failing;
  PlatformScope inner(failing);
  loadScenario(failing, json::parse(R"({"ownProcessObject": {"status": "!obj"}})"));
  try {
    translatePIDToProcessObjectID(failing.ownPid());
    ADD_FAILURE() << "the translation succeeded";
  } catch (const TextError& error) {
    EXPECT_EQ(error.text(), "读取 Core Audio 属性大小失败：560947818");
  }
}

TEST_F(Scenario, NoKeysIsAnEmptySystem) {
  load("{}");
  EXPECT_TRUE(readAudioProcesses().empty());
}

}  // namespace
}  // namespace pt::sim
