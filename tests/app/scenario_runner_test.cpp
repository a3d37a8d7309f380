// Whole runs of the real entry, driven through process-tap-sim as a user would run it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/app/sim_run.h"

namespace pt::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using json = nlohmann::json;

// Radio plays; nothing matches the default keyword.
const json kRadioOnly = json::parse(R"({
  "processObjects": [{"id": 72, "pid": 900, "bundleID": "com.example.Radio", "running": 1}],
  "applications": [{"pid": 900, "name": "Radio", "bundleID": "com.example.Radio"}]
})");

class ScenarioRunner : public ::testing::Test {
 protected:
  SimRun run(const json& scenario, const std::vector<std::string>& arguments) {
    return keep(runSim(scenario, arguments));
  }
  SimRun keep(SimRun result) {
    directories_.push_back(result.directory);
    return result;
  }
  void TearDown() override {
    for (const auto& dir : directories_) std::filesystem::remove_all(dir);
  }

 private:
  std::vector<std::filesystem::path> directories_;
};

TEST_F(ScenarioRunner, InventoryReadFailuresEndTheRunWithTheirMessage) {
  struct Case {
    const char* processList;
    const char* message;
  };
  const std::vector<Case> cases = {
      {R"({"sizeStatus": -50})", "读取音频进程列表大小失败：-50\n"},
      {R"({"sizeStatus": "!obj"})", "读取音频进程列表大小失败：560947818\n"},
      {R"({"dataStatus": 2003332927})", "读取音频进程列表失败：2003332927\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.processList);
    json scenario = kRadioOnly;
    scenario["processList"] = json::parse(c.processList);
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"out.caf", "1", "Radio"}, {"out.caf", "1", "--list"}}) {
      const SimRun result = run(scenario, arguments);
      EXPECT_EQ(result.err, c.message);
      EXPECT_THAT(result.out, IsEmpty());
      EXPECT_NE(result.exitStatus, 0);
      EXPECT_NE(result.exitStatus, 2);  // the tool's failure, not the scenario's
      EXPECT_FALSE(std::filesystem::exists(result.directory / "out.caf"));
    }
  }
}

// The keyword that reaches target selection shows in the not-found message.
TEST_F(ScenarioRunner, ArgumentsReachTargetSelectionAsTyped) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no arguments: the default keyword", {}, "未找到音频进程：Music\n"},
      {"a path only", {"out.caf"}, "未找到音频进程：Music\n"},
      {"--list first is a path", {"--list"}, "未找到音频进程：Music\n"},
      {"--list second is a duration", {"out.caf", "--list"}, "未找到音频进程：Music\n"},
      {"an explicit keyword", {"out.caf", "2.5", "Music"}, "未找到音频进程：Music\n"},
      {"a fourth argument is ignored",
       {"out.caf", "1", "Nope", "--list", "Radio"},
       "未找到音频进程：Nope\n"},
      {"ill-formed bytes are replaced",
       {"out.caf", "", "Mu\xFFsic"},
       "未找到音频进程：Mu\xEF\xBF\xBDsic\n"},
      {"a non-UTF-8 path is fine", {"\xFF\xFE.caf", "x", "Nope"}, "未找到音频进程：Nope\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SimRun result = run(kRadioOnly, c.arguments);
    EXPECT_EQ(result.err, c.message);
    EXPECT_THAT(result.out, IsEmpty());
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(std::filesystem::is_empty(result.directory)) << "no output file is made";
  }
}

TEST_F(ScenarioRunner, ListingIsWrittenAndEndsWithSuccess) {
  const SimRun result = keep(runSimRaw(
      {(examplesDirectory() / "music-and-radio.json").string(), "out.caf", "x", "--list"}));
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_THAT(result.err, IsEmpty());
  EXPECT_THAT(result.out, HasSubstr("Music"));
  EXPECT_THAT(result.out, HasSubstr("Radio"));
  EXPECT_FALSE(std::filesystem::exists(result.directory / "out.caf"));
}

TEST_F(ScenarioRunner, ExamplesLoad) {
  for (const auto& entry : std::filesystem::directory_iterator(examplesDirectory())) {
    if (entry.path().extension() != ".json") continue;
    SCOPED_TRACE(entry.path().string());
    const SimRun result = keep(runSimRaw({entry.path().string(), "out.caf", "1", "--list"}));
    EXPECT_NE(result.exitStatus, 2) << result.err;
  }
}

// A broken scenario is the runner's failure: status 2 and a message that says what is wrong.
TEST_F(ScenarioRunner, BrokenScenariosAreReportedWithStatusTwo) {
  struct Case {
    const char* scenario;
    const char* mention;
  };
  const std::vector<Case> cases = {
      {R"({"processObjects": [)", "not valid JSON"},
      {R"([1, 2])", "expected an object"},
      {R"({"procesObjects": []})", "unknown key \"procesObjects\""},
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
      {R"({"ownPid": 1.5})", "ownPid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    const SimRun result = keep(runSimText(c.scenario, {}));
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_THAT(result.err, HasSubstr(c.mention));
    EXPECT_THAT(result.err, HasSubstr("scenario.json"));
    EXPECT_THAT(result.out, IsEmpty());
  }
}

// Whole recordings through the entry: what each ending leaves on the streams, the status and disk.
TEST_F(ScenarioRunner, RecordingsEndWithTheirStatusSummaryAndFile) {
  struct Case {
    const char* name;
    const char* recording;  // keys added to a scenario where Radio plays
    int status;
    const char* out;  // part of standard output, or "" for none
    const char* err;
    bool fileLeft;
  };
  const std::vector<Case> cases = {
      {"a full run", R"({})", 0,
       "/out.wav targets=Radio(pid=900) buffers=93 frames=47616 sampleRate=48000", "", true},
      {"an interruption", R"({"interruptAt": 0.5})", 0, "buffers=46 frames=23552", "", true},
      {"the device's end", R"({"deviceLostAt": 0.5})", 1, "buffers=46 frames=23552",
       "Tap 聚合设备已停止工作，录音提前结束\n", true},
      {"a failing start", R"({"faults": {"start": -50}})", 1, "", "启动 Tap 聚合设备失败：-50\n",
       true},
      {"a failing tap", R"({"faults": {"createProcessTap": -50}})", 1, "",
       "创建进程音频 Tap 失败：-50\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json scenario = kRadioOnly;
    scenario["tone"] = {{"72", 440}};
    scenario.update(json::parse(c.recording));
    const SimRun result = run(scenario, {"out.wav", "1", "Radio"});
    EXPECT_EQ(result.exitStatus, c.status);
    EXPECT_EQ(result.err, c.err);
    if (*c.out == '\0')
      EXPECT_THAT(result.out, IsEmpty());
    else
      EXPECT_THAT(result.out, HasSubstr(c.out));
    EXPECT_EQ(std::filesystem::exists(result.directory / "out.wav"), c.fileLeft);
  }
}

TEST_F(ScenarioRunner, MissingOrUnreadableScenarioIsStatusTwo) {
  SimRun result = keep(runSimRaw({}));
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_THAT(result.err, HasSubstr("usage: process-tap-sim SCENARIO.json"));
  result = keep(runSimRaw({"absent.json", "out.caf"}));
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_THAT(result.err, HasSubstr("absent.json: cannot be read"));
}

}  // namespace
}  // namespace pt::testing
