#include "audio/simulated/simulated_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace pt {
// The simulated platform's strings: plain heap text, counted so tests can see leaks.
struct PlatformString {
  std::optional<std::string> text;
};
}  // namespace pt

namespace pt::sim {

std::string codeText(std::uint32_t code) {
  std::string text = "'";
  for (int shift = 24; shift >= 0; shift -= 8) {
    char c = char((code >> shift) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return text + "'";
}

namespace {

std::string hex(const void* data, std::uint32_t size) {
  if (data == nullptr) return "null";
  std::string out;
  char byte[3];
  for (std::uint32_t i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof byte, "%02x", static_cast<const unsigned char*>(data)[i]);
    out += byte;
  }
  return out;
}

std::string addressText(AudioObjectID object, const AudioObjectPropertyAddress& a,
                        std::uint32_t qualifierSize, const void* qualifierData) {
  return std::to_string(std::uint32_t(object)) + " " + codeText(a.mSelector) + " " +
         codeText(a.mScope) + " " + std::to_string(a.mElement) + " q" +
         std::to_string(qualifierSize) + "=" + hex(qualifierData, qualifierSize);
}

}  // namespace

SimulatedPlatform::SimulatedPlatform() {
  objects_.insert(AudioObjectID::system);
  setBytes(AudioObjectID::system, kAudioHardwarePropertyProcessObjectList, {});
  // A pid without a process object translates to kAudioObjectUnknown, without an error.
  setValue(AudioObjectID::system, kAudioHardwarePropertyTranslatePIDToProcessObject,
           AudioObjectID::unknown);
}

void SimulatedPlatform::addObject(AudioObjectID id) { objects_.insert(id); }

Property& SimulatedPlatform::setBytes(AudioObjectID object, AudioObjectPropertySelector selector,
                                      std::string bytes, std::string qualifier) {
  objects_.insert(object);
  Property& p = properties_[Key{object, selector, std::move(qualifier)}];
  p.data = std::move(bytes);
  return p;
}

Property& SimulatedPlatform::setString(AudioObjectID object, AudioObjectPropertySelector selector,
                                       std::optional<std::string> text) {
  objects_.insert(object);
  Property& p = properties_[Key{object, selector, {}}];
  p.data = std::move(text);
  return p;
}

Property& SimulatedPlatform::failProperty(AudioObjectID object,
                                          AudioObjectPropertySelector selector, OSStatus sizeStatus,
                                          OSStatus dataStatus, std::string qualifier) {
  objects_.insert(object);
  Property& p = properties_[Key{object, selector, std::move(qualifier)}];
  p.sizeStatus = sizeStatus;
  p.dataStatus = dataStatus;
  return p;
}

Property* SimulatedPlatform::property(AudioObjectID object, AudioObjectPropertySelector selector,
                                      std::string_view qualifier) {
  auto it = properties_.find(Key{object, selector, std::string(qualifier)});
  return it == properties_.end() ? nullptr : &it->second;
}

void SimulatedPlatform::failCall(const std::string& operation, OSStatus status, bool always) {
  failures_[operation] = {status, always};
}

OSStatus SimulatedPlatform::injectedFailure(const std::string& operation) {
  std::lock_guard lock(logMutex_);
  auto it = failures_.find(operation);
  if (it == failures_.end()) return noErr;
  OSStatus status = it->second.first;
  if (!it->second.second) failures_.erase(it);
  return status;
}

void SimulatedPlatform::log(std::string entry) {
  std::lock_guard lock(logMutex_);
  calls_.push_back(std::move(entry));
}

std::vector<std::string> SimulatedPlatform::calls() const {
  std::lock_guard lock(logMutex_);
  return calls_;
}

void SimulatedPlatform::clearCalls() {
  std::lock_guard lock(logMutex_);
  calls_.clear();
}

std::variant<Property*, OSStatus> SimulatedPlatform::find(AudioObjectID object,
                                                          const AudioObjectPropertyAddress& a,
                                                          std::uint32_t qualifierSize,
                                                          const void* qualifierData) {
  if (!objects_.count(object)) return kAudioHardwareBadObjectError;
  std::string qualifier;
  if (qualifierData != nullptr && qualifierSize > 0)
    qualifier.assign(static_cast<const char*>(qualifierData), qualifierSize);
  if (Property* p = property(object, a.mSelector, qualifier)) return p;
  if (Property* p = property(object, a.mSelector)) return p;
  return kAudioHardwareUnknownPropertyError;
}

OSStatus SimulatedPlatform::getPropertyDataSize(AudioObjectID object,
                                                const AudioObjectPropertyAddress& address,
                                                std::uint32_t qualifierSize,
                                                const void* qualifierData,
                                                std::uint32_t& outDataSize) {
  log("getPropertyDataSize " + addressText(object, address, qualifierSize, qualifierData));
  if (OSStatus s = injectedFailure("getPropertyDataSize")) return s;
  if (auto streams = inputStreams(object, address)) {
    outDataSize = std::uint32_t(streams->size());
    return noErr;
  }
  auto found = find(object, address, qualifierSize, qualifierData);
  if (auto* status = std::get_if<OSStatus>(&found)) return *status;
  const Property& p = *std::get<Property*>(found);
  if (p.sizeStatus != noErr) return p.sizeStatus;
  if (p.reportedSize) {
    outDataSize = *p.reportedSize;
  } else if (auto* bytes = std::get_if<std::string>(&p.data)) {
    outDataSize = std::uint32_t(bytes->size());
  } else {
    outDataSize = sizeof(CFStringRef);
  }
  return noErr;
}

OSStatus SimulatedPlatform::getPropertyData(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            std::uint32_t qualifierSize, const void* qualifierData,
                                            std::uint32_t& ioDataSize, void* outData) {
  log("getPropertyData " + addressText(object, address, qualifierSize, qualifierData) + " cap" +
      std::to_string(ioDataSize));
  if (OSStatus s = injectedFailure("getPropertyData")) return s;
  if (auto streams = inputStreams(object, address)) {
    ioDataSize = std::min<std::uint32_t>(ioDataSize, std::uint32_t(streams->size()));
    if (ioDataSize > 0) std::memcpy(outData, streams->data(), ioDataSize);
    return noErr;
  }
  auto found = find(object, address, qualifierSize, qualifierData);
  if (auto* status = std::get_if<OSStatus>(&found)) return *status;
  const Property& p = *std::get<Property*>(found);
  if (p.dataStatus != noErr) return p.dataStatus;

  if (auto* bytes = std::get_if<std::string>(&p.data)) {
    std::uint32_t n = std::min<std::uint32_t>(ioDataSize, std::uint32_t(bytes->size()));
    if (n > 0) std::memcpy(outData, bytes->data(), n);
    ioDataSize = n;
    return noErr;
  }
  // A string: a reference the reader owns, or nothing when it does not fit.
  if (ioDataSize < sizeof(CFStringRef)) {
    ioDataSize = 0;
    return kAudioHardwareBadPropertySizeError;
  }
  const auto& text = std::get<std::optional<std::string>>(p.data);
  CFStringRef ref = nullptr;
  if (text) ref = makeString(*text);
  std::memcpy(outData, &ref, sizeof ref);
  ioDataSize = sizeof ref;
  return noErr;
}

CFStringRef SimulatedPlatform::makeString(std::string_view utf8) {
  ++liveStrings_;
  return new PlatformString{std::string(utf8)};
}

std::string SimulatedPlatform::stringText(CFStringRef string) {
  return string && string->text ? *string->text : std::string();
}

void SimulatedPlatform::releaseString(CFStringRef string) noexcept {
  if (string == nullptr) return;
  --liveStrings_;
  delete string;
}

}  // namespace pt::sim
