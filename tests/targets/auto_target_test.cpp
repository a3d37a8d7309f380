#include "targets/auto_target.h"

#include <gtest/gtest.h>

#include <tuple>

#include "process_builders.h"

namespace pt {
namespace {

using testing::process;

// Which processes the automatic choice passes over: one row per rule, and where a rule compares
// whole texts, the near miss it must keep.
TEST(AutoTargetTest, SkipRules) {
  const bool on = true, off = false, skip = true, keep = false;
  // clang-format off
  const std::tuple<std::string, std::string, bool, bool> cases[] = {
      {"Radio", "com.example.radio", on, keep}, {"Radio", "com.example.radio", off, skip},
      {"BrindleX Recorder", "", on, skip}, {"my-PROCESS-Tap", "", on, skip},
      {"Brindle", "com.example.brindlex", on, keep},  // the tool's rule reads the name only
      {"Safari Graphics and Media", "", on, skip},
      {"Companion", "COM.BRINDLEX.COMPANION", on, skip},
      {"Companion", "com.brindlex.companion.helper", on, keep},  // equals only
      {"Safari", "com.apple.WebKit.GPU", on, skip},
      {"Safari", "com.apple.WebKit.GPU.Extra", on, keep}};  // equals only
  // clang-format on
  for (const auto& [name, bundleID, active, skipped] : cases)
    EXPECT_EQ(shouldSkipAutoTarget(process(42, name, bundleID, active)), skipped)
        << name << " / " << bundleID;
}

// The choice among those left: the music player, then others, then helpers and plug-ins; a tie
// goes to the smallest name in scalar order, then to the earliest. "Alpha" sorts first, so a
// later process wins only by its rank.
TEST(AutoTargetTest, Choice) {
  struct Case {
    const char* what;
    std::vector<AudioProcessInfo> processes;
    std::int32_t chosen;
  } cases[] = {
      // clang-format off
      {"nothing: the whole system", {}, 0},
      {"skipped and silent ones passed over",
       {process(1, "Music", "", false), process(2, "Brindlex"), process(3, "Radio")}, 3},
      {"the player by bundle, any case",
       {process(1, "Alpha"), process(2, "Anything", "COM.APPLE.MUSIC")}, 2},
      {"the player by name", {process(1, "Alpha"), process(2, "MUSIC")}, 2},
      {"... or 音乐", {process(1, "Alpha"), process(2, "音乐")}, 2},
      {"a name that only holds it is no player", {process(1, "Alpha"), process(2, "网易云音乐")}, 1},
      {"a helper below others", {process(1, "Alpha Helper"), process(2, "Radio")}, 2},
      {"a plug-in below others", {process(1, "Alpha PlugIn"), process(2, "Radio")}, 2},
      {"the player's bundle before a helper's name",
       {process(1, "Alpha"), process(2, "HELPER music", "com.apple.Music")}, 2},
      {"one that only records is passed over; an unreadable 'piro' leaves 'pir?' to decide",
       {process(1, "Music", "", true, false), process(2, "Radio", "", true, true),
        process(3, "Pad")},
       3},
      {"upper case sorts first", {process(1, "alpha"), process(2, "Beta")}, 2},
      {"equal names keep input order", {process(1, "Radio"), process(2, "Radio")}, 1},
      {"canonically equal names too", {process(1, "Caf\u00E9"), process(2, "Cafe\u0301")}, 1},
      {"names compare composed", {process(1, "Cafe\u0301"), process(2, "Cafz")}, 2},
      {"ties among players by name", {process(1, "音乐"), process(2, "Music")}, 2},
      // clang-format on
  };
  for (const Case& c : cases) EXPECT_EQ(findAutoTarget(c.processes).pid, c.chosen) << c.what;
  const AudioProcessInfo global = findAutoTarget({});
  EXPECT_EQ(std::tie(global.objectID, global.name, global.bundleID, global.audioActive),
            std::make_tuple(AudioObjectID::unknown, std::string("全局系统音频"),
                            std::string("global.system.audio"), true));
}

}  // namespace
}  // namespace pt
