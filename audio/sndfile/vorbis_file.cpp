// Ogg Vorbis on libvorbis itself rather than through libsndfile, whose pages wait for 4 KiB of
// packets: seconds of a quiet or tonal recording that a killed writer never wrote.
#include <ogg/ogg.h>
#include <unistd.h>
#include <vorbis/vorbisenc.h>

#include <chrono>
#include <limits>

#include "audio/sndfile/sink_file.h"
#include "audio/text_error.h"

namespace pt {
namespace {

// libsndfile's default quality, which the README's sizes were measured with.
constexpr float kQuality = 0.4f;
// A page at least this often: a killed writer loses at most this and the encoder's lookahead
// (a long block and a half), at some 5 % of a music stream's size.
constexpr double kPageSeconds = 0.05;

class VorbisAudioFile final : public SinkFile {
 public:
  VorbisAudioFile(std::unique_ptr<FileSink> sink, int rate, std::uint32_t channels,
                  bool interleaved)
      : SinkFile(std::move(sink), channels, interleaved, std::numeric_limits<sf_count_t>::max()),
        pageFrames_(std::int64_t(kPageSeconds * rate)) {
    vorbis_info_init(&info_);
    vorbis_comment_init(&comment_);
    if (vorbis_encode_init_vbr(&info_, long(channels), long(rate), kQuality) != 0) {
      vorbis_comment_clear(&comment_);
      vorbis_info_clear(&info_);
      throw TextError("Vorbis 编码器不支持此格式");
    }
    vorbis_analysis_init(&dsp_, &info_);
    vorbis_block_init(&dsp_, &block_);
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    ogg_stream_init(&stream_, int(now ^ ::getpid()));
    ogg_packet id, comments, codebooks;
    vorbis_analysis_headerout(&dsp_, &comment_, &id, &comments, &codebooks);
    ogg_stream_packetin(&stream_, &id);
    ogg_stream_packetin(&stream_, &comments);
    ogg_stream_packetin(&stream_, &codebooks);
    // The headers on pages of their own, so that audio starts on a fresh page.
    while (ogg_stream_flush(&stream_, &page_) != 0) writePage();
    sink_->flush();
  }
  ~VorbisAudioFile() override {
    vorbis_analysis_wrote(&dsp_, 0);  // the end of the stream: the last packets, flagged
    drain(true);
    if (!sink_->flush()) {
      sink_->cut(sink_->lastBoundaryOnDisk().offset);  // what the disk refused is lost
      sink_->flush();
    }
    ogg_stream_clear(&stream_);
    vorbis_block_clear(&block_);
    vorbis_dsp_clear(&dsp_);
    vorbis_comment_clear(&comment_);
    vorbis_info_clear(&info_);
  }
  VorbisAudioFile(const VorbisAudioFile&) = delete;
  VorbisAudioFile& operator=(const VorbisAudioFile&) = delete;

 private:
  bool encode(const float* interleaved, sf_count_t frames) noexcept override {
    float** planes = vorbis_analysis_buffer(&dsp_, int(frames));
    for (std::uint32_t c = 0; c < channels_; ++c)
      for (sf_count_t f = 0; f < frames; ++f) planes[c][f] = interleaved[f * channels_ + c];
    vorbis_analysis_wrote(&dsp_, int(frames));
    drain(false);
    return true;
  }
  const char* encoderError() noexcept override { return "Vorbis 编码失败"; }

  void drain(bool end) noexcept {
    ogg_packet packet;
    while (vorbis_analysis_blockout(&dsp_, &block_) == 1) {
      vorbis_analysis(&block_, nullptr);
      vorbis_bitrate_addblock(&block_);
      while (vorbis_bitrate_flushpacket(&dsp_, &packet) != 0) {
        ogg_stream_packetin(&stream_, &packet);
        for (;;) {
          const bool due = end || packet.granulepos - pageGranule_ >= pageFrames_;
          if ((due ? ogg_stream_flush(&stream_, &page_) : ogg_stream_pageout(&stream_, &page_)) ==
              0)
            break;
          writePage();
        }
      }
    }
  }

  void writePage() noexcept {
    sink_->write(page_.header, page_.header_len);
    sink_->write(page_.body, page_.body_len);
    sink_->markBoundary(0);
    if (ogg_page_granulepos(&page_) >= 0) pageGranule_ = ogg_page_granulepos(&page_);
  }

  const std::int64_t pageFrames_;
  vorbis_info info_;
  vorbis_comment comment_;
  vorbis_dsp_state dsp_;
  vorbis_block block_;
  ogg_stream_state stream_;
  ogg_page page_;
  std::int64_t pageGranule_ = 0;
};

}  // namespace

std::shared_ptr<AudioFile> openVorbis(std::unique_ptr<FileSink> sink, int rate,
                                      std::uint32_t channels, bool interleaved) {
  return std::make_shared<VorbisAudioFile>(std::move(sink), rate, channels, interleaved);
}

}  // namespace pt
