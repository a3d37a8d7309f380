// The text operations of target selection, on ICU. Every input may hold ill-formed UTF-8; such
// bytes count as U+FFFD. None of them depends on the user's locale.
#pragma once

#include <string>
#include <string_view>

namespace pt {

// Unicode default full lower-case mapping: "İ" becomes "i̇", a final "Σ" becomes "ς".
std::string lowercased(std::string_view text);

// Equality under canonical equivalence.
bool canonicallyEqual(std::string_view a, std::string_view b);

// Case-sensitive search under canonical equivalence that matches whole user-perceived
// characters only, so "e" is not found in "e" followed by a combining accent. An empty needle is
// never found.
bool canonicallyContains(std::string_view haystack, std::string_view needle);

// The NFC form as UTF-8. Comparing two keys bytewise compares their Unicode scalar values.
std::string scalarOrderKey(std::string_view text);

// True for Foundation's whitespacesAndNewlines: the space separators (Zs), tab, U+000A to
// U+000D, U+0085, U+2028 and U+2029.
bool isWhitespaceOrNewline(char32_t c);

// `text` without leading and trailing whitespace and newlines; the bytes in between are kept.
std::string_view trimmedWhitespaceAndNewlines(std::string_view text);

}  // namespace pt
