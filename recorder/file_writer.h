// The recorder's writer thread: drains the ring into the file, the cycles that gathered since it
// was woken (a batch, or a stall's backlog) together in one write, and counts what the file took
// and refused. The disk's stalls land here, never on the IO thread. Silence in the ring, and the
// frames of a write the file refused, go to the file as silence, the latter once it takes writes
// again: the file keeps the recording's time line.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "audio/platform.h"
#include "recorder/io_capture.h"
#include "recorder/live_status.h"

namespace pt {

class FileWriter {
 public:
  // Makes the one buffer that every write hands to the file. `stop` is raised when the file is
  // full.
  FileWriter(std::shared_ptr<IOCapture> capture, std::shared_ptr<AudioFile> file,
             const AudioFormat& format, LevelMeter& meter, std::shared_ptr<std::atomic<bool>> stop);
  ~FileWriter();  // finish()
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  void start();
  // Once the IO block can run no more: writes what is left in the ring, ends the thread and lets
  // the file go. Safe to repeat.
  void finish() noexcept;

  // Final after finish(); during the recording, a count that only grows.
  std::int64_t cycles() const noexcept { return cycles_.load(std::memory_order_relaxed); }
  std::int64_t frames() const noexcept { return frames_.load(std::memory_order_relaxed); }
  std::int64_t failedWrites() const noexcept { return failedWrites_; }
  std::int64_t failedFrames() const noexcept { return failedFrames_; }
  bool heardSound() const noexcept { return heardSound_; }
  bool fileFull() const noexcept { return fileFull_; }

 private:
  void run() noexcept;
  void write(std::uint32_t offset, std::uint32_t cycles, std::uint32_t frames) noexcept;
  // Writes `frames` of silence; false, with the frames not written owed, when the file refused.
  bool writeSilence(std::int64_t frames, std::string_view& error) noexcept;
  void reportFailure(std::string_view error) noexcept;

  const std::shared_ptr<IOCapture> capture_;
  std::shared_ptr<AudioFile> file_;
  LevelMeter& meter_;
  const std::shared_ptr<std::atomic<bool>> stop_;
  std::uint32_t planes_ = 1;
  std::uint32_t samplesPerFrame_ = 1;
  std::size_t stagingSamples_ = 0;
  std::unique_ptr<float[]> staging_;
  std::vector<std::byte> stagingList_;
  std::optional<PCMBuffer> buffer_;  // over staging_, made once
  std::thread thread_;
  std::atomic<bool> finishing_{false};
  // Written by the writer thread; the main thread reads the plain ones after finish().
  std::atomic<std::int64_t> cycles_{0}, frames_{0};
  std::int64_t failedWrites_ = 0, failedFrames_ = 0;
  std::int64_t owed_ = 0;       // silence for frames the file refused, written ahead of the next
  bool stagingSilent_ = false;  // staging_ holds zeros
  bool heardSound_ = false;
  bool fileFull_ = false;
};

}  // namespace pt
