#include "targets/keyword_targets.h"

#include <gtest/gtest.h>

#include <optional>

#include "audio/text_error.h"
#include "process_builders.h"

namespace pt {
namespace {

using testing::pids;
using testing::process;

TEST(ParsePidTest, Strict32BitDecimal) {
  const std::optional<std::int32_t> none;
  // clang-format off
  const std::vector<std::pair<std::string, std::optional<std::int32_t>>> cases = {
      {"123", 123}, {"+123", 123}, {"-5", -5}, {"0", 0}, {"-0", 0}, {"000123", 123},
      {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}, {"2147483648", none},
      {"-2147483649", none}, {"4294967419", none}, {"99999999999999999999999999", none},
      {"", none}, {"+", none}, {"+-1", none}, {" 1", none}, {"1 ", none}, {"0x10", none},
      {"1e3", none}, {"١٢٣", none}, {"１２３", none}};
  // clang-format on
  for (const auto& [text, pid] : cases) EXPECT_EQ(parsePid(text), pid) << text;
}

TEST(KeywordPiecesTest, SplitsTrimsAndKeepsBytesAsTyped) {
  EXPECT_EQ(keywordPieces(",a,,b c ,\u2028Cafe\u0301\u2029,"),
            (std::vector<std::string_view>{"a", "b c", "Cafe\u0301"}));
  EXPECT_TRUE(keywordPieces(" ,\t, \u3000").empty());
}

// Each row names one rule of the grammar; the inventory is arranged so that a wrong rule picks a
// different process.
TEST(ResolveTargetsTest, KeywordGrammar) {
  const std::vector<AudioProcessInfo> inventory = {
      process(600, "Player 1230", "com.example.tunes", false),
      process(700, "Radio", "com.example.radio"),
      process(812, "Music Widget", "com.example.widget"),
      process(813, "Music", "com.apple.Music"),
      process(123, "Tunes", "com.example.notes", false),
      process(1000, "音乐", "com.netease.cloud"),
      process(1001, "Caf\u00E9 İzmir ΟΔΟΣ", "org.example.bad\xFF"),
  };
  const std::vector<InputDevice> inputs = {{70, "USB Headset", "usb", {1}, false},
                                           {71, "Built-in Mic", "mic", {2}, true}};
  // The chosen pids and, after " -", the excluded ones, and after " @" the input's object; or
  // the message.
  auto resolved = [&](std::string_view keyword, bool anyDefault = true) {
    try {
      std::vector<InputDevice> devices = inputs;
      devices[1].isDefault = anyDefault;
      const KeywordTargets found = resolveTargets(keyword, inventory, devices);
      std::string text;
      for (std::int32_t pid : pids(found.targets))
        text += (text.empty() ? "" : ",") + std::to_string(pid);
      for (std::size_t i = 0; i < found.excluded.size(); ++i)
        text += (i == 0 ? " -" : ",") + std::to_string(found.excluded[i].pid);
      if (found.input) text += " @" + std::to_string(std::uint32_t(found.input->objectID));
      return text;
    } catch (const TextError& error) {
      return error.text();
    }
  };
  const std::string notFound = "未找到音频进程：";
  const std::string beside = std::string(kExclusionBesideTargets) + "：";
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"Music", "812"},  // containing beats a later exact name
      {"auto", "813"}, {"AUTO", "813"}, {"Active", "813"}, {"", "813"}, {" , \u3000", "813"},
      {" Radio , Music ", "700,812"}, {"Music,music,MUSIC", "812"}, {"auto,Music,813", "813,812"},
      {"+123", "123"},  // the pid beats the earlier "Player 1230"
      {"0", "600"},  // no pid 0: searched as text
      {"4294967419", notFound + "4294967419"},
      {"-123", "0 -123"},  // an exclusion: the pid, as a target's would be
      {"-music", "0 -812,813"},  // every process the text matches
      {" -radio , -700,-MUSIC", "0 -700,812,813"}, {"-nothing", notFound + "-nothing"},
      {"-", notFound + "-"}, {"radio,-music", beside + "radio"}, {"-music,auto", beside + "auto"},
      {"tunes", "600"},  // an earlier bundle beats a later name
      {"com.apple.mu", "813"}, {"音乐", "1000"}, {"CAFE\u0301", "1001"},
      {"cafe", notFound + "cafe"},  // never half of é
      {"İZMIR", "1001"},
      {"izmir", notFound + "izmir"},  // i̇ stays a dotted i in the lower-cased name
      {"οδος", "1001"},  // the final sigma of the name
      {"\xFF", "1001"},  // U+FFFD in the bundle identifier
      {"Music,Nonexistent", notFound + "Nonexistent"}, {" NonExistent\t", notFound + "NonExistent"},
      {"zz\xC3", notFound + "zz\uFFFD"}, {"--list", notFound + "--list"},
      {"Music,--list", beside + "Music"},
      // An input device beside anything, exclusions too; alone, no process at all.
      {"@", " @71"}, {"radio,@usb", "700 @70"}, {"-radio,@", "0 -700 @71"}, {"@built,@MIC", " @71"},
      {"@nothing", "未找到输入设备：@nothing"}, {"@usb,@", "一次录音只能录一个输入设备：@"}};
  // clang-format on
  for (const auto& [keyword, expected] : cases) EXPECT_EQ(resolved(keyword), expected) << keyword;
  EXPECT_EQ(resolved("Music,@", false), "系统没有默认输入设备");
}

TEST(ResolveTargetsTest, TheGlobalTargetAppearsOnceAndTextAndPidsIgnoreTheAutoRules) {
  const std::vector<AudioProcessInfo> silent = {process(5, "Music", "com.apple.Music", false)};
  EXPECT_EQ(pids(resolveTargets("auto,active, AUTO", silent).targets), (std::vector{0}));
  EXPECT_EQ(pids(resolveTargets("music,5", silent).targets), (std::vector{5}));
}

}  // namespace
}  // namespace pt
