#include "recorder/track.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "audio/file_settings.h"
#include "audio/property_access.h"
#include "audio/text_error.h"
#include "audio/wav_stream.h"
#include "processes/inventory.h"
#include "recorder/file_writer.h"
#include "recorder/input_mix.h"
#include "recorder/io_capture.h"
#include "recorder/process_tap_recorder.h"

namespace pt {
namespace {

std::vector<AudioObjectID> processObjects(const std::vector<AudioProcessInfo>& processes) {
  std::vector<AudioObjectID> objects;
  for (const AudioProcessInfo& process : processes)
    if (process.objectID.isValid()) objects.push_back(process.objectID);
  return objects;
}

// What -[AVAudioFile writeFromBuffer:error:] holds a buffer's format to: the rate, the channels,
// the samples and, but for mono (as AVAudioFormat compares them), the interleaving.
bool writesAlike(const AudioFormat& a, const AudioFormat& b) {
  return a.sampleRate() == b.sampleRate() && a.channelCount() == b.channelCount() &&
         a.commonFormat() == b.commonFormat() &&
         (a.channelCount() == 1 || a.isInterleaved() == b.isInterleaved());
}

std::string shown(const AudioFormat& format) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g", format.sampleRate());
  return std::string(rate) + " Hz、" + std::to_string(format.channelCount()) + " 声道、" +
         (format.isInterleaved() ? "交错" : "非交错") + "、" +
         (format.commonFormat() == AVAudioCommonFormat::AVAudioPCMFormatFloat32 ? "32 位浮点"
                                                                                : "其他采样格式");
}

// An input device's stream as an aggregate hands it over: interleaved 32-bit float.
AudioStreamBasicDescription inputFormat(std::uint32_t channels) {
  const std::uint32_t bytes = channels * sizeof(float);
  return {0,
          kAudioFormatLinearPCM,
          kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
          bytes,
          1,
          bytes,
          channels,
          32,
          0};
}

}  // namespace

Track::Track(TrackSource source)
    : source_(std::move(source)),
      targetObjects_(processObjects(source_.targets)),
      inputMix_(source_.input ? std::make_shared<InputMix>(source_.input->channels()) : nullptr) {
  if (!hasTap() && source_.input) tapFormat_ = inputFormat(source_.input->channels());
}

Track::~Track() {
  finish();
  destroyTap();
}

void Track::createTap() {
  if (!hasTap()) return;
  CATapDescription description;
  if (!global()) {
    description.kind = CATapDescription::Kind::stereoMixdownOfProcesses;
    description.processes = targetObjects_;
  } else {
    // The whole system mix, without this process's own output. A pid without a process object
    // translates to kAudioObjectUnknown, which is no process.
    description.kind = CATapDescription::Kind::stereoGlobalTapButExcludeProcesses;
    excludedObjects_ = processObjects(source_.excluded);
    try {
      if (const AudioObjectID own = translatePIDToProcessObjectID(ownPid()); own.isValid())
        excludedObjects_.push_back(own);
    } catch (const TextError&) {
    }
    description.processes = excludedObjects_;
  }
  description.UUID = tapUUID_ = platform().randomUUID();
  description.muteBehavior = CATapMuteBehavior::CATapUnmuted;
  AudioObjectID tap = AudioObjectID::unknown;
  if (OSStatus status = platform().createProcessTap(description, tap); status != noErr)
    throw TextError(statusMessage(kCreateTapFailed, status));
  tapID_ = tap;
}

const AudioStreamBasicDescription& Track::readTapFormat() {
  if (!hasTap()) return tapFormat_;
  tapFormat_ = tapID_.read<AudioStreamBasicDescription>(kAudioTapPropertyFormat, {});
  return tapFormat_;
}

void Track::openFile(std::optional<double> deviceRate) {
  AudioStreamBasicDescription streamFormat = tapFormat_;
  if (deviceRate && std::isfinite(*deviceRate) && *deviceRate > 0)
    streamFormat.mSampleRate = *deviceRate;
  else if (!hasTap())
    streamFormat.mSampleRate =
        source_.input->objectID.read<double>(kAudioDevicePropertyNominalSampleRate, 0.0);
  format_ = platform().makeAudioFormat(streamFormat);
  if (!format_) throw TextError(kCaptureFormatFailed);
  const std::string& path = source_.path;
  if (path == kPipeOutput) {
    file_ =
        std::make_shared<WavStream>(STDOUT_FILENO, format_->sampleRate(), format_->channelCount());
    return;
  }
  file_ = platform().openAudioFileForWriting(
      path, audioFileSettingsFor(path, format_->sampleRate(), format_->channelCount()),
      AVAudioCommonFormat::AVAudioPCMFormatFloat32, format_->isInterleaved());
  // A file whose processing format is not the buffer's would refuse every write.
  if (const auto processing = file_->processingFormat();
      processing && !writesAlike(*processing, *format_))
    throw TextError(cannotCreateFile(path, std::string(kProcessingFormatDiffers) + "（文件 " +
                                               shown(*processing) + "；缓冲区 " + shown(*format_) +
                                               "）"));
}

void Track::prepare(std::int64_t frameLimit, LevelMeter& meter,
                    std::shared_ptr<std::atomic<bool>> stop) {
  capture_ = std::make_shared<IOCapture>(*format_, frameLimit, done_, platform().makeSemaphore());
  writer_ = std::make_unique<FileWriter>(capture_, file_, *format_, meter, std::move(stop));
}

AudioDeviceIOBlock Track::ioBlock() const { return IOCapture::makeIOBlock(capture_); }

void Track::destroyTap() noexcept {
  if (!tapID_.isValid()) return;
  platform().destroyProcessTap(tapID_);
  tapID_ = AudioObjectID::unknown;
}

void Track::finish() noexcept {
  if (writer_) writer_->finish();
  file_.reset();  // the last reference: completes and closes the file
}

}  // namespace pt
