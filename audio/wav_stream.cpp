#include "audio/wav_stream.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "audio/text_error.h"

namespace pt {
namespace {

constexpr std::uint32_t kStagingFrames = 4096;
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFF;
constexpr std::uint16_t kIEEEFloat = 3;

void put16(unsigned char*& at, std::uint32_t value) {
  for (int i = 0; i < 2; ++i) *at++ = (unsigned char)(value >> (8 * i));
}
void put32(unsigned char*& at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) *at++ = (unsigned char)(value >> (8 * i));
}
void putTag(unsigned char*& at, const char* tag) {
  std::memcpy(at, tag, 4);
  at += 4;
}

}  // namespace

WavStream::WavStream(int fd, double sampleRate, std::uint32_t channels)
    : fd_(fd),
      channels_(std::max<std::uint32_t>(1, channels)),
      staging_(std::size_t(kStagingFrames) * channels_) {
  const auto rate = std::uint32_t(std::lround(sampleRate));
  const std::uint32_t blockAlign = channels_ * sizeof(float);
  unsigned char header[46];
  unsigned char* at = header;
  putTag(at, "RIFF");
  put32(at, kUnknownSize);
  putTag(at, "WAVE");
  putTag(at, "fmt ");
  put32(at, 18);
  put16(at, kIEEEFloat);
  put16(at, channels_);
  put32(at, rate);
  put32(at, rate * blockAlign);
  put16(at, blockAlign);
  put16(at, 32);
  put16(at, 0);  // no extension
  putTag(at, "data");
  put32(at, kUnknownSize);
  std::string_view error;
  if (!writeAll(header, sizeof header, error))
    throw TextError(std::string(kWritePipeFailed) + "：" + std::string(error));
  partial_ = 0;  // the frames start here
}

bool WavStream::writeAll(const void* data, std::size_t bytes,
                         std::string_view& errorDescription) noexcept {
  const auto* from = static_cast<const unsigned char*>(data);
  while (bytes > 0) {
    const ssize_t n = ::write(fd_, from, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd room{fd_, POLLOUT, 0};
      ::poll(&room, 1, -1);
      continue;
    }
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      readerGone_ = readerGone_ || error == EPIPE;
      errorDescription = std::strerror(error);
      return false;
    }
    from += n;
    bytes -= std::size_t(n);
    partial_ = (partial_ + std::size_t(n)) % (channels_ * sizeof(float));
  }
  return true;
}

bool WavStream::writeFromBuffer(const PCMBuffer& buffer,
                                std::string_view& errorDescription) noexcept {
  static constexpr unsigned char zeros[64] = {};
  while (partial_ > 0)
    if (!writeAll(zeros, std::min(sizeof zeros, channels_ * sizeof(float) - partial_),
                  errorDescription))
      return false;
  const AudioBufferList& list = *buffer.bufferList();
  const std::uint32_t planes = list.mNumberBuffers;
  if (planes == 0 || (planes != 1 && planes != channels_) ||
      (planes == 1 && list.mBuffers[0].mNumberChannels != channels_)) {
    errorDescription = "缓冲区的声道与音频流的不同";
    return false;
  }
  for (std::uint32_t done = 0; done < buffer.frameLength();) {
    const std::uint32_t n = std::min(kStagingFrames, buffer.frameLength() - done);
    const void* data = nullptr;
    if (planes == 1) {
      data = static_cast<const float*>(list.mBuffers[0].mData) + std::size_t(done) * channels_;
    } else {
      for (std::uint32_t c = 0; c < channels_; ++c) {
        const auto* plane = static_cast<const float*>(list.mBuffers[c].mData) + done;
        for (std::uint32_t f = 0; f < n; ++f) staging_[std::size_t(f) * channels_ + c] = plane[f];
      }
      data = staging_.data();
    }
    if (!writeAll(data, std::size_t(n) * channels_ * sizeof(float), errorDescription)) return false;
    done += n;
  }
  return true;
}

}  // namespace pt
