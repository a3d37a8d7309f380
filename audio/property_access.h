// Typed reads of Core Audio object properties: size first, then data, every time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "audio/audio_object_id.h"
#include "audio/platform.h"
#include "audio/text_error.h"

namespace pt {

inline constexpr const char* kPropertySizeReadFailed = "读取 Core Audio 属性大小失败";
inline constexpr const char* kPropertyReadFailed = "读取 Core Audio 属性失败";

// The system object's list of objects under `selector`, size first. Entries the platform does not
// write stay unknown. Throws `sizeFailed` or `readFailed` with the status.
std::vector<AudioObjectID> readObjectList(AudioObjectPropertySelector selector,
                                          const char* sizeFailed, const char* readFailed);

template <class T>
T AudioObjectID::read(const AudioObjectPropertyAddress& address, T defaultValue,
                      std::uint32_t qualifierSize, const void* qualifierData) const {
  static_assert(std::is_trivially_copyable_v<T>, "property values are plain records");
  AudioObjectPropertyAddress local = address;
  std::uint32_t size = 0;
  OSStatus status =
      platform().getPropertyDataSize(*this, local, qualifierSize, qualifierData, size);
  if (status != noErr) throw TextError(statusMessage(kPropertySizeReadFailed, status));

  T value = defaultValue;
  // A reported size beyond one value is clamped: the platform reads only what fits into the one
  // value and answers for itself whether that is an error.
  size = std::min<std::uint32_t>(size, sizeof(T));
  status = platform().getPropertyData(*this, local, qualifierSize, qualifierData, size, &value);
  if (status != noErr) throw TextError(statusMessage(kPropertyReadFailed, status));
  return value;
}

template <class T>
T AudioObjectID::read(AudioObjectPropertySelector selector, T defaultValue,
                      AudioObjectPropertyScope scope, AudioObjectPropertyElement element) const {
  return read<T>(AudioObjectPropertyAddress{selector, scope, element}, defaultValue, 0, nullptr);
}

template <class T, class Q>
T AudioObjectID::read(AudioObjectPropertySelector selector, T defaultValue,
                      Qualifier<Q> qualifier) const {
  static_assert(std::is_trivially_copyable_v<Q>);
  const Q local = qualifier.value;
  return read<T>(AudioObjectPropertyAddress{selector, kAudioObjectPropertyScopeGlobal,
                                            kAudioObjectPropertyElementMain},
                 defaultValue, std::uint32_t(sizeof(Q)), &local);
}

}  // namespace pt
