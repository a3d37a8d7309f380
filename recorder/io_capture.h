// What the IO block does with each cycle, on Core Audio's real-time thread: it checks the input
// against the capture format, copies the cycle into the ring (the cycle that completes the
// duration cut to fit) and wakes the writer once a batch has gathered. The input time stamps are
// the recording's time line: audio lost on the way (cycles the device skipped, cycles that could
// not be read, cycles the ring had no room for) is counted and goes to the ring as silence of its
// length, so that frame n of the file stays sample time n. It only copies: no allocation, lock,
// file write or print. Where the platform's IO block is not on a real-time thread, it waits a
// moment for room when the ring is full.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/platform.h"
#include "recorder/cycle_ring.h"

namespace pt {

class IOCapture {
 public:
  // `frameLimit`: the frames of the duration (at most; none past it is taken). `stop` is raised
  // once they are in.
  IOCapture(const AudioFormat& format, std::int64_t frameLimit,
            std::shared_ptr<std::atomic<bool>> stop, std::shared_ptr<Semaphore> dataReady);

  // The block to register; it holds the capture, never the recorder.
  static AudioDeviceIOBlock makeIOBlock(std::shared_ptr<IOCapture> capture);

  CycleRing& ring() noexcept { return ring_; }
  Semaphore& dataReady() noexcept { return *dataReady_; }

  // Read by the main thread; final once the device has stopped.
  std::int64_t cycles() const noexcept { return cycles_.load(std::memory_order_relaxed); }
  std::int64_t unreadCycles() const noexcept { return unread_.load(std::memory_order_relaxed); }
  std::int64_t unreadFrames() const noexcept {
    return unreadFrames_.load(std::memory_order_relaxed);
  }
  std::int64_t skippedFrames() const noexcept { return skipped_.load(std::memory_order_relaxed); }
  std::int64_t overflowFrames() const noexcept { return overflow_.load(std::memory_order_relaxed); }
  // Once the IO block runs no more: silence the ring had no entry for, which the writer writes
  // after the last cycle.
  std::int64_t takeOwedSilence() noexcept { return owed_.exchange(0, std::memory_order_relaxed); }

 private:
  void take(const AudioBufferList* input, const AudioTimeStamp* inputTime) noexcept;
  void placeSilence(std::int64_t frames, std::atomic<std::int64_t>& lost) noexcept;
  void placeCycle(const AudioBufferList& input, std::uint32_t frames) noexcept;
  bool payOwed() noexcept;

  const std::uint32_t planes_;
  const std::uint32_t channelsPerPlane_;
  const std::uint32_t bytesPerFrame_;  // of one plane
  const std::int64_t frameLimit_;
  const std::int64_t writerBatchFrames_;
  const bool mayWait_;  // the block is not on a real-time thread
  const std::shared_ptr<std::atomic<bool>> stop_;
  const std::shared_ptr<Semaphore> dataReady_;
  CycleRing ring_;
  // Counted by the IO block.
  std::atomic<std::int64_t> cycles_{0}, unread_{0}, unreadFrames_{0}, skipped_{0}, overflow_{0};
  std::atomic<std::int64_t> owed_{0};
  // IO thread only: frames of the recording's time line so far, where the next cycle's sample
  // time should be (NaN: no origin yet), whether cycles since the last one could not be read,
  // and the length of the last one that could.
  std::int64_t position_ = 0;
  double expectedSampleTime_;
  bool unreadSince_ = false;
  std::uint32_t lastFrames_ = 0;
  std::int64_t unsignalled_ = 0;  // frames pushed since the writer was last woken
};

}  // namespace pt
