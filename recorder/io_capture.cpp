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
// such stalls never needs more. 48 kHz stereo float takes 768 KB, all of it touched at once for a
// real-time block; otherwise the memory a writer that keeps up never reaches stays unmapped.
constexpr double kRingSeconds = 2;
// Core Audio's shortest IO buffers are 15 frames; cycles as short as 8 still fit by count.
constexpr std::uint32_t kFewestCycleFrames = 8;
// Off a real-time thread, how long a cycle may wait for the writer to make room: a backlog that
// the platform delivers at once (after the recorder itself was stopped) outruns a writer that is
// not yet scheduled, while a disk that hangs must not hold the IO thread for long.
constexpr auto kRoomWait = std::chrono::milliseconds(500);
// The writer is woken once this much has gathered, not for every cycle: a fifth of a second is
// two of the Linux device's batches and about twenty of Core Audio's cycles, and what a reader of
// the growing file (or the pipe) waits for at most.
constexpr double kWriterBatchSeconds = 0.2;

}  // namespace

IOCapture::IOCapture(const AudioFormat& format, std::int64_t frameLimit,
                     std::shared_ptr<std::atomic<bool>> stop, std::shared_ptr<Semaphore> dataReady)
    : planes_(format.isInterleaved() ? 1 : format.channelCount()),
      channelsPerPlane_(format.isInterleaved() ? format.channelCount() : 1),
      bytesPerFrame_(format.streamDescription().mBytesPerFrame),
      frameLimit_(frameLimit),
      writerBatchFrames_(std::int64_t(std::ceil(format.sampleRate() * kWriterBatchSeconds))),
      mayWait_(!platform().ioBlockIsRealTime()),
      stop_(std::move(stop)),
      dataReady_(std::move(dataReady)),
      ring_(planes_, channelsPerPlane_,
            std::size_t(std::ceil(std::max(1.0, format.sampleRate()) * kRingSeconds)),
            kFewestCycleFrames, !mayWait_),
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
  const bool timed =
      inputTime != nullptr && (inputTime->mFlags & kAudioTimeStampSampleTimeValid) != 0;
  if (!readable) {
    unread_.fetch_add(1, std::memory_order_relaxed);
    // Its length shows in the next time stamp; without time stamps, it is taken to be as long
    // as the last cycle. Before the first cycle that could be read, the recording has no time.
    if (timed)
      unreadSince_ = true;
    else
      placeSilence(lastFrames_, unreadFrames_);
    return;
  }
  const std::uint32_t frames = size / bytesPerFrame_;
  if (timed) {
    // A device that skips cycles (an overloaded IO thread) moves the sample time past them.
    const double gap = inputTime->mSampleTime - expectedSampleTime_;
    if (gap >= 0.5) placeSilence(std::llround(gap), unreadSince_ ? unreadFrames_ : skipped_);
    expectedSampleTime_ = inputTime->mSampleTime + frames;
  }
  unreadSince_ = false;
  lastFrames_ = frames;
  placeCycle(*input, frames);
  if (position_ >= frameLimit_) stop_->store(true);
}

// Real-time safe. Lost audio within the duration is counted under `lost` and owed to the ring as
// silence, ahead of the next cycle.
void IOCapture::placeSilence(std::int64_t frames, std::atomic<std::int64_t>& lost) noexcept {
  const std::int64_t placed = std::clamp<std::int64_t>(frameLimit_ - position_, 0, frames);
  position_ += placed;
  lost.fetch_add(placed, std::memory_order_relaxed);
  owed_.fetch_add(placed, std::memory_order_relaxed);
}

// Real-time safe.
bool IOCapture::payOwed() noexcept {
  for (std::int64_t owed; (owed = owed_.load(std::memory_order_relaxed)) > 0;) {
    const auto n = std::uint32_t(std::min<std::int64_t>(owed, CycleRing::kLongestSilence));
    if (!ring_.pushSilence(n)) return false;
    owed_.fetch_sub(n, std::memory_order_relaxed);
  }
  return true;
}

// Real-time safe.
void IOCapture::placeCycle(const AudioBufferList& input, std::uint32_t frames) noexcept {
  if (position_ >= frameLimit_) return;
  const auto taken = std::uint32_t(std::min<std::int64_t>(frames, frameLimit_ - position_));
  position_ += taken;
  // Silence owed goes first, so that everything keeps its place.
  bool pushed = payOwed() && ring_.push(input, taken);
  if (!pushed && mayWait_) {
    const auto until = std::chrono::steady_clock::now() + kRoomWait;
    while (!pushed && std::chrono::steady_clock::now() < until) {
      dataReady_->signal();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      pushed = payOwed() && ring_.push(input, taken);
    }
  }
  if (!pushed) {
    overflow_.fetch_add(taken, std::memory_order_relaxed);
    owed_.fetch_add(taken, std::memory_order_relaxed);
  }
  // The recording's first batch goes to the file cycle by cycle, so that its first sound shows
  // at once; so do the last cycle and one the ring had no room for.
  unsignalled_ += taken;
  if (position_ <= writerBatchFrames_ || unsignalled_ >= writerBatchFrames_ ||
      position_ >= frameLimit_ || !pushed) {
    unsignalled_ = 0;
    dataReady_->signal();
  }
}

}  // namespace pt
