#include "targets/unicode_text.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <string>
#include <tuple>
#include <utility>

namespace pt {
namespace {

// Restores ICU's default locale, which a Turkish user would have set.
class DefaultLocale {
 public:
  explicit DefaultLocale(const char* name) : previous_(icu::Locale::getDefault()) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(name), status);
  }
  ~DefaultLocale() {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(previous_, status);
  }

 private:
  icu::Locale previous_;
};

// clang-format off
TEST(LowercasedTest, FullMappingIndependentOfLocale) {
  DefaultLocale turkish("tr_TR");
  const std::pair<std::string, std::string> cases[] = {
      {"MUSIC", "music"}, {"I", "i"},  // not the Turkish dotless ı
      {"İstanbul", "i\u0307stanbul"},  // full mapping keeps the dot as a combining mark
      {"ΟΔΟΣ FM", "οδος fm"}, {"ΣΑ", "σα"},  // final sigma, and not final
      {"\u1E9E", "ß"}, {"音乐", "音乐"}, {"A\xFF" "B\xC3", "a\uFFFDb\uFFFD"},
      {std::string("A\0B", 3), std::string("a\0b", 3)}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(lowercased(text), expected) << text;
}

TEST(CanonicalEquivalenceTest, EqualAndContainsMatchWholeCharacters) {
  const std::tuple<std::string, std::string, bool> equal[] = {
      {"Caf\u00E9", "Cafe\u0301", true}, {"\u212B", "\u00C5", true},
      {"a\u0301\u0323", "a\u0323\u0301", true}, {"\xFF", "\uFFFD", true},
      {"Cafe", "Caf\u00E9", false}, {"music", "Music", false}, {"", "", true}};
  for (const auto& [a, b, same] : equal) EXPECT_EQ(canonicallyEqual(a, b), same) << a << " / " << b;
  const std::tuple<std::string, std::string, bool> contains[] = {
      {"Apple Music", "Music", true}, {"Apple Music", "music", false}, {"网易云音乐", "音乐", true},
      {"Cafe\u0301 Radio", "Caf\u00E9", true}, {"Caf\u00E9 Radio", "Cafe\u0301", true},
      {"Caf\u00E9", "e\u0301", true},
      {"Cafe\u0301", "Cafe", false},  // would take the e and leave its accent behind
      {"Caf\u00E9", "Cafe", false}, {"e\u0301", "\u0301", false},
      {"e\u0301 e", "e", true},  // the first hit splits a character, the second does not
      {"i\u0307stanbul", "istanbul", false}, {"i\u0307stanbul", "stanbul", true},
      {"\xF0\x9F\x87\xBA\xF0\x9F\x87\xB8", "\xF0\x9F\x87\xBA", false},  // half a flag
      {"\uAC01", "\uAC00", false},  // 각 does not contain 가
      {"a\xFF" "b", "\uFFFD", true}, {"\xC3(", "\uFFFD(", true}, {"abc", "", false},
      {"", "a", false}, {"ab", "abc", false},
      // CR LF is one character; plain ASCII text has no other cluster of two
      {"a\r\nb", "\r", false}, {"a\r\nb", "\nb", false}, {"a\r\nb", "a\r\n", true},
      {"\r\r\n", "\r", true}, {"\n\r", "\n", true}};
  for (const auto& [haystack, needle, found] : contains)
    EXPECT_EQ(canonicallyContains(haystack, needle), found) << haystack << " / " << needle;
}

TEST(TrimTest, ExactlyFoundationWhitespaceAndNewlines) {
  const std::pair<std::string, std::string> cases[] = {
      {" a ", "a"}, {"\t\n\v\f\r a \xC2\x85", "a"}, {"\u3000音乐\u2028", "音乐"},
      {"\u00A0\u1680\u2000\u200A\u202F\u205Fx\u2029", "x"}, {" a b ", "a b"},
      {"\u200Bx\u200B", "\u200Bx\u200B"},  // zero width space is not a space separator
      {"\x1C" "x\x1F", "\x1C" "x\x1F"},  // nor are the information separators
      {"\uFEFFx", "\uFEFFx"}, {" \xFF ", "\xFF"},
      {" \xC2", "\xC2"},  // a truncated U+0085 stays
      {"\x85 ", "\x85"},  // a lone continuation byte stays
      {"  ", ""}, {"", ""}};
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(trimmedWhitespaceAndNewlines(text), expected) << text;
}
// clang-format on

}  // namespace
}  // namespace pt
