#include "app/arguments.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace pt {
namespace {

Arguments read(std::vector<std::string_view> arguments) { return readArguments(arguments); }

TEST(Arguments, DefaultsApplyOnlyToAbsentPositions) {
  struct Case {
    const char* name;
    std::vector<std::string_view> arguments;
    std::string path;
    double seconds;
    std::string keyword;
  };
  const std::vector<Case> cases = {
      {"none", {}, "/tmp/brindlex-process-tap-demo.caf", 8.0, "Music"},
      {"path only", {"/tmp/a.caf"}, "/tmp/a.caf", 8.0, "Music"},
      {"path and seconds", {"a.wav", "5"}, "a.wav", 5.0, "Music"},
      {"all three", {"/tmp/a.caf", "2.5", "Radio"}, "/tmp/a.caf", 2.5, "Radio"},
      {"empty arguments are present", {"", "", ""}, "", 8.0, ""},
      {"--list first is a path", {"--list"}, "--list", 8.0, "Music"},
      {"a hyphen in the seconds is a number", {"a", "-3", "--list"}, "a", -3.0, "--list"},
      {"later arguments are ignored", {"p", "1", "k", "--list", "9"}, "p", 1.0, "k"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Arguments a = read(c.arguments);
    EXPECT_EQ(a.outputPath, c.path);
    EXPECT_EQ(a.durationSeconds, c.seconds);
    EXPECT_EQ(a.keyword, c.keyword);
  }
}

TEST(Arguments, DurationConvertsOnlyWhenTheWholeTextIsANumber) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string text;
    double seconds;
  };
  const std::vector<Case> cases = {
      {"2.5", 2.5},
      {"+3", 3.0},
      {"-1", -1.0},
      {"0", 0.0},
      {"1e3", 1000.0},
      {"2.5E-1", 0.25},
      {"1e+2", 100.0},
      {".5", 0.5},
      {"5.", 5.0},
      {"007", 7.0},
      {"inf", inf},
      {"+INF", inf},
      {"Infinity", inf},
      {"-Infinity", -inf},
      {"1e400", inf},
      {"-1e400", -inf},
      {"1" + std::string(400, '0') + "e-10", inf},
      // Not numbers, or not only numbers.
      {"NaN", 8.0},
      {"nan", 8.0},
      {"-nan", 8.0},
      {" 2", 8.0},
      {"2 ", 8.0},
      {"2s", 8.0},
      {"", 8.0},
      {"+", 8.0},
      {".", 8.0},
      {"e5", 8.0},
      {"1e", 8.0},
      {"1e+", 8.0},
      {"1.2.3", 8.0},
      {"++1", 8.0},
      {"0x10", 8.0},
      {"infinit", 8.0},
      {"infinityy", 8.0},
      {"1,5", 8.0},
      {"\xD9\xA1\xD9\xA2", 8.0},  // Arabic-Indic digits one and two
      {"\xEF\xBC\x92", 8.0},      // full-width digit two
      {std::string("2\0", 2), 8.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.text + "\"");
    const std::vector<std::string_view> arguments = {"p", c.text};
    EXPECT_EQ(readArguments(arguments).durationSeconds, c.seconds);
  }
}

TEST(Arguments, TinyMagnitudesUnderflowTowardsZeroNotInfinity) {
  const std::vector<std::string> texts = {"1e-400", "0." + std::string(400, '0') + "1", "-1e-400",
                                          "1e-310"};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const std::optional<double> seconds = convertDuration(text);
    ASSERT_TRUE(seconds.has_value());
    EXPECT_LT(std::fabs(*seconds), 1e-300);
  }
}

TEST(Arguments, KeywordIsDecodedWithReplacementAndThePathKeptByteForByte) {
  const std::string path = "/tmp/\xFF\xFE-\xC3.caf";
  const std::vector<std::string_view> arguments = {path, "1", "Mu\xFFsic\xE4\xB8"};
  const Arguments a = readArguments(arguments);
  EXPECT_EQ(a.outputPath, path);
  EXPECT_EQ(a.keyword, "Mu\xEF\xBF\xBDsic\xEF\xBF\xBD");
}

TEST(Arguments, WellFormedKeywordPassesUnchanged) {
  const std::vector<std::string_view> arguments = {"p", "1", "网易云音乐, 812 ,auto"};
  EXPECT_EQ(readArguments(arguments).keyword, "网易云音乐, 812 ,auto");
}

}  // namespace
}  // namespace pt
