#include "recorder/io_capture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace pt {
namespace {

// Two seconds of audio: a stall of the disk or the writer (Spotlight indexing, a USB stick, a
// network home folder waking up, a swapping machine) lasts well under that, while an hour of
// such stalls never needs more. 48 kHz stereo float takes 768 KB.
constexpr double kRingSeconds = 2;
// Core Audio's shortest IO buffers are 15 frames; cycles as short as 8 still fit by count.
constexpr std::uint32_t kFewestCycleFrames = 8;
// Off a real-time thread, how long a cycle may wait for the writer to make room: a backlog that
// the platform delivers at once (after the recorder itself was stopped) outruns a writer that is
// not yet scheduled, while a disk that hangs must not hold the IO thread for long.
constexpr auto kRoomWait = std::chrono::milliseconds(500);

}  // namespace

IOCapture::IOCapture(const AudioFormat& format, std::int64_t frameLimit,
                     std::shared_ptr<std::atomic<bool>> stop, std::shared_ptr<Semaphore> dataReady)
    : planes_(format.isInterleaved() ? 1 : format.channelCount()),
      channelsPerPlane_(format.isInterleaved() ? format.channelCount() : 1),
      bytesPerFrame_(format.streamDescription().mBytesPerFrame),
      frameLimit_(frameLimit),
      mayWait_(!platform().ioBlockIsRealTime()),
      stop_(std::move(stop)),
      dataReady_(std::move(dataReady)),
      ring_(planes_, channelsPerPlane_,
            std::size_t(std::ceil(std::max(1.0, format.sampleRate()) * kRingSeconds)),
            kFewestCycleFrames),
      expectedSampleTime_(std::numeric_limits<double>::quiet_NaN()) {}

AudioDeviceIOBlock IOCapture::makeIOBlock(std::shared_ptr<IOCapture> capture) {
  return [capture = std::move(capture)](const AudioTimeStamp*, const AudioBufferList* input,
                                        const AudioTimeStamp* inputTime, AudioBufferList*,
                                        const AudioTimeStamp*) { capture->take(input, inputTime); };
}

// Real-time safe where the platform's IO block is on a real-time thread.
void IOCapture::take(const AudioBufferList* input, const AudioTimeStamp* inputTime) noexcept {
  cycles_.fetch_add(1, std::memory_order_relaxed);
  // The list must be the capture format's: one buffer per plane, all of one whole size.
  bool readable = input != nullptr && input->mNumberBuffers == planes_ && bytesPerFrame_ > 0;
  const std::uint32_t size = readable ? input->mBuffers[0].mDataByteSize : 0;
  for (std::uint32_t p = 0; readable && p < planes_; ++p) {
    const AudioBuffer& b = input->mBuffers[p];
    readable = b.mData != nullptr && b.mDataByteSize == size && size % bytesPerFrame_ == 0 &&
               b.mNumberChannels == channelsPerPlane_;
  }
  if (!readable) {
    unread_.fetch_add(1, std::memory_order_relaxed);
    expectedSampleTime_ = std::numeric_limits<double>::quiet_NaN();  // the gap is this cycle
    return;
  }
  const std::uint32_t frames = size / bytesPerFrame_;
  // A device that skips cycles (an overloaded IO thread) moves the sample time past them.
  if (inputTime != nullptr && (inputTime->mFlags & kAudioTimeStampSampleTimeValid) != 0) {
    const double gap = inputTime->mSampleTime - expectedSampleTime_;
    if (gap >= 0.5) {
      const auto lost = std::int64_t(std::llround(gap));
      skipped_.fetch_add(lost, std::memory_order_relaxed);
      position_ += lost;
    }
    expectedSampleTime_ = inputTime->mSampleTime + frames;
  }
  if (position_ >= frameLimit_) return;
  const auto taken = std::uint32_t(std::min<std::int64_t>(frames, frameLimit_ - position_));
  position_ += taken;
  bool pushed = ring_.push(*input, taken);
  if (!pushed && mayWait_) {
    const auto until = std::chrono::steady_clock::now() + kRoomWait;
    while (!pushed && std::chrono::steady_clock::now() < until) {
      dataReady_->signal();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      pushed = ring_.push(*input, taken);
    }
  }
  if (pushed)
    dataReady_->signal();
  else
    overflow_.fetch_add(taken, std::memory_order_relaxed);
  if (position_ >= frameLimit_) stop_->store(true);
}

}  // namespace pt
