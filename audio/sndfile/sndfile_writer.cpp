#include "audio/sndfile/sndfile_writer.h"

#include <sndfile.h>

#include <algorithm>
#include <atomic>
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

// The libsndfile format that holds what `settings` ask for, or 0 when it has none.
int sndfileFormat(const AudioFileSettings& settings) {
  if (settings.formatID == kAudioFormatLinearPCM) {
    if (!settings.isFloat || settings.bitDepth != 32) return 0;
    switch (settings.fileType) {
      case kAudioFileCAFType:
        return SF_FORMAT_CAF | SF_FORMAT_FLOAT;
      // RF64 that stays plain WAVE while it is small: WAVE's 32-bit sizes would wrap at 4 GiB.
      case kAudioFileWAVEType:
        return SF_FORMAT_RF64 | SF_FORMAT_FLOAT;
      // libsndfile writes float AIFF as AIFF-C, big-endian.
      case kAudioFileAIFCType:
        return settings.isBigEndian ? SF_FORMAT_AIFF | SF_FORMAT_FLOAT : 0;
      case kAudioFileWave64Type:
        return SF_FORMAT_W64 | SF_FORMAT_FLOAT;
      case kAudioFileRF64Type:
        return SF_FORMAT_RF64 | SF_FORMAT_FLOAT;
      default:
        return 0;
    }
  }
  if (settings.formatID == kAudioFormatFLAC && settings.fileType == kAudioFileFLACType &&
      settings.bitDepth == 24)
    return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
  if (settings.formatID == kAudioFormatVorbis && settings.fileType == 0)
    return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
  if (settings.formatID == kAudioFormatOpus && settings.fileType == 0)
    return SF_FORMAT_OGG | SF_FORMAT_OPUS;
  if (settings.formatID == kAudioFormatMPEGLayer3 && settings.fileType == kAudioFileMP3Type)
    return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
  return 0;
}

bool opusTakes(int rate) {
  return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 || rate == 48000;
}

// FLAC clips at full scale; Opus and MP3 are laid out so that a file whose writer is killed
// reads back up to about its last half second, as the float files do through their header.
void configureEncoder(SNDFILE* file, int format) {
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_24: {
      // Float samples may go past full scale; without clipping the encoder refuses the write.
      sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
      break;
    }
    case SF_FORMAT_OPUS: {
      // libsndfile's default page holds about a second.
      double milliseconds = 500;
      sf_command(file, SFC_SET_OGG_PAGE_LATENCY_MS, &milliseconds, sizeof milliseconds);
      break;
    }
    case SF_FORMAT_MPEG_LAYER_III: {
      // Constant bit rate: a file without its final tag is then measured by its size; a variable
      // one reads back only as far as its first frames suggest.
      int mode = SF_BITRATE_MODE_CONSTANT;
      sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
      break;
    }
    default:
      break;
  }
}

// AIFF's FORM and SSND sizes are 32-bit and there is no larger variant, so its audio stops short
// of 4 GiB, leaving room for the header. CAF, Wave64 and RF64 count in 64 bits.
constexpr sf_count_t kAIFFMaxDataBytes = 0xFFFFFFFFLL - 65536;

class SndfileAudioFile final : public AudioFile {
 public:
  // `samplesUnchanged`: float samples stored as they are, behind a header that states their
  // length. Encoded streams have no such header to update while they grow (Ogg pages and MPEG
  // frames stand alone, FLAC states its length only at the end; the update even corrupts an Ogg
  // Vorbis stream), nor a size per frame to cut back to.
  SndfileAudioFile(SNDFILE* file, std::uint32_t channels, bool interleaved, bool samplesUnchanged,
                   sf_count_t framesPerSecond, sf_count_t maxFrames)
      : file_(file),
        channels_(channels),
        interleaved_(interleaved),
        samplesUnchanged_(samplesUnchanged),
        framesPerSecond_(std::max<sf_count_t>(1, framesPerSecond)),
        maxFrames_(maxFrames) {
    // Room to interleave a cycle of non-interleaved input without allocating per write; larger
    // cycles are written in pieces.
    if (!interleaved_) scratch_.resize(std::size_t(kScratchFrames) * channels_);
  }
  ~SndfileAudioFile() override {
    // libsndfile's closing header of an empty RF64 kept as WAVE gives a RIFF size 8 bytes short;
    // an update first gets it right.
    if (written_ == 0 && samplesUnchanged_) sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    sf_close(file_);  // writes the exact final header, or the encoder's last frames
  }
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
      if (samplesUnchanged_) sf_command(file_, SFC_FILE_TRUNCATE, &keep, sizeof keep);
      return false;
    }
    written_ += frames;
    // The header says how much audio the file holds, so after a crash or SIGKILL the file reads
    // back up to the last update. Done here, on the writer thread between two writes, because
    // the handle is not thread-safe; it rewrites the few hundred bytes at the start of the file (a
    // seek and a write into the page cache, no flush, no allocation once the header exists),
    // about what the cycle's own write costs, once per second of audio.
    if (samplesUnchanged_ && written_ - headerFrames_ >= framesPerSecond_) {
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
  bool samplesUnchanged_;
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
  const auto failure = [&](const std::string& reason) {
    return TextError("无法创建音频文件 " + path + "：" + reason);
  };
  const int format = sndfileFormat(settings);
  if (format == 0) throw failure("本平台不支持该文件格式");
  if (settings.channels == 0 || !(settings.sampleRate >= 1 && settings.sampleRate <= 2147483647.0))
    throw failure("不支持的音频格式");

  SF_INFO info{};
  info.samplerate = int(std::lround(settings.sampleRate));
  info.channels = int(settings.channels);
  info.format = format;
  if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS && !opusTakes(info.samplerate))
    throw failure("Opus 不支持 " + std::to_string(info.samplerate) +
                  " Hz 的采样率，只支持 8000、12000、16000、24000 和 48000 Hz");
  if (!sf_format_check(&info)) throw failure("该容器不支持此格式");
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) throw failure(sf_strerror(nullptr));
  configureEncoder(file, format);
  if (settings.fileType == kAudioFileWAVEType)
    sf_command(file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
  const sf_count_t bytesPerFrame = sf_count_t(settings.channels) * sizeof(float);
  const sf_count_t maxFrames = settings.fileType == kAudioFileAIFCType
                                   ? kAIFFMaxDataBytes / bytesPerFrame
                                   : std::numeric_limits<sf_count_t>::max();
  return std::make_shared<SndfileAudioFile>(file, settings.channels, interleaved,
                                            (format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT,
                                            info.samplerate, maxFrames);
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
