#include "recorder/file_writer.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "audio/text_error.h"
#include "recorder/process_tap_recorder.h"

namespace pt {
namespace {

// A write's largest piece; a longer cycle is written in several.
constexpr std::uint32_t kStagingFrames = 8192;

}  // namespace

FileWriter::FileWriter(std::shared_ptr<IOCapture> capture, std::shared_ptr<AudioFile> file,
                       const AudioFormat& format, LevelMeter& meter,
                       std::shared_ptr<std::atomic<bool>> stop)
    : capture_(std::move(capture)), file_(std::move(file)), meter_(meter), stop_(std::move(stop)) {
  planes_ = format.isInterleaved() ? 1 : format.channelCount();
  samplesPerFrame_ = format.isInterleaved() ? format.channelCount() : 1;
  stagingFrames_ = kStagingFrames;
  const std::size_t perPlane = std::size_t(stagingFrames_) * samplesPerFrame_;
  staging_.assign(perPlane * planes_, 0.0f);
  stagingList_.assign(audioBufferListSize(planes_), std::byte{0});
  auto* list = reinterpret_cast<AudioBufferList*>(stagingList_.data());
  list->mNumberBuffers = planes_;
  for (std::uint32_t p = 0; p < planes_; ++p)
    list->mBuffers[p] = {samplesPerFrame_, std::uint32_t(perPlane * sizeof(float)),
                         staging_.data() + p * perPlane};
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
  CycleRing& ring = capture_->ring();
  for (;;) {
    const bool last = finishing_.load();  // the IO block has ended: what is in is all
    while (const std::uint32_t first = ring.front()) {
      // Cycles that queued up while the writer was away (a disk stall, a busy machine) go in one
      // write of up to the staging's length: a backlog is caught up in fewer, larger writes.
      std::uint32_t cycles = 1, frames = first;
      while (const std::uint32_t next = ring.front(cycles)) {
        if (std::uint64_t(frames) + next > stagingFrames_) break;
        frames += next;
        ++cycles;
      }
      write(0, cycles, frames);
      ring.pop(cycles);
    }
    if (last) return;
    capture_->dataReady().wait();
  }
}

// `cycles` cycles of `frames` frames in all, from `offset` frames into the ring's oldest cycle
// on; more than one only when they fit the staging together.
void FileWriter::write(std::uint32_t offset, std::uint32_t cycles, std::uint32_t frames) noexcept {
  if (fileFull_) return;
  CycleRing& ring = capture_->ring();
  auto* list = reinterpret_cast<AudioBufferList*>(stagingList_.data());
  for (std::uint32_t done = 0; done < frames;) {
    const std::uint32_t n = std::min(stagingFrames_, frames - done);
    ring.read(offset + done, n, *list);
    for (std::uint32_t p = 0; p < planes_; ++p)
      list->mBuffers[p].mDataByteSize = n * samplesPerFrame_ * std::uint32_t(sizeof(float));
    const PCMBuffer piece(list, n, buffer_->platformObject());
    std::string_view error;
    if (!file_->writeFromBuffer(piece, error)) {
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
      if (meter_.enabled()) std::fputs(kEraseStatusLine, stderr);
      std::fputs(kWriteFailed, stderr);
      std::fputs("：", stderr);
      std::fwrite(error.data(), 1, error.size(), stderr);
      std::fputc('\n', stderr);
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
