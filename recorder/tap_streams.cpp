#include "recorder/tap_streams.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

namespace pt {
namespace {

std::uint32_t inputStreamCount(AudioObjectID device) {
  const AudioObjectPropertyAddress address{
      kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput, kAudioObjectPropertyElementMain};
  std::uint32_t size = 0;
  if (platform().getPropertyDataSize(device, address, 0, nullptr, size) != noErr) return 0;
  return size / sizeof(AudioObjectID);
}

}  // namespace

TapStreams findTapStreams(AudioObjectID aggregateDevice, AudioObjectID mainSubDevice) {
  const std::uint32_t total = inputStreamCount(aggregateDevice);
  const std::uint32_t subDevice = mainSubDevice.isValid() ? inputStreamCount(mainSubDevice) : 0;
  return {subDevice < total ? subDevice : 0, total};
}

OSStatus useOnlyTapStreams(AudioObjectID aggregateDevice, AudioDeviceIOProcID procID,
                           const TapStreams& streams) {
  std::vector<std::byte> storage(ioProcStreamUsageSize(streams.total));
  auto* usage = reinterpret_cast<AudioHardwareIOProcStreamUsage*>(storage.data());
  usage->mIOProc = const_cast<PlatformIOProc*>(procID);
  usage->mNumberStreams = streams.total;
  for (std::uint32_t i = 0; i < streams.total; ++i) usage->mStreamIsOn[i] = i >= streams.first;
  const AudioObjectPropertyAddress address{kAudioDevicePropertyIOProcStreamUsage,
                                           kAudioObjectPropertyScopeInput,
                                           kAudioObjectPropertyElementMain};
  return platform().setPropertyData(aggregateDevice, address, 0, nullptr,
                                    std::uint32_t(storage.size()), storage.data());
}

AudioDeviceIOBlock tapInputOnly(AudioDeviceIOBlock block, const TapStreams& streams) {
  // The tap's part of the list, made once: the block runs on the real-time thread, one call at a
  // time, and copies only the buffers' descriptions into it.
  auto storage =
      std::make_shared<std::vector<std::byte>>(audioBufferListSize(streams.total - streams.first));
  return [block = std::move(block), storage, first = streams.first](
             const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
             const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
             const AudioTimeStamp* inOutputTime) {
    auto* tap = reinterpret_cast<AudioBufferList*>(storage->data());
    const std::uint32_t capacity = std::uint32_t(
        (storage->size() - offsetof(AudioBufferList, mBuffers)) / sizeof(AudioBuffer));
    const AudioBufferList* input = inInputData;
    if (input != nullptr && input->mNumberBuffers > first &&
        input->mNumberBuffers - first <= capacity) {
      tap->mNumberBuffers = input->mNumberBuffers - first;
      std::copy_n(input->mBuffers + first, tap->mNumberBuffers, tap->mBuffers);
      input = tap;
    }
    block(inNow, input, inInputTime, outOutputData, inOutputTime);
  };
}

}  // namespace pt
