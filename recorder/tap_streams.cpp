#include "recorder/tap_streams.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "audio/input_devices.h"
#include "audio/text_error.h"

namespace pt {
namespace {

constexpr double kWaitSeconds = 5;
constexpr double kPollSeconds = 0.05;
// Each of first, count and total in 21 bits of one lock-free word; no device has 2 million
// streams, and one that said so would leave the block nothing to read.
constexpr unsigned kFieldBits = 21;
constexpr std::uint64_t kFieldMask = (std::uint64_t(1) << kFieldBits) - 1;

std::string shown(const std::vector<std::uint32_t>& channels) {
  std::string text = std::to_string(channels.size()) + " 个流";
  for (std::size_t i = 0; i < channels.size(); ++i)
    text += (i == 0 ? "（" : "、") + std::to_string(channels[i]) +
            (i + 1 == channels.size() ? " 声道）" : "");
  return text;
}

// Where the taps' streams, of `channels` each, sit in `streams`: at the end, the likelier place
// as 'grup' lists sub-devices first, or else at the start.
std::optional<TapStreams> placed(const std::vector<std::uint32_t>& streams,
                                 const std::vector<std::uint32_t>& channels) {
  const auto total = std::uint32_t(streams.size());
  const auto count = std::uint32_t(channels.size());
  const auto tapsAt = [&](std::uint32_t first) {
    return std::equal(channels.begin(), channels.end(), streams.begin() + first);
  };
  if (total < count) return std::nullopt;
  if (tapsAt(total - count)) return TapStreams{total - count, count, total};
  if (tapsAt(0)) return TapStreams{0, count, total};
  return std::nullopt;
}

std::vector<std::uint32_t> streamChannels(const std::vector<StreamPart>& parts) {
  std::vector<std::uint32_t> channels;
  for (const StreamPart& part : parts)
    channels.insert(channels.end(), part.streams.begin(), part.streams.end());
  return channels;
}

std::vector<bool> usedStreams(const std::vector<StreamPart>& parts) {
  std::vector<bool> used;
  for (const StreamPart& part : parts)
    for (std::size_t i = 0; i < part.streams.size(); ++i) used.push_back(i < part.used);
  return used;
}

}  // namespace

StreamPart tapPart(const TapLayout& tap) {
  const std::uint32_t streams = tap.interleaved ? 1 : std::max<std::uint32_t>(1, tap.channels);
  return {std::vector<std::uint32_t>(streams, tap.interleaved ? tap.channels : 1), streams};
}

TapStreamsTracker::TapStreamsTracker(AudioObjectID aggregateDevice, std::vector<StreamPart> parts)
    : device_(aggregateDevice),
      parts_(std::move(parts)),
      channels_(streamChannels(parts_)),
      used_(usedStreams(parts_)),
      count_(std::uint32_t(channels_.size())) {}

void TapStreamsTracker::find() {
  const double deadline = platform().systemUptime() + kWaitSeconds;
  const std::atomic<bool> never{false};
  for (;;) {
    const std::optional<std::vector<std::uint32_t>> streams = inputStreamChannels(device_);
    const std::optional<TapStreams> found =
        streams ? placed(*streams, channels_) : TapStreams{0, count_, count_};
    if (found) {
      std::lock_guard lock(mutex_);
      settle(*found);
      return;
    }
    if (platform().systemUptime() >= deadline)
      throw TextError(std::string(kTapStreamsMissing) + "：预期 " + shown(channels_) + "，实际为 " +
                      shown(*streams));
    platform().sleepForTimeInterval(kPollSeconds, never);
  }
}

void TapStreamsTracker::useFor(AudioDeviceIOProcID procID) {
  std::lock_guard lock(mutex_);
  proc_ = procID;
  settle(current());
}

void TapStreamsTracker::reread() noexcept {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  const std::optional<std::vector<std::uint32_t>> streams = inputStreamChannels(device_);
  if (!streams) return settle({0, count_, count_});
  settle(placed(*streams, channels_).value_or(TapStreams{0, 0, std::uint32_t(streams->size())}));
}

void TapStreamsTracker::close() noexcept {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

// With the lock held. The usage names every input stream, so it is set again whenever the list
// changed and a stream the block does not read is in it, or was.
void TapStreamsTracker::settle(const TapStreams& streams) noexcept {
  publish(streams);
  if (proc_ == nullptr || streams.count == 0 || usage_ == streams) return;
  const bool allUsed = std::find(used_.begin(), used_.end(), false) == used_.end();
  const bool shared = streams.total > streams.count || !allUsed;
  if (!shared && !(usage_ && usage_->total > usage_->count)) return;
  std::vector<std::byte> storage(ioProcStreamUsageSize(streams.total));
  auto* usage = reinterpret_cast<AudioHardwareIOProcStreamUsage*>(storage.data());
  usage->mIOProc = const_cast<PlatformIOProc*>(proc_);
  usage->mNumberStreams = streams.total;
  for (std::uint32_t i = 0; i < streams.total; ++i)
    usage->mStreamIsOn[i] =
        i >= streams.first && i < streams.first + streams.count && used_[i - streams.first];
  const AudioObjectPropertyAddress address{kAudioDevicePropertyIOProcStreamUsage,
                                           kAudioObjectPropertyScopeInput,
                                           kAudioObjectPropertyElementMain};
  // The block reads its buffers whatever the answer; switching the others off keeps a
  // sub-device's microphone that is not recorded closed.
  platform().setPropertyData(device_, address, 0, nullptr, std::uint32_t(storage.size()),
                             storage.data());
  usage_ = streams;
}

void TapStreamsTracker::publish(const TapStreams& streams) noexcept {
  const bool fits = streams.total <= kFieldMask;
  packed_.store(fits ? std::uint64_t(streams.first) | std::uint64_t(streams.count) << kFieldBits |
                           std::uint64_t(streams.total) << 2 * kFieldBits
                     : 0,
                std::memory_order_release);
}

TapStreams TapStreamsTracker::current() const noexcept {
  const std::uint64_t word = packed_.load(std::memory_order_acquire);
  return {std::uint32_t(word & kFieldMask), std::uint32_t(word >> kFieldBits & kFieldMask),
          std::uint32_t(word >> 2 * kFieldBits & kFieldMask)};
}

AudioDeviceIOBlock TapStreamsTracker::tapInputOnly(
    std::vector<AudioDeviceIOBlock> blocks, std::shared_ptr<const TapStreamsTracker> tracker) {
  // Each part of the list, made once: the block runs on the real-time thread, one call at a
  // time, and copies only the buffers' descriptions into it (real-time safe).
  struct Part {
    AudioDeviceIOBlock block;
    std::uint32_t offset, count;
    std::vector<std::byte> storage;
  };
  auto parts = std::make_shared<std::vector<Part>>();
  std::uint32_t offset = 0;
  for (std::size_t k = 0; k < blocks.size() && k < tracker->parts_.size(); ++k) {
    const StreamPart& part = tracker->parts_[k];
    parts->push_back({std::move(blocks[k]), offset, part.used,
                      std::vector<std::byte>(audioBufferListSize(part.used))});
    offset += std::uint32_t(part.streams.size());
  }
  return [parts, tracker = std::move(tracker)](
             const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
             const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
             const AudioTimeStamp* inOutputTime) {
    const TapStreams at = tracker->current();
    const bool placed = inInputData != nullptr && at.count == tracker->count_ &&
                        inInputData->mNumberBuffers == at.total;
    for (Part& part : *parts) {
      const AudioBufferList* input = nullptr;
      if (placed && at.total == part.count && part.offset == 0) {
        input = inInputData;
      } else if (placed) {
        auto* tap = reinterpret_cast<AudioBufferList*>(part.storage.data());
        tap->mNumberBuffers = part.count;
        std::copy_n(inInputData->mBuffers + at.first + part.offset, part.count, tap->mBuffers);
        input = tap;
      }
      part.block(inNow, input, inInputTime, outOutputData, inOutputTime);
    }
  };
}

}  // namespace pt
