#include "recorder/tap_streams.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "audio/text_error.h"

namespace pt {
namespace {

constexpr double kWaitSeconds = 5;
constexpr double kPollSeconds = 0.05;

// The channels of each input stream, or nothing when the device does not tell.
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

std::string shown(const std::vector<std::uint32_t>& channels) {
  std::string text = std::to_string(channels.size()) + " 个流";
  for (std::size_t i = 0; i < channels.size(); ++i)
    text += (i == 0 ? "（" : "、") + std::to_string(channels[i]) +
            (i + 1 == channels.size() ? " 声道）" : "");
  return text;
}

}  // namespace

TapStreams findTapStreams(AudioObjectID aggregateDevice, std::uint32_t channels, bool interleaved) {
  const std::uint32_t count = interleaved ? 1 : std::max<std::uint32_t>(1, channels);
  const std::uint32_t perStream = interleaved ? channels : 1;
  const auto tapAt = [&](const std::vector<std::uint32_t>& streams, std::size_t first) {
    return std::all_of(streams.begin() + std::ptrdiff_t(first),
                       streams.begin() + std::ptrdiff_t(first + count),
                       [&](std::uint32_t c) { return c == perStream; });
  };
  const double deadline = platform().systemUptime() + kWaitSeconds;
  const std::atomic<bool> never{false};
  for (;;) {
    const std::optional<std::vector<std::uint32_t>> streams = inputStreamChannels(aggregateDevice);
    if (!streams) return {0, count, count};
    const auto total = std::uint32_t(streams->size());
    // Sub-devices first, as 'grup' lists them, is the likelier order; a tap ahead is taken too.
    if (total >= count && tapAt(*streams, total - count)) return {total - count, count, total};
    if (total >= count && tapAt(*streams, 0)) return {0, count, total};
    if (platform().systemUptime() >= deadline)
      throw TextError(std::string(kTapStreamsMissing) + "：预期 " + std::to_string(count) + " 个 " +
                      std::to_string(perStream) + " 声道的流，实际为 " + shown(*streams));
    platform().sleepForTimeInterval(kPollSeconds, never);
  }
}

OSStatus useOnlyTapStreams(AudioObjectID aggregateDevice, AudioDeviceIOProcID procID,
                           const TapStreams& streams) {
  std::vector<std::byte> storage(ioProcStreamUsageSize(streams.total));
  auto* usage = reinterpret_cast<AudioHardwareIOProcStreamUsage*>(storage.data());
  usage->mIOProc = const_cast<PlatformIOProc*>(procID);
  usage->mNumberStreams = streams.total;
  for (std::uint32_t i = 0; i < streams.total; ++i)
    usage->mStreamIsOn[i] = i >= streams.first && i < streams.first + streams.count;
  const AudioObjectPropertyAddress address{kAudioDevicePropertyIOProcStreamUsage,
                                           kAudioObjectPropertyScopeInput,
                                           kAudioObjectPropertyElementMain};
  return platform().setPropertyData(aggregateDevice, address, 0, nullptr,
                                    std::uint32_t(storage.size()), storage.data());
}

AudioDeviceIOBlock tapInputOnly(AudioDeviceIOBlock block, const TapStreams& streams) {
  // The tap's part of the list, made once: the block runs on the real-time thread, one call at a
  // time, and copies only the buffers' descriptions into it (real-time safe).
  auto storage = std::make_shared<std::vector<std::byte>>(audioBufferListSize(streams.count));
  return [block = std::move(block), storage, first = streams.first, count = streams.count](
             const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
             const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
             const AudioTimeStamp* inOutputTime) {
    auto* tap = reinterpret_cast<AudioBufferList*>(storage->data());
    const AudioBufferList* input = inInputData;
    if (input != nullptr && count > 0 && input->mNumberBuffers >= first + count) {
      tap->mNumberBuffers = count;
      std::copy_n(input->mBuffers + first, count, tap->mBuffers);
      input = tap;
    }
    block(inNow, input, inInputTime, outOutputData, inOutputTime);
  };
}

}  // namespace pt
