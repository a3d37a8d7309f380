// The input devices (microphones, a headset's input, an interface's inputs) Core Audio knows at
// the moment of the call: the devices of 'dev#' that have input streams. Nothing is cached.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_object_id.h"

namespace pt {

inline constexpr const char* kDeviceListReadFailed = "读取音频设备列表失败";

struct InputDevice {
  AudioObjectID objectID;
  std::string name;
  std::string uid;
  std::vector<std::uint32_t> streams;  // the channels of each input stream; a track records the
                                       // first
  bool isDefault = false;
  std::uint32_t channels() const noexcept { return streams.empty() ? 0 : streams.front(); }
};

// The channels of each of `device`'s input streams ('slay', input scope), or nothing when the
// device does not tell.
std::optional<std::vector<std::uint32_t>> inputStreamChannels(AudioObjectID device);

// Every device with an input stream, in 'dev#' order. Throws TextError when the list cannot be
// read; a device whose name or UID cannot be read is left out (it went away meanwhile).
std::vector<InputDevice> readInputDevices();

// 'clkd': devices of one nonzero domain share a clock; 0 when unknown or unreadable.
std::uint32_t clockDomain(AudioObjectID device) noexcept;

}  // namespace pt
