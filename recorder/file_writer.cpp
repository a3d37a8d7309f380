#include "recorder/file_writer.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "audio/text_error.h"
#include "audio/thread_name.h"
#include "recorder/process_tap_recorder.h"

namespace pt {
namespace {

// A write's largest piece, above a batch the writer is woken for at 48 kHz (or a backlog's
// share); a longer cycle is written in several. Its pages are touched as writes reach them.
constexpr std::uint32_t kStagingFrames = 16384;

}  // namespace

FileWriter::FileWriter(std::shared_ptr<IOCapture> capture, std::shared_ptr<AudioFile> file,
                       const AudioFormat& format, LevelMeter& meter,
                       std::shared_ptr<std::atomic<bool>> stop)
    : capture_(std::move(capture)), file_(std::move(file)), meter_(meter), stop_(std::move(stop)) {
  planes_ = format.isInterleaved() ? 1 : format.channelCount();
  samplesPerFrame_ = format.isInterleaved() ? format.channelCount() : 1;
  const std::size_t perPlane = std::size_t(kStagingFrames) * samplesPerFrame_;
  stagingSamples_ = perPlane * planes_;
  staging_.reset(new float[stagingSamples_]);
  stagingList_.assign(audioBufferListSize(planes_), std::byte{0});
  auto* list = reinterpret_cast<AudioBufferList*>(stagingList_.data());
  list->mNumberBuffers = planes_;
  for (std::uint32_t p = 0; p < planes_; ++p)
    list->mBuffers[p] = {samplesPerFrame_, std::uint32_t(perPlane * sizeof(float)),
                         staging_.get() + p * perPlane};
  std::optional<PCMBuffer> made = platform().makePCMBufferNoCopy(format, list);
  if (!made) throw TextError(kCaptureFormatFailed);
  buffer_.emplace(std::move(*made));
}

FileWriter::~FileWriter() { finish(); }

void FileWriter::start() {
  thread_ = std::thread([this] { run(); });
}

void FileWriter::finish() noexcept {
  if (thread_.joinable()) {
    finishing_.store(true);
    capture_->dataReady().signal();
    thread_.join();
  }
  file_.reset();
}

void FileWriter::run() noexcept {
  nameThisThread("writer");
  CycleRing& ring = capture_->ring();
  std::string_view error;
  for (;;) {
    const bool last = finishing_.load();  // the IO block has ended: what is in is all
    while (const std::uint32_t first = ring.front()) {
      if (ring.silent()) {
        // Refused, it is owed: the next cycle goes after it, and reports the failure.
        if (!fileFull_) writeSilence(first, error);
        ring.pop();
        continue;
      }
      // Cycles that queued up while the writer was away (a disk stall, a busy machine) go in one
      // write of up to the staging's length: a backlog is caught up in fewer, larger writes.
      std::uint32_t cycles = 1, frames = first;
      while (const std::uint32_t next = ring.front(cycles)) {
        if (ring.silent(cycles) || std::uint64_t(frames) + next > kStagingFrames) break;
        frames += next;
        ++cycles;
      }
      write(0, cycles, frames);
      ring.pop(cycles);
    }
    if (last) {
      // Silence for what could not reach the ring or the file at the end, if the file takes it.
      if (!fileFull_) writeSilence(capture_->takeOwedSilence(), error);
      return;
    }
    capture_->dataReady().wait();
  }
}

bool FileWriter::writeSilence(std::int64_t frames, std::string_view& error) noexcept {
  owed_ += frames;
  if (owed_ == 0) return true;
  auto* list = reinterpret_cast<AudioBufferList*>(stagingList_.data());
  if (!stagingSilent_) {
    std::fill_n(staging_.get(), stagingSamples_, 0.0f);
    stagingSilent_ = true;
  }
  while (owed_ > 0) {
    const auto n = std::uint32_t(std::min<std::int64_t>(kStagingFrames, owed_));
    for (std::uint32_t p = 0; p < planes_; ++p)
      list->mBuffers[p].mDataByteSize = n * samplesPerFrame_ * std::uint32_t(sizeof(float));
    const PCMBuffer piece(list, n, buffer_->platformObject());
    if (!file_->writeFromBuffer(piece, error)) {
      if (file_->isFull()) {
        fileFull_ = true;
        stop_->store(true);
        return true;
      }
      return false;
    }
    owed_ -= n;
    frames_.fetch_add(n, std::memory_order_relaxed);
  }
  return true;
}

void FileWriter::reportFailure(std::string_view error) noexcept {
  if (meter_.enabled()) std::fputs(kEraseStatusLine, stderr);
  std::fputs(kWriteFailed, stderr);
  std::fputs("：", stderr);
  std::fwrite(error.data(), 1, error.size(), stderr);
  std::fputc('\n', stderr);
}

// `cycles` cycles of `frames` frames in all, from `offset` frames into the ring's oldest cycle
// on; more than one only when they fit the staging together.
void FileWriter::write(std::uint32_t offset, std::uint32_t cycles, std::uint32_t frames) noexcept {
  if (fileFull_) return;
  CycleRing& ring = capture_->ring();
  auto* list = reinterpret_cast<AudioBufferList*>(stagingList_.data());
  std::string_view error;
  // What the file refused before goes first, as silence; while it still refuses, so does this.
  const bool owing = !writeSilence(0, error);
  for (std::uint32_t done = 0; done < frames;) {
    const std::uint32_t n = std::min(kStagingFrames, frames - done);
    bool written = false;
    if (!owing && !fileFull_) {
      ring.read(offset + done, n, *list);
      stagingSilent_ = false;
      for (std::uint32_t p = 0; p < planes_; ++p)
        list->mBuffers[p].mDataByteSize = n * samplesPerFrame_ * std::uint32_t(sizeof(float));
      const PCMBuffer piece(list, n, buffer_->platformObject());
      written = file_->writeFromBuffer(piece, error);
    }
    if (fileFull_) return;
    if (!written) {
      if (file_->isFull() && cycles > 1) {
        // The cycles that still fit go in one by one.
        for (std::uint32_t i = 0, at = offset; i < cycles; at += ring.front(i++))
          write(at, 1, ring.front(i));
        return;
      }
      if (file_->isFull()) {
        // Nothing more fits, now or later: the recording ends here with what the file holds.
        fileFull_ = true;
        stop_->store(true);
        return;
      }
      failedWrites_ += cycles;
      failedFrames_ += frames - done;
      owed_ += frames - done;
      reportFailure(error);
      return;
    }
    done += n;
    frames_.fetch_add(n, std::memory_order_relaxed);
    // One pass feeds both; after the first sound only the meter, when it shows, still looks.
    if (!heardSound_ || meter_.enabled()) heardSound_ = meter_.measure(*list) || heardSound_;
  }
  cycles_.fetch_add(cycles, std::memory_order_relaxed);
}

}  // namespace pt
