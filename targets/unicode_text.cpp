#include "targets/unicode_text.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <climits>
#include <memory>

#include "audio/text_error.h"
#include "processes/valid_utf8.h"

namespace pt {
namespace {

// ICU ships its data inside the library, so a failure here means a broken installation.
void check(UErrorCode status) {
  if (U_FAILURE(status))
    throw TextError(std::string("Unicode 文本处理失败：") + u_errorName(status));
}

std::int32_t length32(std::string_view text) {
  // Arguments and process names are far below this; refuse rather than wrap.
  if (text.size() > std::size_t(INT32_MAX)) throw TextError("Unicode 文本过长");
  return std::int32_t(text.size());
}

// Plain ASCII (isAscii) is its own lower case (by byte), canonical form and scalar order, and
// each of its characters is one byte but CR LF: such text needs no Unicode data. Nearly every name
// and keyword is ASCII, and this keeps ICU's tables out of a recording's memory.
bool splitsLineBreak(std::string_view text, std::size_t at) {
  return at > 0 && at < text.size() && text[at - 1] == '\r' && text[at] == '\n';
}

icu::UnicodeString decode(std::string_view bytes) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), length32(bytes)));
}

std::string encode(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

icu::UnicodeString normalized(const icu::UnicodeString& text, bool composed) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* form = composed ? icu::Normalizer2::getNFCInstance(status)
                                          : icu::Normalizer2::getNFDInstance(status);
  check(status);
  icu::UnicodeString out = form->normalize(text, status);
  check(status);
  return out;
}

}  // namespace

std::string lowercased(std::string_view text) {
  if (isAscii(text)) {
    std::string out(text);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
  }
  icu::UnicodeString unicode = decode(text);
  unicode.toLower(icu::Locale::getRoot());
  return encode(unicode);
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (isAscii(a) && isAscii(b)) return a == b;
  return normalized(decode(a), false) == normalized(decode(b), false);
}

bool canonicallyContains(std::string_view haystack, std::string_view needle) {
  // In NFD every canonically equivalent spelling is the same code unit sequence, so a plain
  // search finds them all; the boundary test then throws away hits that split a character.
  if (isAscii(haystack) && isAscii(needle)) {
    if (needle.empty()) return false;
    for (std::size_t at = haystack.find(needle); at != std::string_view::npos;
         at = haystack.find(needle, at + 1))
      if (!splitsLineBreak(haystack, at) && !splitsLineBreak(haystack, at + needle.size()))
        return true;
    return false;
  }
  const icu::UnicodeString text = normalized(decode(haystack), false);
  const icu::UnicodeString pattern = normalized(decode(needle), false);
  if (pattern.isEmpty() || pattern.length() > text.length()) return false;

  std::unique_ptr<icu::BreakIterator> characters;
  for (std::int32_t at = text.indexOf(pattern); at >= 0; at = text.indexOf(pattern, at + 1)) {
    if (!characters) {
      UErrorCode status = U_ZERO_ERROR;
      characters.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
      check(status);
      characters->setText(text);
    }
    if (characters->isBoundary(at) && characters->isBoundary(at + pattern.length())) return true;
  }
  return false;
}

std::string scalarOrderKey(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  return encode(normalized(decode(text), true));
}

bool isWhitespaceOrNewline(char32_t c) {
  if (c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029) return true;
  if (c < 0x80) return c == 0x20;
  return c <= 0x10FFFF && u_charType(UChar32(c)) == U_SPACE_SEPARATOR;
}

std::string_view trimmedWhitespaceAndNewlines(std::string_view text) {
  const char* bytes = text.data();
  const std::int32_t length = length32(text);
  std::int32_t begin = 0;
  while (begin < length) {
    std::int32_t next = begin;
    UChar32 c;
    U8_NEXT(bytes, next, length, c);
    if (c < 0 || !isWhitespaceOrNewline(char32_t(c))) break;
    begin = next;
  }
  std::int32_t end = length;
  while (end > begin) {
    std::int32_t previous = end;
    UChar32 c;
    U8_PREV(bytes, begin, previous, c);
    if (c < 0 || !isWhitespaceOrNewline(char32_t(c))) break;
    end = previous;
  }
  return text.substr(std::size_t(begin), std::size_t(end - begin));
}

}  // namespace pt
