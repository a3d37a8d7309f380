#include "audio/sndfile/sndfile_writer.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "audio/file_settings.h"
#include "audio/sndfile/sink_file.h"
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
      // The byte order asked for: little-endian, as macOS writes it, is written without a swap
      // here; libsndfile's own default for CAF is big-endian.
      case kAudioFileCAFType:
        return SF_FORMAT_CAF | SF_FORMAT_FLOAT |
               (settings.isBigEndian ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE);
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
// reads back up to about its last half second (the float files, through their header, to their
// last write).
void configureEncoder(SNDFILE* file, int format, std::uint32_t channels) {
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
    case SF_FORMAT_FLOAT: {
      // ffmpeg warns of a PEAK chunk it skips, and nothing reads it. (Asked of RF64, which has
      // none, libsndfile adds one.)
      if ((format & SF_FORMAT_TYPEMASK) != SF_FORMAT_RF64)
        sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
      // Named speakers, where libsndfile writes them (CAF, AIFF), spare readers a guess.
      int map[2] = {channels == 1 ? SF_CHANNEL_MAP_MONO : SF_CHANNEL_MAP_LEFT,
                    SF_CHANNEL_MAP_RIGHT};
      if (channels <= 2)
        sf_command(file, SFC_SET_CHANNEL_MAP_INFO, map, int(channels * sizeof(int)));
      break;
    }
    default:
      break;
  }
}

// AIFF's FORM and SSND sizes are 32-bit and there is no larger variant, so its audio stops short
// of 4 GiB, leaving room for the header. CAF, Wave64 and RF64 count in 64 bits.
constexpr sf_count_t kAIFFMaxDataBytes = 0xFFFFFFFFLL - 65536;

// What a full disk may hold back before audio is refused: 30 s of the recording's samples as they
// arrive, whatever the encoder makes of them (never more than that), and the most an encoder can
// emit at once on top (a FLAC frame, an Ogg page, the encoders' last frames at the end).
constexpr double kHoldSeconds = 30;
constexpr std::size_t kHoldLimit = std::size_t(1) << 30;
std::size_t slackBytes(std::uint32_t channels) { return 4096 * 4 * channels + (256 << 10); }

std::uint32_t le32(const unsigned char* p) {
  return p[0] | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
void putLE(unsigned char* p, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = (value >> (8 * i)) & 0xFF;
}

// sox warns on a float fmt chunk without the size of its extension, and libsndfile writes
// WAVE_FORMAT_EXTENSIBLE's 40 bytes without one beyond them. The same 48 bytes as a plain float
// fmt chunk with its (empty) extension and a JUNK chunk over the rest read the same everywhere,
// and leave every offset where libsndfile keeps it.
void plainFloatFormat(unsigned char* h, std::size_t n) {
  if (n < 12 || (std::memcmp(h, "RIFF", 4) != 0 && std::memcmp(h, "RF64", 4) != 0) ||
      std::memcmp(h + 8, "WAVE", 4) != 0)
    return;
  for (std::size_t at = 12; at + 8 <= n && std::memcmp(h + at, "data", 4) != 0;) {
    const std::uint32_t size = le32(h + at + 4);
    unsigned char* fmt = h + at + 8;
    if (std::memcmp(h + at, "fmt ", 4) == 0) {
      if (size == 40 && at + 48 <= n && (le32(fmt) & 0xFFFF) == 0xFFFE &&
          (le32(fmt + 24) & 0xFFFF) == 3) {
        putLE(h + at + 4, 18, 4);
        putLE(fmt, 3, 2);       // WAVE_FORMAT_IEEE_FLOAT
        putLE(fmt + 16, 0, 2);  // no extension
        std::memcpy(fmt + 18, "JUNK", 4);
        putLE(fmt + 22, 14, 4);
        std::memset(fmt + 26, 0, 14);
      }
      return;
    }
    at += 8 + std::size_t(size) + (size & 1);
  }
}

// The samples in a FLAC frame of a fixed-blocksize stream, from its header, or 0 if `p` does not
// start one.
std::int64_t flacFrameSamples(const unsigned char* p, std::int64_t n) {
  if (n < 6 || p[0] != 0xFF || p[1] != 0xF8) return 0;
  const int code = p[2] >> 4;
  if (code == 1) return 192;
  if (code >= 2 && code <= 5) return 576 << (code - 2);
  if (code >= 8) return 256 << (code - 8);
  if (code != 6 && code != 7) return 0;
  int length = 1;  // the frame number's UTF-8-like coding
  while (length < 7 && (p[4] << length & 0x80) != 0) ++length;
  const std::int64_t at = 4 + (p[4] < 0x80 ? 1 : length);
  if (at + (code == 7 ? 2 : 1) > n) return 0;
  return 1 + (code == 6 ? p[at] : (p[at] << 8 | p[at + 1]));
}

// libsndfile's containers and encoders, over the sink through its virtual IO.
class SndfileAudioFile final : public SinkFile {
 public:
  // `wave`: RF64 that stays plain WAVE while it is small.
  SndfileAudioFile(std::unique_ptr<FileSink> sink, std::uint32_t channels, bool interleaved,
                   int format, bool wave, sf_count_t maxFrames)
      : SinkFile(std::move(sink), channels, interleaved, maxFrames),
        format_(format),
        floats_((format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT),
        wave_((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RF64),
        downgrades_(wave) {}
  ~SndfileAudioFile() override {
    if (file_ == nullptr) return;
    // libsndfile's closing header of an empty RF64 kept as WAVE gives a RIFF size 8 bytes short;
    // an update first gets it right.
    if (written_ == 0 && floats_) sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    // What the disk still refuses is lost. The float containers' closing header counts the whole
    // frames on the disk (it measures the stream); an encoded stream is cut where its last
    // frame or page on the disk ends.
    const sf_count_t frameBytes = sf_count_t(channels_) * sizeof(float);
    if (!sink_->flush() && floats_ && sink_->onDisk() >= dataOffset_) {
      sf_count_t frames = (sink_->onDisk() - dataOffset_) / frameBytes;
      sf_command(file_, SFC_FILE_TRUNCATE, &frames, sizeof frames);  // what the header counts
      sink_->cut(dataOffset_ + frames * frameBytes);
    }
    sf_close(file_);  // the exact final header, or the encoder's last frames
    if (!sink_->flush() && !floats_) {
      const FileSink::Boundary end = sink_->lastBoundaryOnDisk();
      sink_->cut(end.offset);
      if (flac()) setFLACLength(end.count, true);
      sink_->flush();
    }
  }
  SndfileAudioFile(const SndfileAudioFile&) = delete;
  SndfileAudioFile& operator=(const SndfileAudioFile&) = delete;

  // Throws TextError with libsndfile's reason.
  void open(SF_INFO& info, const std::string& path) {
    SF_VIRTUAL_IO io = {[](void* self) -> sf_count_t { return sinkOf(self).length(); },
                        [](sf_count_t offset, int whence, void* self) -> sf_count_t {
                          return sinkOf(self).seek(offset, whence);
                        },
                        [](void* data, sf_count_t bytes, void* self) -> sf_count_t {
                          return sinkOf(self).read(data, bytes);
                        },
                        [](const void* data, sf_count_t bytes, void* self) -> sf_count_t {
                          return static_cast<SndfileAudioFile*>(self)->take(data, bytes);
                        },
                        [](void* self) -> sf_count_t { return sinkOf(self).tell(); }};
    file_ = sf_open_virtual(&io, SFM_WRITE, &info, this);
    if (file_ == nullptr) {
      std::string reason = sf_strerror(nullptr);
      ::unlink(path.c_str());
      throw TextError(reason);
    }
    configureEncoder(file_, format_, channels_);
    if (downgrades_) sf_command(file_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
  }

 private:
  static FileSink& sinkOf(void* self) { return *static_cast<SndfileAudioFile*>(self)->sink_; }
  bool flac() const { return (format_ & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC; }

  bool encode(const float* interleaved, sf_count_t frames) noexcept override {
    const bool taken = sf_writef_float(file_, interleaved, frames) == frames;
    // Where the audio starts, once the first write has settled the header (a channel map, say,
    // enlarges it).
    if (written_ == 0 && floats_)
      dataOffset_ = sink_->tell() - frames * sf_count_t(channels_) * sf_count_t(sizeof(float));
    return taken;
  }
  const char* encoderError() noexcept override { return sf_strerror(file_); }

  void updateHeader() noexcept override {
    if (floats_) sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    if (flac()) setFLACLength(flacSamples_, false);
  }

  // What libsndfile writes, on its way to the sink.
  sf_count_t take(const void* data, sf_count_t bytes) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    const std::int64_t at = sink_->tell();
    const bool appends = at == sink_->length();
    if (wave_ && at == 0 && std::size_t(bytes) <= sizeof header_) {
      std::memcpy(header_, p, std::size_t(bytes));
      plainFloatFormat(header_, std::size_t(bytes));
      p = header_;
    }
    const sf_count_t taken = sink_->write(p, bytes);
    if (!appends) return taken;
    if (flac()) flacSamples_ += flacFrameSamples(p, bytes);
    // An Ogg page goes out as its header and then its body: only after the body can it end.
    const bool pageHeader = bytes >= 27 && std::memcmp(p, "OggS", 4) == 0 && bytes == 27 + p[26];
    if (!pageHeader) sink_->markBoundary(flacSamples_);
    return taken;
  }

  // FLAC states its length only when it closes: until then the length in STREAMINFO (36 bits
  // from byte 21 on) is what the frames on their way to the disk hold, or libsndfile reads a
  // killed recording as endless. A cut stream loses its MD5 too.
  void setFLACLength(std::int64_t samples, bool withoutMD5) noexcept {
    unsigned char info[8 + 16];
    const std::int64_t position = sink_->tell();
    sink_->seek(0, SEEK_SET);
    unsigned char magic[4];
    if (sink_->read(magic, 4) == 4 && std::memcmp(magic, "fLaC", 4) == 0 &&
        sink_->seek(18, SEEK_SET) == 18 && sink_->read(info, sizeof info) == sizeof info) {
      info[3] = (info[3] & 0xF0) | ((samples >> 32) & 0x0F);
      for (int i = 0; i < 4; ++i) info[4 + i] = (samples >> (24 - 8 * i)) & 0xFF;
      if (withoutMD5) std::memset(info + 8, 0, 16);
      sink_->seek(18, SEEK_SET);
      sink_->write(info, sizeof info);
    }
    sink_->seek(position, SEEK_SET);
  }

  SNDFILE* file_ = nullptr;
  const int format_;
  const bool floats_, wave_, downgrades_;
  sf_count_t dataOffset_ = 0;
  std::int64_t flacSamples_ = 0;  // in the frames the encoder has written
  unsigned char header_[512];
};

}  // namespace

bool sndfileWrites(const AudioFileSettings& settings) noexcept {
  return sndfileFormat(settings) != 0;
}

std::shared_ptr<AudioFile> openSndfileForWriting(const std::string& path,
                                                 const AudioFileSettings& settings,
                                                 bool interleaved) {
  const auto failure = [&](const std::string& reason) {
    return TextError(cannotCreateFile(path, reason));
  };
  const int format = sndfileFormat(settings);
  if (format == 0) throw failure(kFormatNotWritten);
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
  const sf_count_t bytesPerFrame = sf_count_t(settings.channels) * sizeof(float);
  const sf_count_t maxFrames = settings.fileType == kAudioFileAIFCType
                                   ? kAIFFMaxDataBytes / bytesPerFrame
                                   : std::numeric_limits<sf_count_t>::max();
  const std::size_t hold =
      std::min<double>(kHoldLimit, kHoldSeconds * info.samplerate * double(bytesPerFrame));
  int error = 0;
  std::unique_ptr<FileSink> sink =
      FileSink::create(path, hold, slackBytes(settings.channels), error);
  if (!sink) throw failure(std::strerror(error));
  if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_VORBIS) {
    try {
      return openVorbis(std::move(sink), info.samplerate, settings.channels, interleaved);
    } catch (const TextError& e) {
      ::unlink(path.c_str());
      throw failure(e.text());
    }
  }
  auto file =
      std::make_shared<SndfileAudioFile>(std::move(sink), settings.channels, interleaved, format,
                                         settings.fileType == kAudioFileWAVEType, maxFrames);
  try {
    file->open(info, path);
  } catch (const TextError& e) {
    throw failure(e.text());
  }
  return file;
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
