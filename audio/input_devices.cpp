#include "audio/input_devices.h"

#include <algorithm>
#include <cstddef>

#include "audio/platform.h"
#include "audio/property_access.h"
#include "audio/text_error.h"

namespace pt {

std::optional<std::vector<std::uint32_t>> inputStreamChannels(AudioObjectID device) {
  const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration,
                                           kAudioObjectPropertyScopeInput,
                                           kAudioObjectPropertyElementMain};
  std::uint32_t size = 0;
  if (platform().getPropertyDataSize(device, address, 0, nullptr, size) != noErr)
    return std::nullopt;
  std::vector<std::byte> storage(std::max(size, std::uint32_t(audioBufferListSize(0))));
  size = std::uint32_t(storage.size());
  if (platform().getPropertyData(device, address, 0, nullptr, size, storage.data()) != noErr)
    return std::nullopt;
  const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
  const std::size_t fits = size < offsetof(AudioBufferList, mBuffers)
                               ? 0
                               : (size - offsetof(AudioBufferList, mBuffers)) / sizeof(AudioBuffer);
  std::vector<std::uint32_t> channels;
  for (std::size_t i = 0; i < std::min<std::size_t>(list->mNumberBuffers, fits); ++i)
    channels.push_back(list->mBuffers[i].mNumberChannels);
  return channels;
}

std::vector<InputDevice> readInputDevices() {
  const std::vector<AudioObjectID> ids =
      readObjectList(kAudioHardwarePropertyDevices, kDeviceListReadFailed, kDeviceListReadFailed);
  AudioObjectID defaultInput = AudioObjectID::unknown;
  try {
    defaultInput = AudioObjectID::system.read<AudioObjectID>(
        kAudioHardwarePropertyDefaultInputDevice, AudioObjectID::unknown);
  } catch (const TextError&) {
  }
  std::vector<InputDevice> devices;
  for (AudioObjectID id : ids) {
    std::optional<std::vector<std::uint32_t>> streams = inputStreamChannels(id);
    if (!id.isValid() || !streams || streams->empty() || streams->front() == 0) continue;
    try {
      devices.push_back({id, id.readString(kAudioObjectPropertyName),
                         id.readString(kAudioDevicePropertyDeviceUID), std::move(*streams),
                         id == defaultInput});
    } catch (const TextError&) {
    }
  }
  return devices;
}

std::uint32_t clockDomain(AudioObjectID device) noexcept {
  try {
    return device.read<std::uint32_t>(kAudioDevicePropertyClockDomain, 0);
  } catch (...) {
    return 0;
  }
}

}  // namespace pt
