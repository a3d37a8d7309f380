#include "audio/sndfile/sndfile_writer.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>
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
  if (extension == ".wav") return SF_FORMAT_WAV;
  if (extension == ".aif" || extension == ".aiff" || extension == ".aifc") return SF_FORMAT_AIFF;
  if (extension == ".w64") return SF_FORMAT_W64;
  if (extension == ".rf64") return SF_FORMAT_RF64;
  return 0;
}

class SndfileAudioFile final : public AudioFile {
 public:
  SndfileAudioFile(SNDFILE* file, std::uint32_t channels, bool interleaved)
      : file_(file), channels_(channels), interleaved_(interleaved) {
    // Room to interleave a cycle of non-interleaved input without allocating on the IO thread;
    // larger cycles are written in pieces.
    if (!interleaved_) scratch_.resize(std::size_t(kScratchFrames) * channels_);
  }
  ~SndfileAudioFile() override { sf_close(file_); }
  SndfileAudioFile(const SndfileAudioFile&) = delete;
  SndfileAudioFile& operator=(const SndfileAudioFile&) = delete;

  bool writeFromBuffer(const PCMBuffer& buffer,
                       std::string_view& errorDescription) noexcept override {
    const AudioBufferList* list = buffer.bufferList();
    const sf_count_t frames = buffer.frameLength();
    if (interleaved_) {
      const float* samples = static_cast<const float*>(list->mBuffers[0].mData);
      return finish(sf_writef_float(file_, samples, frames) == frames, errorDescription);
    }
    for (sf_count_t done = 0; done < frames;) {
      const sf_count_t n = std::min<sf_count_t>(kScratchFrames, frames - done);
      for (std::uint32_t c = 0; c < channels_; ++c) {
        const float* channel = static_cast<const float*>(list->mBuffers[c].mData) + done;
        for (sf_count_t f = 0; f < n; ++f) scratch_[std::size_t(f) * channels_ + c] = channel[f];
      }
      if (sf_writef_float(file_, scratch_.data(), n) != n) return finish(false, errorDescription);
      done += n;
    }
    return finish(true, errorDescription);
  }

 private:
  static constexpr std::uint32_t kScratchFrames = 4096;

  bool finish(bool ok, std::string_view& errorDescription) noexcept {
    if (!ok) errorDescription = sf_strerror(file_);
    return ok;
  }

  SNDFILE* file_;
  std::uint32_t channels_;
  bool interleaved_;
  std::vector<float> scratch_;
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
  return std::make_shared<SndfileAudioFile>(file, settings.channels, interleaved);
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
