#include "app/arguments.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "processes/valid_utf8.h"

namespace pt {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool equalsIgnoringAsciiCase(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() &&
         std::equal(text.begin(), text.end(), lower.begin(), [](char a, char b) {
           return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) == b;
         });
}

// digits [. digits] | . digits, then an optional exponent; nothing else.
bool isDecimal(std::string_view s) {
  std::size_t i = 0, intDigits = 0, fracDigits = 0;
  while (i < s.size() && isDigit(s[i])) ++i, ++intDigits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && isDigit(s[i])) ++i, ++fracDigits;
  }
  if (intDigits + fracDigits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t expDigits = 0;
    while (i < s.size() && isDigit(s[i])) ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  return i == s.size();
}

// The power of ten of the leading significant digit of a text that isDecimal accepts, saturated
// far beyond double's range. Tells overflow from underflow: the exponent's sign alone does not
// ("1<400 zeros>e-10" is huge, "0.<400 zeros>1" is tiny).
std::int64_t decimalExponent(std::string_view s) {
  constexpr std::int64_t limit = 1'000'000'000;
  const std::size_t e = s.find_first_of("eE");
  const std::string_view mantissa = s.substr(0, e);
  std::int64_t exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view digits = s.substr(e + 1);
    const bool negative = digits.front() == '-';
    if (digits.front() == '+' || digits.front() == '-') digits.remove_prefix(1);
    for (char c : digits) exponent = std::min(limit, exponent * 10 + (c - '0'));
    if (negative) exponent = -exponent;
  }
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_not_of("0.");
  if (first == std::string_view::npos) return -limit;  // zero never overflows
  const std::int64_t position =
      first < point ? std::int64_t(point - first) - 1 : -std::int64_t(first - point);
  return position + exponent;
}

}  // namespace

std::optional<double> convertDuration(std::string_view text) {
  bool negative = false;
  std::string_view body = text;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  const double sign = negative ? -1.0 : 1.0;
  if (equalsIgnoringAsciiCase(body, "inf") || equalsIgnoringAsciiCase(body, "infinity"))
    return sign * std::numeric_limits<double>::infinity();
  if (!isDecimal(body)) return std::nullopt;  // "nan" lands here too

  double value = 0;
  auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves the value alone; the platform's parser saturates.
    value = decimalExponent(body) >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || end != body.data() + body.size()) {
    return std::nullopt;
  }
  return sign * value;
}

Arguments readArguments(std::span<const std::string_view> arguments) {
  auto at = [&](std::size_t i, const char* fallback) {
    return i < arguments.size() ? arguments[i] : std::string_view(fallback);
  };
  Arguments result;
  result.outputPath = std::string(at(0, kDefaultOutputPath));
  result.durationSeconds =
      convertDuration(at(1, kDefaultDuration)).value_or(kFallbackDurationSeconds);
  result.keyword = toValidUtf8(at(2, kDefaultKeyword));
  return result;
}

}  // namespace pt
