// The recording as a WAV stream on a file descriptor (standard output, for OUTPUT "-"), written as
// it comes so that a reader at the other end of a pipe (sox, ffmpeg, a transcriber) takes it live.
// 32-bit float, interleaved, little-endian; the RIFF and data sizes are unknown when the header
// goes out, and are marked so (0xFFFFFFFF) as streaming readers expect. libsndfile will not write
// WAV to a pipe (it would seek back to the header), hence this small writer of our own.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>
#include <vector>

#include "audio/platform.h"

namespace pt {

inline constexpr std::string_view kPipeOutput = "-";
inline constexpr const char* kWritePipeFailed = "无法写入标准输出";

// The samples go out as they are in memory.
static_assert(std::endian::native == std::endian::little);

class WavStream final : public AudioFile {
 public:
  // Writes the header; throws TextError when it cannot.
  WavStream(int fd, double sampleRate, std::uint32_t channels);

  // Interleaves any layout of float buffers of the stream's channels. Never allocates. Waits for
  // room on a descriptor left non-blocking.
  bool writeFromBuffer(const PCMBuffer& buffer,
                       std::string_view& errorDescription) noexcept override;
  // True once the reader has gone (EPIPE): nothing can be written any more.
  bool isFull() const noexcept override { return readerGone_; }

 private:
  bool writeAll(const void* data, std::size_t bytes, std::string_view& errorDescription) noexcept;

  const int fd_;
  const std::uint32_t channels_;
  std::vector<float> staging_;  // interleaved frames, made once
  bool readerGone_ = false;
  // Bytes of a frame a failed write left half-written: the next write completes it with zeros, so
  // that every later frame stays in its place.
  std::size_t partial_ = 0;
};

}  // namespace pt
