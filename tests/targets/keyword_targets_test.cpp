#include "targets/keyword_targets.h"

#include <gtest/gtest.h>

#include <variant>

#include "audio/text_error.h"
#include "process_builders.h"

namespace pt {
namespace {

using testing::pids;
using testing::process;

TEST(ParsePidTest, Strict32BitDecimal) {
  struct Case {
    std::string text;
    std::optional<std::int32_t> pid;
  } cases[] = {
      {"123", 123},
      {"+123", 123},
      {"-5", -5},
      {"0", 0},
      {"-0", 0},
      {"000123", 123},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"4294967419", std::nullopt},  // would wrap to 123
      {"99999999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"+-1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
      {"١٢٣", std::nullopt},  // digits of another script
      {"１２３", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parsePid(c.text), c.pid) << c.text;
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
  using Expected = std::variant<std::vector<std::int32_t>, std::string>;
  struct Case {
    std::string keyword;
    Expected expected;
  } cases[] = {
      {"Music", std::vector{812}},  // containing beats a later exact name
      {"auto", std::vector{813}},
      {"AUTO", std::vector{813}},
      {"Active", std::vector{813}},
      {"", std::vector{813}},
      {",", std::vector{813}},
      {" , ", std::vector{813}},
      {",,", std::vector{813}},
      {"\u3000\t\u2029", std::vector{813}},
      {" Radio , Music ", std::vector{700, 812}},
      {"Music,music,MUSIC", std::vector{812}},
      {"auto,Music,813", std::vector{813, 812}},
      {"123", std::vector{123}},  // the pid beats the earlier "Player 1230"
      {"+123", std::vector{123}},
      {"000123", std::vector{123}},
      {"0", std::vector{600}},  // no pid 0: searched as text
      {"4294967419", "未找到音频进程：4294967419"},
      {"-123", "未找到音频进程：-123"},
      {"１２３", "未找到音频进程：１２３"},
      {"tunes", std::vector{600}},  // an earlier bundle beats a later name
      {"com.apple.mu", std::vector{813}},
      {"音乐", std::vector{1000}},
      {"CAFE\u0301", std::vector{1001}},
      {"cafe", "未找到音频进程：cafe"},  // never half of é
      {"İZMIR", std::vector{1001}},
      {"izmir", "未找到音频进程：izmir"},  // i̇ stays a dotted i in the lower-cased name
      {"οδος", std::vector{1001}},         // the final sigma of the name
      {"\xFF", std::vector{1001}},         // U+FFFD in the bundle identifier
      {"Music,Nonexistent", "未找到音频进程：Nonexistent"},
      {" NonExistent\t", "未找到音频进程：NonExistent"},
      {"zz\xC3", "未找到音频进程：zz\uFFFD"},
      {"--list", "未找到音频进程：--list"},
      {"Music,--list", "未找到音频进程：--list"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keyword);
    try {
      const std::vector<std::int32_t> got = pids(resolveTargets(c.keyword, inventory));
      if (auto* expected = std::get_if<std::vector<std::int32_t>>(&c.expected)) {
        EXPECT_EQ(got, *expected);
      } else {
        ADD_FAILURE() << "expected " << std::get<std::string>(c.expected);
      }
    } catch (const TextError& error) {
      if (auto* expected = std::get_if<std::string>(&c.expected)) {
        EXPECT_EQ(error.text(), *expected);
      } else {
        ADD_FAILURE() << "threw " << error.what();
      }
    }
  }
}

TEST(ResolveTargetsTest, TheGlobalTargetAppearsOnce) {
  const std::vector<AudioProcessInfo> silent = {process(5, "Music", "com.apple.Music", false)};
  const std::vector<AudioProcessInfo> targets = resolveTargets("auto,active, AUTO", silent);
  ASSERT_EQ(targets.size(), 1u);
  EXPECT_FALSE(targets[0].objectID.isValid());
  EXPECT_EQ(targets[0].name, "全局系统音频");
  // Text and pid matches ignore the activity and the skip rules.
  EXPECT_EQ(pids(resolveTargets("music,5", silent)), (std::vector{5}));
}

TEST(FindTargetTest, EmptyInventoryOrKeywordMatchesNothing) {
  EXPECT_THROW(findTarget("Music", {}), TextError);
  EXPECT_THROW(findTarget("", {process(1, "Music")}), TextError);
  EXPECT_EQ(findTarget("auto", {}).pid, 0);
}

}  // namespace
}  // namespace pt
