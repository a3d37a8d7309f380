#include "recorder/input_mix.h"

#include <algorithm>
#include <cstddef>
#include <memory>

namespace pt {
namespace {

// The slice of a cycle mixed at once; a longer cycle is mixed and handed on in slices, each with
// its own time stamp, which the capture takes as consecutive cycles.
constexpr std::uint32_t kSliceFrames = 1024;

}  // namespace

InputMix::InputMix(std::uint32_t channels) : channels_(std::max<std::uint32_t>(1, channels)) {}

AudioDeviceIOBlock InputMix::inputBlock(AudioDeviceIOBlock own) {
  return [self = shared_from_this(), own = std::move(own)](
             const AudioTimeStamp* inNow, const AudioBufferList* input,
             const AudioTimeStamp* inputTime, AudioBufferList* output,
             const AudioTimeStamp* outputTime) {
    self->samples_ = nullptr;
    self->frames_ = 0;
    if (input && input->mNumberBuffers == 1 && input->mBuffers[0].mData &&
        input->mBuffers[0].mNumberChannels == self->channels_) {
      self->samples_ = static_cast<const float*>(input->mBuffers[0].mData);
      self->frames_ = input->mBuffers[0].mDataByteSize / (self->channels_ * sizeof(float));
      if (!self->heard_.load(std::memory_order_relaxed) &&
          std::any_of(self->samples_, self->samples_ + std::size_t(self->frames_) * self->channels_,
                      [](float sample) { return sample != 0; }))
        self->heard_.store(true, std::memory_order_relaxed);
    }
    if (own) own(inNow, input, inputTime, output, outputTime);
  };
}

AudioDeviceIOBlock InputMix::mixedInto(AudioDeviceIOBlock capture, TapLayout tap) {
  const std::uint32_t planes = tap.interleaved ? 1 : std::max<std::uint32_t>(1, tap.channels);
  const std::uint32_t perPlane = tap.interleaved ? std::max<std::uint32_t>(1, tap.channels) : 1;
  struct Slice {
    std::vector<float> samples;
    std::vector<std::byte> list;
  };
  auto slice = std::make_shared<Slice>(
      Slice{std::vector<float>(std::size_t(kSliceFrames) * planes * perPlane),
            std::vector<std::byte>(audioBufferListSize(planes))});
  return [self = shared_from_this(), capture = std::move(capture), slice, planes, perPlane](
             const AudioTimeStamp* inNow, const AudioBufferList* input,
             const AudioTimeStamp* inputTime, AudioBufferList* output,
             const AudioTimeStamp* outputTime) {
    bool mixable = input && input->mNumberBuffers == planes;
    const std::uint32_t size = mixable ? input->mBuffers[0].mDataByteSize : 0;
    for (std::uint32_t p = 0; mixable && p < planes; ++p)
      mixable = input->mBuffers[p].mData && input->mBuffers[p].mDataByteSize == size &&
                input->mBuffers[p].mNumberChannels == perPlane;
    const std::uint32_t frames = size / (perPlane * sizeof(float));
    if (mixable && self->samples_ == nullptr) {
      self->missing_.fetch_add(1, std::memory_order_relaxed);
      self->missingFrames_.fetch_add(frames, std::memory_order_relaxed);
    }
    if (!mixable || self->samples_ == nullptr || frames == 0)
      return capture(inNow, input, inputTime, output, outputTime);
    auto* list = reinterpret_cast<AudioBufferList*>(slice->list.data());
    list->mNumberBuffers = planes;
    AudioTimeStamp time = inputTime ? *inputTime : AudioTimeStamp{};
    for (std::uint32_t done = 0; done < frames;) {
      const std::uint32_t n = std::min(kSliceFrames, frames - done);
      for (std::uint32_t p = 0; p < planes; ++p) {
        float* out = slice->samples.data() + std::size_t(p) * kSliceFrames * perPlane;
        const float* in =
            static_cast<const float*>(input->mBuffers[p].mData) + std::size_t(done) * perPlane;
        list->mBuffers[p] = {perPlane, std::uint32_t(n * perPlane * sizeof(float)), out};
        for (std::uint32_t f = 0; f < n; ++f) {
          float voice = 0;
          if (done + f < self->frames_) {
            const float* frame = self->samples_ + std::size_t(done + f) * self->channels_;
            for (std::uint32_t c = 0; c < self->channels_; ++c) voice += frame[c];
            voice /= float(self->channels_);
          }
          for (std::uint32_t c = 0; c < perPlane; ++c)
            out[std::size_t(f) * perPlane + c] = in[std::size_t(f) * perPlane + c] + voice;
        }
      }
      capture(inNow, list, inputTime ? &time : nullptr, output, outputTime);
      time.mSampleTime += n;
      done += n;
    }
  };
}

}  // namespace pt
