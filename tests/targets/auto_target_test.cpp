#include "targets/auto_target.h"

#include <gtest/gtest.h>

#include "process_builders.h"

namespace pt {
namespace {

using testing::process;

TEST(AutoTargetRulesTest, SkipAndScoreTable) {
  struct Case {
    std::string name, bundleID;
    bool active, skipped;
    std::int64_t score;
  } cases[] = {
      {"Music", "com.apple.Music", true, false, 100},
      {"Anything", "COM.APPLE.MUSIC", true, false, 100},
      {"MUSIC", "", true, false, 100},
      {"音乐", "", true, false, 100},
      {"网易云音乐", "", true, false, 60},  // contains, not equals
      {"音乐 Helper", "", true, false, 20},
      {"Music ", "", true, false, 60},
      {"Music Helper", "com.example.helper", true, false, 20},
      {"Safari PlugIn", "com.apple.safari", true, false, 20},
      {"HELPER music", "com.apple.Music", true, false, 100},  // the first row that holds
      {"Radio", "com.example.radio", true, false, 60},
      {"Radio", "com.example.radio", false, true, 60},  // silent
      {"Music", "com.apple.Music", false, true, 100},   // silent, whatever its name
      {"BrindleX Recorder", "", true, true, 60},
      {"my-PROCESS-Tap", "", true, true, 60},
      {"Safari Graphics and Media", "com.apple.WebKit.GPU", true, true, 60},
      {"GRAPHICS AND MEDIA", "", true, true, 60},
      {"Companion", "COM.BRINDLEX.COMPANION", true, true, 60},
      {"Companion", "com.brindlex.companion.helper", true, false, 60},  // equals only
      {"Safari", "com.apple.WebKit.GPU", true, true, 60},
      {"Safari", "com.apple.WebKit.GPU.Extra", true, false, 60},  // equals only
      {"Brindle", "com.example.brindlex", true, false, 60},       // rule 1 reads the name only
      {"Process Tap", "", true, false, 60},
  };
  for (const Case& c : cases) {
    const AudioProcessInfo p = process(42, c.name, c.bundleID, c.active);
    EXPECT_EQ(shouldSkipAutoTarget(p), c.skipped) << c.name << " / " << c.bundleID;
    EXPECT_EQ(autoTargetScore(p), c.score) << c.name << " / " << c.bundleID;
  }
}

void expectGlobalSystemAudio(const AudioProcessInfo& target) {
  EXPECT_EQ(target.pid, 0);
  EXPECT_EQ(std::uint32_t(target.objectID), 0u);
  EXPECT_FALSE(target.objectID.isValid());
  EXPECT_EQ(target.name, "全局系统音频");
  EXPECT_EQ(target.bundleID, "global.system.audio");
  EXPECT_TRUE(target.audioActive);
}

TEST(FindAutoTargetTest, FallsBackToGlobalSystemAudio) {
  expectGlobalSystemAudio(findAutoTarget({}));
  expectGlobalSystemAudio(findAutoTarget(
      {process(1, "Music", "com.apple.Music", false), process(2, "Radio", "", false)}));
  expectGlobalSystemAudio(findAutoTarget({process(3, "brindlex-process-tap-Music", "", true)}));
}

TEST(FindAutoTargetTest, Choice) {
  struct Case {
    const char* what;
    std::vector<AudioProcessInfo> processes;
    std::int32_t chosen;
  } cases[] = {
      {"score 100 beats 60", {process(1, "Radio"), process(2, "Music", "com.apple.Music")}, 2},
      {"a 60 beats a helper",
       {process(1, "Music Helper", "com.example.x"), process(2, "Radio")},
       2},
      {"skipped and silent processes are passed over",
       {process(1, "Music", "", false), process(2, "Brindlex"), process(3, "Radio")},
       3},
      {"upper case sorts first", {process(1, "alpha"), process(2, "Beta")}, 2},
      {"equal names keep input order", {process(1, "Radio"), process(2, "Radio")}, 1},
      {"canonically equal names keep input order",
       {process(1, "Caf\u00E9"), process(2, "Cafe\u0301")},
       1},
      {"names compare composed", {process(1, "Cafe\u0301"), process(2, "Cafz")}, 2},
      {"ties among 100s by name", {process(1, "音乐"), process(2, "Music")}, 2},
  };
  for (const Case& c : cases) EXPECT_EQ(findAutoTarget(c.processes).pid, c.chosen) << c.what;
}

}  // namespace
}  // namespace pt
