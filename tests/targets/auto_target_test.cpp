#include "targets/auto_target.h"

#include <gtest/gtest.h>

#include <tuple>

#include "process_builders.h"

namespace pt {
namespace {

using testing::process;

TEST(AutoTargetRulesTest, SkipAndScoreTable) {
  const bool on = true, off = false, skip = true, keep = false;
  // clang-format off
  const std::tuple<std::string, std::string, bool, bool, std::int64_t> cases[] = {
      {"Music", "com.apple.Music", on, keep, 100}, {"Anything", "COM.APPLE.MUSIC", on, keep, 100},
      {"MUSIC", "", on, keep, 100}, {"音乐", "", on, keep, 100},
      {"网易云音乐", "", on, keep, 60},  // contains, not equals
      {"音乐 Helper", "", on, keep, 20}, {"Music ", "", on, keep, 60},
      {"Music Helper", "com.example.helper", on, keep, 20},
      {"Safari PlugIn", "com.apple.safari", on, keep, 20},
      {"HELPER music", "com.apple.Music", on, keep, 100},  // the first row that holds
      {"Radio", "com.example.radio", on, keep, 60}, {"Radio", "com.example.radio", off, skip, 60},
      {"Music", "com.apple.Music", off, skip, 100},  // silent, whatever its name
      {"BrindleX Recorder", "", on, skip, 60}, {"my-PROCESS-Tap", "", on, skip, 60},
      {"Safari Graphics and Media", "com.apple.WebKit.GPU", on, skip, 60},
      {"GRAPHICS AND MEDIA", "", on, skip, 60}, {"Companion", "COM.BRINDLEX.COMPANION", on, skip, 60},
      {"Companion", "com.brindlex.companion.helper", on, keep, 60},  // equals only
      {"Safari", "com.apple.WebKit.GPU", on, skip, 60},
      {"Safari", "com.apple.WebKit.GPU.Extra", on, keep, 60},  // equals only
      {"Brindle", "com.example.brindlex", on, keep, 60},  // the tool's rule reads the name only
      {"Process Tap", "", on, keep, 60}};
  // clang-format on
  for (const auto& [name, bundleID, active, skipped, score] : cases) {
    const AudioProcessInfo p = process(42, name, bundleID, active);
    EXPECT_EQ(shouldSkipAutoTarget(p), skipped) << name << " / " << bundleID;
    EXPECT_EQ(autoTargetScore(p), score) << name << " / " << bundleID;
  }
}

TEST(FindAutoTargetTest, Choice) {
  struct Case {
    const char* what;
    std::vector<AudioProcessInfo> processes;
    std::int32_t chosen;
  } cases[] = {
      {"nothing: the whole system", {}, 0},
      {"only silent ones", {process(1, "Music", "com.apple.Music", false)}, 0},
      {"only the tool's own", {process(3, "brindlex-process-tap-Music")}, 0},
      {"score 100 beats 60", {process(1, "Radio"), process(2, "Music", "com.apple.Music")}, 2},
      {"a 60 beats a helper", {process(1, "Music Helper", "com.x"), process(2, "Radio")}, 2},
      {"one that only records is passed over; an unreadable 'piro' leaves 'pir?' to decide",
       {process(1, "Music", "", true, false), process(2, "Radio", "", true, true),
        process(3, "Pad")},
       3},
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
  const AudioProcessInfo global = findAutoTarget({});
  EXPECT_EQ(std::tie(global.objectID, global.name, global.bundleID, global.audioActive),
            std::make_tuple(AudioObjectID::unknown, std::string("全局系统音频"),
                            std::string("global.system.audio"), true));
}

}  // namespace
}  // namespace pt
