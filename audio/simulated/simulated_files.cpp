// The audio files of the simulated platform: the capture format and the buffer wrapping that
// AVFoundation would do, and the real writer (libsndfile) behind the file, with chosen write
// failures.
#include <cstdlib>

#include "audio/simulated/simulated_devices.h"
#include "audio/sndfile/sndfile_writer.h"
#include "audio/text_error.h"

namespace pt::sim {
namespace {

// The tap's file: the real writer, with the failures the test asked for.
class SimulatedFile final : public AudioFile {
 public:
  SimulatedFile(std::shared_ptr<AudioFile> file, std::shared_ptr<SimulatedPlatform::Devices> d,
                std::shared_ptr<const AudioFormat> processing)
      : file_(std::move(file)), d_(std::move(d)), processing_(std::move(processing)) {}

  bool writeFromBuffer(const PCMBuffer& buffer,
                       std::string_view& errorDescription) noexcept override {
    if (SimQueue::onQueueThread()) {
      std::fputs("simulated platform: a file write on the IO queue\n", stderr);
      std::abort();
    }
    const std::int64_t cycle = d_->cycle.load(std::memory_order_relaxed);
    if (auto stall = d_->writeStalls.find(cycle); stall != d_->writeStalls.end()) {
      const double seconds = stall->second;
      d_->writeStalls.erase(stall);  // only the writer thread reads them while the device runs
      d_->stallWriter(seconds);
    }
    if (d_->writeFailures.count(cycle) != 0) {
      errorDescription = "模拟的写入失败";
      return false;
    }
    return file_->writeFromBuffer(buffer, errorDescription);
  }
  bool isFull() const noexcept override { return file_->isFull(); }
  std::shared_ptr<const AudioFormat> processingFormat() const override { return processing_; }

 private:
  std::shared_ptr<AudioFile> file_;
  std::shared_ptr<SimulatedPlatform::Devices> d_;
  std::shared_ptr<const AudioFormat> processing_;
};

std::string formatText(const AudioStreamBasicDescription& d) {
  return number(d.mSampleRate) + " " + codeText(d.mFormatID) +
         " flags=" + std::to_string(d.mFormatFlags) + " " + std::to_string(d.mChannelsPerFrame) +
         "ch " + std::to_string(d.mBitsPerChannel) + "bit";
}

}  // namespace

void SimulatedPlatform::setCaptureFormatUnusable(bool unusable) {
  devices_->captureUnusable = unusable;
}
void SimulatedPlatform::setProcessingFormat(const ProcessingFormat& format) {
  devices_->processingFormat = format;
}
void SimulatedPlatform::setWriteFailures(std::set<std::int64_t> cycles) {
  devices_->writeFailures = std::move(cycles);
}

std::shared_ptr<const AudioFormat> SimulatedPlatform::makeAudioFormat(
    const AudioStreamBasicDescription& description) {
  log("makeAudioFormat " + formatText(description));
  if (devices_->captureUnusable) return nullptr;
  return makeLinearPCMFormat(description);
}

// The model writes through libsndfile, as Linux does.
bool SimulatedPlatform::writesAudioFile(const AudioFileSettings& settings) const noexcept {
  return sndfileWrites(settings);
}

std::shared_ptr<AudioFile> SimulatedPlatform::openAudioFileForWriting(
    const std::string& path, const AudioFileSettings& settings, AVAudioCommonFormat commonFormat,
    bool interleaved) {
  log("openAudioFileForWriting " + path + " " + codeText(settings.fileType) + " " +
      codeText(settings.formatID) + " " + number(settings.sampleRate) + " " +
      std::to_string(settings.channels) + " " + std::to_string(settings.bitDepth) + "bit" +
      (settings.isFloat ? " float" : "") + (settings.isBigEndian ? " big-endian" : "") +
      (settings.bitRate > 0 ? " " + std::to_string(settings.bitRate) + "b/s" : "") + " common" +
      std::to_string(std::uint32_t(commonFormat)) + " " +
      (interleaved ? "interleaved" : "non-interleaved"));
  if (OSStatus s = injectedFailure("openAudioFileForWriting"))
    throw TextError(statusMessage(("无法创建音频文件 " + path).c_str(), s));
  // AVAudioFile's processing format: the settings' rate and channels in the given layout, unless
  // the test says otherwise.
  const ProcessingFormat& asked = devices_->processingFormat;
  const std::uint32_t channels = asked.channels.value_or(settings.channels);
  const bool layout = asked.interleaved.value_or(interleaved);
  const std::uint32_t bytes = 4 * (layout ? channels : 1);
  auto processing =
      makeLinearPCMFormat({asked.sampleRate.value_or(settings.sampleRate), kAudioFormatLinearPCM,
                           kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                               (layout ? 0 : kAudioFormatFlagIsNonInterleaved),
                           bytes, 1, bytes, channels, 32, 0});
  return std::make_shared<SimulatedFile>(openSndfileForWriting(path, settings, interleaved),
                                         devices_, std::move(processing));
}

std::optional<PCMBuffer> SimulatedPlatform::makePCMBufferNoCopy(
    const AudioFormat& format, const AudioBufferList* bufferList) noexcept {
  return wrapBufferListNoCopy(format, bufferList);
}

}  // namespace pt::sim
