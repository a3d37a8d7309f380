#include "audio/property_access.h"

namespace pt {

std::string AudioObjectID::readString(AudioObjectPropertySelector selector) const {
  Platform& p = platform();
  CFStringRef initial = p.makeString("");
  CFStringRef string = nullptr;
  try {
    string = read<CFStringRef>(selector, initial);
  } catch (...) {
    p.releaseString(initial);
    throw;
  }
  // The platform replaced the initial reference unless it wrote nothing.
  if (string != initial) p.releaseString(initial);
  std::string text;
  try {
    text = p.stringText(string);
  } catch (...) {
    p.releaseString(string);
    throw;
  }
  p.releaseString(string);
  return text;
}

std::vector<AudioObjectID> readObjectList(AudioObjectPropertySelector selector,
                                          const char* sizeFailed, const char* readFailed) {
  const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                           kAudioObjectPropertyElementMain};
  std::uint32_t size = 0;
  OSStatus status =
      platform().getPropertyDataSize(AudioObjectID::system, address, 0, nullptr, size);
  if (status != noErr) throw TextError(statusMessage(sizeFailed, status));

  static_assert(sizeof(AudioObjectID) == 4);
  std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), AudioObjectID::unknown);
  std::uint32_t capacity = std::uint32_t(ids.size() * sizeof(AudioObjectID));
  // Made even for an empty list.
  status =
      platform().getPropertyData(AudioObjectID::system, address, 0, nullptr, capacity, ids.data());
  if (status != noErr) throw TextError(statusMessage(readFailed, status));
  return ids;
}

bool AudioObjectID::readBool(AudioObjectPropertySelector selector) const {
  try {
    return read<std::uint32_t>(selector, 0) == 1;
  } catch (const TextError&) {
    return false;
  }
}

}  // namespace pt
