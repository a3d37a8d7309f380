// The three positional arguments and their defaults.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pt {

inline constexpr const char* kDefaultOutputPath = "/tmp/brindlex-process-tap-demo.caf";
inline constexpr const char* kDefaultDuration = "8";
inline constexpr double kFallbackDurationSeconds = 8.0;
inline constexpr const char* kDefaultKeyword = "Music";

struct Arguments {
  std::string outputPath;  // bytes as given
  double durationSeconds;
  std::string keyword;  // well-formed UTF-8
};

// `arguments` excludes the program path. An empty argument is present; later ones are ignored.
Arguments readArguments(std::span<const std::string_view> arguments);

// The whole text as a number: optional sign, digits with an optional fraction and exponent, or
// "inf", "infinity", "nan" in any case. Not-a-number counts as not converting; a magnitude
// beyond the range of double is infinite, one below it is zero.
std::optional<double> convertDuration(std::string_view text);

}  // namespace pt
