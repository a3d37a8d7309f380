#pragma once

#include <cstdint>
#include <string>

#include "audio/core_audio_types.h"

namespace pt {

template <class Q>
struct Qualifier {
  Q value;
};
// Marks the qualifier argument of a read: `id.read(selector, defaultValue, qualifier(pid))`.
template <class Q>
Qualifier<Q> qualifier(Q value) {
  return {value};
}

// A Core Audio object handle. The typed property reads are operations on it; they reach the
// platform installed with installPlatform() and are defined in audio/property_access.h.
class AudioObjectID {
 public:
  constexpr AudioObjectID() = default;
  constexpr AudioObjectID(std::uint32_t value) : value_(value) {}  // NOLINT: a plain handle
  constexpr operator std::uint32_t() const { return value_; }      // NOLINT

  static const AudioObjectID system;
  static const AudioObjectID unknown;

  constexpr bool isValid() const { return value_ != 0; }

  // One value of type T; `defaultValue` is its content before the platform writes.
  template <class T>
  T read(AudioObjectPropertySelector selector, T defaultValue,
         AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
         AudioObjectPropertyElement element = kAudioObjectPropertyElementMain) const;

  template <class T, class Q>
  T read(AudioObjectPropertySelector selector, T defaultValue, Qualifier<Q> qualifier) const;

  std::string readString(AudioObjectPropertySelector selector) const;

  // Never fails: a failed read is false, and so is every value but 1.
  bool readBool(AudioObjectPropertySelector selector) const;

 private:
  template <class T>
  T read(const AudioObjectPropertyAddress& address, T defaultValue, std::uint32_t qualifierSize,
         const void* qualifierData) const;

  std::uint32_t value_ = 0;
};

inline constexpr AudioObjectID AudioObjectID::system{1};
inline constexpr AudioObjectID AudioObjectID::unknown{0};

}  // namespace pt
