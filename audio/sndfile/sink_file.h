// What the Linux file writers share: the sink that holds what a full disk refuses, the bound on
// it, the refusal of whole buffers beyond it, and interleaving.
#pragma once

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "audio/platform.h"
#include "audio/sndfile/file_sink.h"

namespace pt {

// What the file writers share: the sink, its bound, the refusal, interleaving.
class SinkFile : public AudioFile {
 public:
  SinkFile(std::unique_ptr<FileSink> sink, std::uint32_t channels, bool interleaved,
           sf_count_t maxFrames)
      : sink_(std::move(sink)),
        channels_(channels),
        interleaved_(interleaved),
        maxFrames_(maxFrames) {
    // Room to interleave a cycle of non-interleaved input without allocating per write; larger
    // cycles are written in pieces.
    if (!interleaved_) scratch_.resize(std::size_t(kScratchFrames) * channels_);
  }

  bool writeFromBuffer(const PCMBuffer& buffer,
                       std::string_view& errorDescription) noexcept override {
    const sf_count_t frames = buffer.frameLength();
    if (frames > maxFrames_ - written_) {
      full_.store(true, std::memory_order_relaxed);
      errorDescription = kFullText;
      return false;
    }
    // Refused whole, before the encoder sees any of it, while the disk keeps refusing what is
    // held: the encoder never fails a write, so the file stays decodable.
    const std::size_t bytes = std::size_t(frames) * channels_ * sizeof(float);
    if (!sink_->fits(bytes) && (sink_->flush(), !sink_->fits(bytes))) {
      std::snprintf(error_, sizeof error_, "%s", sink_->reason());
      errorDescription = error_;
      return false;
    }
    if (!writeAll(buffer.bufferList(), frames)) {
      std::snprintf(error_, sizeof error_, "%s", encoderError());
      errorDescription = error_;
      return false;
    }
    written_ += frames;
    updateHeader();
    sink_->flush();
    return true;
  }

  bool isFull() const noexcept override { return full_.load(std::memory_order_relaxed); }

 protected:
  virtual bool encode(const float* interleaved, sf_count_t frames) noexcept = 0;
  virtual const char* encoderError() noexcept = 0;
  // The header states what the file holds after every write, so that after a crash or SIGKILL
  // the file reads back up to its last write: the sink sends only the bytes that changed, ahead
  // of the audio.
  virtual void updateHeader() noexcept {}

  std::unique_ptr<FileSink> sink_;
  const std::uint32_t channels_;
  sf_count_t written_ = 0;  // whole buffers taken

 private:
  static constexpr std::uint32_t kScratchFrames = 4096;
  static constexpr const char* kFullText = "AIFF 文件最多容纳 4 GiB 音频数据，已写满";

  bool writeAll(const AudioBufferList* list, sf_count_t frames) noexcept {
    if (interleaved_) return encode(static_cast<const float*>(list->mBuffers[0].mData), frames);
    for (sf_count_t done = 0; done < frames;) {
      const sf_count_t n = std::min<sf_count_t>(kScratchFrames, frames - done);
      for (std::uint32_t c = 0; c < channels_; ++c) {
        const float* channel = static_cast<const float*>(list->mBuffers[c].mData) + done;
        for (sf_count_t f = 0; f < n; ++f) scratch_[std::size_t(f) * channels_ + c] = channel[f];
      }
      if (!encode(scratch_.data(), n)) return false;
      done += n;
    }
    return true;
  }

  const bool interleaved_;
  const sf_count_t maxFrames_;
  std::atomic<bool> full_{false};
  std::vector<float> scratch_;
  char error_[256] = {};
};

// Ogg Vorbis through libvorbis over `sink`, its pages at most 0.05 s of audio apart. Throws
// TextError with the encoder's reason.
std::shared_ptr<AudioFile> openVorbis(std::unique_ptr<FileSink> sink, int rate,
                                      std::uint32_t channels, bool interleaved);

}  // namespace pt
