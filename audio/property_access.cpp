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

bool AudioObjectID::readBool(AudioObjectPropertySelector selector) const {
  try {
    return read<std::uint32_t>(selector, 0) == 1;
  } catch (const TextError&) {
    return false;
  }
}

}  // namespace pt
