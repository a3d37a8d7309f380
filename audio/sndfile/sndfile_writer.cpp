#include "audio/sndfile/sndfile_writer.h"

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "audio/text_error.h"

namespace pt {
namespace {

class LinearPCMFormat final : public AudioFormat {
 public:
  explicit LinearPCMFormat(const AudioStreamBasicDescription& d) : description_(d) {}
  double sampleRate() const override { return description_.mSampleRate; }
  std::uint32_t channelCount() const override { return description_.mChannelsPerFrame; }
  bool isInterleaved() const override {
    return (description_.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
  }
  const AudioStreamBasicDescription& streamDescription() const override { return description_; }

 private:
  AudioStreamBasicDescription description_;
};

std::string lowercaseExtension(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string extension = path.substr(dot);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return extension;
}

int containerFor(const std::string& path) {
  const std::string extension = lowercaseExtension(path);
  if (extension == ".caf") return SF_FORMAT_CAF;
  // RF64 that stays plain WAVE while it is small: WAVE's 32-bit sizes would wrap at 4 GiB.
  if (extension == ".wav") return SF_FORMAT_RF64;
  if (extension == ".aif" || extension == ".aiff" || extension == ".aifc") return SF_FORMAT_AIFF;
  if (extension == ".w64") return SF_FORMAT_W64;
  if (extension == ".rf64") return SF_FORMAT_RF64;
  return 0;
}

// AIFF's FORM and SSND sizes are 32-bit and there is no larger variant, so its audio stops short
// of 4 GiB, leaving room for the header. CAF, Wave64 and RF64 count in 64 bits.
constexpr sf_count_t kAIFFMaxDataBytes = 0xFFFFFFFFLL - 65536;

class SndfileAudioFile final : public AudioFile {
 public:
  SndfileAudioFile(SNDFILE* file, std::uint32_t channels, bool interleaved,
                   sf_count_t framesPerSecond, sf_count_t maxFrames)
      : file_(file),
        channels_(channels),
        interleaved_(interleaved),
        framesPerSecond_(std::max<sf_count_t>(1, framesPerSecond)),
        maxFrames_(maxFrames) {
    // Room to interleave a cycle of non-interleaved input without allocating per write; larger
    // cycles are written in pieces.
    if (!interleaved_) scratch_.resize(std::size_t(kScratchFrames) * channels_);
  }
  ~SndfileAudioFile() override { sf_close(file_); }  // writes the exact final header
  SndfileAudioFile(const SndfileAudioFile&) = delete;
  SndfileAudioFile& operator=(const SndfileAudioFile&) = delete;

  bool writeFromBuffer(const PCMBuffer& buffer,
                       std::string_view& errorDescription) noexcept override {
    const sf_count_t frames = buffer.frameLength();
    if (frames > maxFrames_ - written_) {
      full_.store(true, std::memory_order_relaxed);
      errorDescription = kFullText;
      return false;
    }
    if (!writeAll(buffer.bufferList(), frames)) {
      // Keep the error's text before the truncation can replace it.
      std::snprintf(error_, sizeof error_, "%s", sf_strerror(file_));
      errorDescription = error_;
      // A short write (a full disk) may have left part of a frame; cutting the file back to the
      // last whole buffer keeps every later frame aligned should space come back.
      sf_count_t keep = written_;
      sf_command(file_, SFC_FILE_TRUNCATE, &keep, sizeof keep);
      return false;
    }
    written_ += frames;
    // The header says how much audio the file holds, so after a crash or SIGKILL the file reads
    // back up to the last update. Done here, on the writer thread between two writes, because
    // the handle is not thread-safe; it rewrites the few hundred bytes at the start of the file (a
    // seek and a write into the page cache, no flush, no allocation once the header exists),
    // about what the cycle's own write costs, once per second of audio.
    if (written_ - headerFrames_ >= framesPerSecond_) {
      sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
      headerFrames_ = written_;
    }
    return true;
  }

  bool isFull() const noexcept override { return full_.load(std::memory_order_relaxed); }

 private:
  static constexpr std::uint32_t kScratchFrames = 4096;
  static constexpr const char* kFullText = "AIFF 文件最多容纳 4 GiB 音频数据，已写满";

  bool writeAll(const AudioBufferList* list, sf_count_t frames) noexcept {
    if (interleaved_)
      return sf_writef_float(file_, static_cast<const float*>(list->mBuffers[0].mData), frames) ==
             frames;
    for (sf_count_t done = 0; done < frames;) {
      const sf_count_t n = std::min<sf_count_t>(kScratchFrames, frames - done);
      for (std::uint32_t c = 0; c < channels_; ++c) {
        const float* channel = static_cast<const float*>(list->mBuffers[c].mData) + done;
        for (sf_count_t f = 0; f < n; ++f) scratch_[std::size_t(f) * channels_ + c] = channel[f];
      }
      if (sf_writef_float(file_, scratch_.data(), n) != n) return false;
      done += n;
    }
    return true;
  }

  SNDFILE* file_;
  std::uint32_t channels_;
  bool interleaved_;
  sf_count_t framesPerSecond_;
  sf_count_t maxFrames_;
  sf_count_t written_ = 0;       // whole buffers in the file
  sf_count_t headerFrames_ = 0;  // what the header said at its last update
  std::atomic<bool> full_{false};
  std::vector<float> scratch_;
  char error_[256] = {};
};

}  // namespace

std::shared_ptr<AudioFile> openSndfileForWriting(const std::string& path,
                                                 const AudioFileSettings& settings,
                                                 bool interleaved) {
  const int container = containerFor(path);
  if (container == 0) throw TextError("无法创建音频文件 " + path + "：不支持的文件扩展名");
  if (settings.formatID != kAudioFormatLinearPCM || settings.channels == 0 ||
      !(settings.sampleRate >= 1 && settings.sampleRate <= 2147483647.0))
    throw TextError("无法创建音频文件 " + path + "：不支持的音频格式");

  SF_INFO info{};
  info.samplerate = int(std::lround(settings.sampleRate));
  info.channels = int(settings.channels);
  info.format = container | SF_FORMAT_FLOAT;
  if (!sf_format_check(&info)) throw TextError("无法创建音频文件 " + path + "：该容器不支持此格式");
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) throw TextError("无法创建音频文件 " + path + "：" + sf_strerror(nullptr));
  if (lowercaseExtension(path) == ".wav")
    sf_command(file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
  const sf_count_t bytesPerFrame = sf_count_t(settings.channels) * sizeof(float);
  const sf_count_t maxFrames = container == SF_FORMAT_AIFF ? kAIFFMaxDataBytes / bytesPerFrame
                                                           : std::numeric_limits<sf_count_t>::max();
  return std::make_shared<SndfileAudioFile>(file, settings.channels, interleaved, info.samplerate,
                                            maxFrames);
}

std::shared_ptr<const AudioFormat> makeLinearPCMFormat(const AudioStreamBasicDescription& d) {
  const bool nonInterleaved = (d.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
  const std::uint32_t samplesPerFrame = nonInterleaved ? 1 : d.mChannelsPerFrame;
  const bool usable =
      d.mFormatID == kAudioFormatLinearPCM && (d.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
      d.mBitsPerChannel == 32 && d.mChannelsPerFrame > 0 && d.mFramesPerPacket == 1 &&
      d.mBytesPerFrame == 4 * samplesPerFrame && d.mBytesPerPacket == d.mBytesPerFrame &&
      std::isfinite(d.mSampleRate) && d.mSampleRate > 0;
  if (!usable) return nullptr;
  return std::make_shared<LinearPCMFormat>(d);
}

std::optional<PCMBuffer> wrapBufferListNoCopy(const AudioFormat& format,
                                              const AudioBufferList* list) noexcept {
  if (list == nullptr) return std::nullopt;
  const std::uint32_t channels = format.channelCount();
  const bool interleaved = format.isInterleaved();
  const std::uint32_t buffers = interleaved ? 1 : channels;
  if (list->mNumberBuffers != buffers) return std::nullopt;
  const std::uint32_t bytesPerFrame = format.streamDescription().mBytesPerFrame;
  const std::uint32_t size = list->mBuffers[0].mDataByteSize;
  for (std::uint32_t i = 0; i < buffers; ++i) {
    const AudioBuffer& b = list->mBuffers[i];
    if (b.mData == nullptr || b.mDataByteSize != size || b.mDataByteSize % bytesPerFrame != 0 ||
        b.mNumberChannels != (interleaved ? channels : 1))
      return std::nullopt;
  }
  return PCMBuffer(list, size / bytesPerFrame);
}

}  // namespace pt
