#include "app/arguments.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace pt {
namespace {

TEST(Arguments, DefaultsApplyOnlyToAbsentPositions) {
  // clang-format off
  const std::vector<std::tuple<std::vector<std::string_view>, std::string, double, std::string>> cases = {
      {{}, "/tmp/brindlex-process-tap-demo.caf", 8.0, "Music"}, {{"a.wav", "5"}, "a.wav", 5.0, "Music"},
      {{"", "", ""}, "", 8.0, ""},  // empty arguments are present
      {{"--list"}, "--list", 8.0, "Music"}, {{"p", "-3", "--list", "9"}, "p", -3.0, "--list"},
      // The keyword is decoded with replacement, the path kept byte for byte.
      {{"/tmp/\xFF\xFE.caf", "1", "Mu\xFFsic\xE4\xB8"}, "/tmp/\xFF\xFE.caf", 1.0, "Mu\uFFFDsic\uFFFD"},
      {{"p", "1", "网易云音乐, 812 ,auto"}, "p", 1.0, "网易云音乐, 812 ,auto"}};
  // clang-format on
  for (const auto& [arguments, path, seconds, keyword] : cases) {
    const Arguments a = readArguments(arguments);
    EXPECT_EQ(std::tie(a.outputPath, a.durationSeconds, a.keyword),
              std::tie(path, seconds, keyword));
  }
}

TEST(Arguments, DurationConvertsOnlyWhenTheWholeTextIsANumber) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::string zeros(400, '0');
  // clang-format off
  const std::vector<std::pair<std::string, double>> numbers = {
      {"2.5", 2.5}, {"+3", 3.0}, {"-1", -1.0}, {"0", 0.0}, {"1e3", 1000.0}, {"2.5E-1", 0.25},
      {"1e+2", 100.0}, {".5", 0.5}, {"5.", 5.0}, {"007", 7.0}, {"inf", inf}, {"+INF", inf},
      {"Infinity", inf}, {"-Infinity", -inf}, {"1e400", inf}, {"-1e400", -inf},
      {"1" + zeros + "e-10", inf}, {"1e-400", 0.0}, {"0." + zeros + "1", 0.0}, {"-1e-400", 0.0}};
  // clang-format on
  for (const auto& [text, seconds] : numbers) {
    const std::vector<std::string_view> arguments = {"p", text};
    EXPECT_EQ(readArguments(arguments).durationSeconds, seconds) << text;
  }
  // clang-format off
  for (std::string text : {"NaN", "-nan", " 2", "2 ", "2s", "", "+", ".", "e5", "1e", "1e+", "1.2.3",
                           "++1", "0x10", "infinit", "infinityy", "1,5", "\xD9\xA1\xD9\xA2",
                           "\xEF\xBC\x92", "2\n"}) {
    // clang-format on
    const std::vector<std::string_view> arguments = {"p", text};
    EXPECT_EQ(readArguments(arguments).durationSeconds, 8.0) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace pt
