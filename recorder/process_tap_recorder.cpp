#include "recorder/process_tap_recorder.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>

#include "audio/file_settings.h"
#include "audio/property_access.h"
#include "audio/text_error.h"
#include "processes/inventory.h"
#include "recorder/aggregate_description.h"
#include "recorder/interruption.h"
#include "recorder/live_status.h"
#include "recorder/silence_diagnosis.h"

namespace pt {
namespace {

// Truncated toward zero; values without an integer form print as the nearest bound, NaN as 0.
std::int64_t truncatedRate(double rate) {
  if (std::isnan(rate)) return 0;
  if (rate >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (rate <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return std::int64_t(rate);
}

// Whether any float sample of the buffer is not zero.
bool hasSound(const PCMBuffer& buffer) noexcept {
  const AudioBufferList* list = buffer.bufferList();
  for (std::uint32_t b = 0; b < list->mNumberBuffers; ++b) {
    const float* samples = static_cast<const float*>(list->mBuffers[b].mData);
    const std::size_t count = list->mBuffers[b].mDataByteSize / sizeof(float);
    for (std::size_t i = 0; i < count; ++i)
      if (samples[i] != 0.0f) return true;
  }
  return false;
}

// The device's 'nsrt', or nothing when it cannot be read.
std::optional<double> nominalRate(AudioObjectID device) {
  try {
    return device.read<double>(kAudioDevicePropertyNominalSampleRate, 0.0);
  } catch (const TextError&) {
    return std::nullopt;
  }
}

// Whether the device's rate and the tap's format still read as they did when the file was made.
bool formatHolds(AudioObjectID device, std::optional<double> rate, AudioObjectID tap,
                 const AudioStreamBasicDescription& format) {
  try {
    const auto now = tap.read<AudioStreamBasicDescription>(kAudioTapPropertyFormat, {});
    return std::memcmp(&now, &format, sizeof now) == 0 && nominalRate(device) == rate;
  } catch (const TextError&) {
    return false;
  }
}

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

void printSummary(const std::string& line) {
  errno = 0;
  const bool written = std::fputs(line.c_str(), stdout) >= 0 && std::fputc('\n', stdout) != EOF &&
                       std::fflush(stdout) == 0 && !std::ferror(stdout);
  if (!written) {
    const int error = errno;
    throw TextError("无法写出录音摘要：" +
                    std::string(error != 0 ? std::strerror(error) : "标准输出写入失败"));
  }
}

}  // namespace

std::shared_ptr<ProcessTapRecorder> ProcessTapRecorder::make(std::vector<AudioProcessInfo> targets,
                                                             std::string outputURL,
                                                             double durationSeconds) {
  return std::make_shared<ProcessTapRecorder>(Private{}, std::move(targets), std::move(outputURL),
                                              durationSeconds);
}

ProcessTapRecorder::ProcessTapRecorder(Private, std::vector<AudioProcessInfo> targets,
                                       std::string outputURL, double durationSeconds)
    : targets_(std::move(targets)),
      outputURL_(std::move(outputURL)),
      durationSeconds_(durationSeconds),
      queue_(platform().makeSerialQueue(kRecorderQueueLabel)),
      notifications_(platform().makeSerialQueue(kNotificationQueueLabel)) {}

ProcessTapRecorder::~ProcessTapRecorder() { cleanup(); }

std::shared_ptr<const AudioFormat> ProcessTapRecorder::setUp() {
  std::vector<AudioObjectID> objects;
  for (const AudioProcessInfo& target : targets_)
    if (target.objectID.isValid()) objects.push_back(target.objectID);

  CATapDescription description;
  if (!objects.empty()) {
    description.kind = CATapDescription::Kind::stereoMixdownOfProcesses;
    description.processes = std::move(objects);
  } else {
    // The whole system mix, without this process's own output.
    description.kind = CATapDescription::Kind::stereoGlobalTapButExcludeProcesses;
    // A pid without a process object translates to kAudioObjectUnknown, which is no process.
    try {
      if (const AudioObjectID own = translatePIDToProcessObjectID(ownPid()); own.isValid())
        description.processes = {own};
    } catch (const TextError&) {
    }
  }
  description.UUID = platform().randomUUID();
  description.muteBehavior = CATapMuteBehavior::CATapUnmuted;

  AudioObjectID tap = AudioObjectID::unknown;
  if (OSStatus status = platform().createProcessTap(description, tap); status != noErr)
    throw TextError(statusMessage(kCreateTapFailed, status));
  tapID_ = tap;

  const AudioObjectID outputDevice = AudioObjectID::system.read<AudioObjectID>(
      kAudioHardwarePropertyDefaultSystemOutputDevice, AudioObjectID::unknown);
  const std::string outputUID = outputDevice.readString(kAudioDevicePropertyDeviceUID);
  const std::string deviceUID = platform().randomUUID();
  const Value aggregate =
      aggregateDeviceDescription(targets_, deviceUID, outputUID, description.UUID);
  if (OSStatus status = platform().createAggregateDevice(aggregate, aggregateDeviceID_);
      status != noErr)
    throw TextError(statusMessage(kCreateAggregateFailed, status));

  tapFormat_ = tapID_.read<AudioStreamBasicDescription>(kAudioTapPropertyFormat, {});
  tapStreams_ = findTapStreams(aggregateDeviceID_, tapFormat_.mChannelsPerFrame,
                               (tapFormat_.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0);
  // A tap may state one rate while the device runs at the output device's; the file must carry
  // the rate the samples arrive at.
  AudioStreamBasicDescription streamFormat = tapFormat_;
  deviceRate_ = nominalRate(aggregateDeviceID_);
  if (deviceRate_ && std::isfinite(*deviceRate_) && *deviceRate_ > 0)
    streamFormat.mSampleRate = *deviceRate_;
  std::shared_ptr<const AudioFormat> format = platform().makeAudioFormat(streamFormat);
  if (!format) throw TextError(kCaptureFormatFailed);

  audioFile_ = platform().openAudioFileForWriting(
      outputURL_, audioFileSettingsFor(outputURL_, format->sampleRate(), format->channelCount()),
      AVAudioCommonFormat::AVAudioPCMFormatFloat32, format->isInterleaved());
  return format;
}

AudioDeviceIOBlock ProcessTapRecorder::makeIOBlock(std::weak_ptr<ProcessTapRecorder> recorder,
                                                   std::shared_ptr<const AudioFormat> format) {
  return [recorder = std::move(recorder), format = std::move(format)](
             const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
             AudioBufferList*, const AudioTimeStamp*) {
    const std::shared_ptr<ProcessTapRecorder> self = recorder.lock();
    if (!self) return;
    const std::shared_ptr<AudioFile> file = self->audioFile_;
    if (!file) return;
    const std::optional<PCMBuffer> buffer = platform().makePCMBufferNoCopy(*format, input);
    if (!buffer) {
      self->unreadCycles_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    std::string_view error;
    if (file->writeFromBuffer(*buffer, error)) {
      self->bufferCount_.fetch_add(1, std::memory_order_relaxed);
      self->frameCount_.fetch_add(buffer->frameLength(), std::memory_order_relaxed);
      // Looks only until the first sound, so a normal recording pays for one buffer.
      if (!self->heardSound_.load(std::memory_order_relaxed) && hasSound(*buffer))
        self->heardSound_.store(true, std::memory_order_relaxed);
      self->levels_.measure(*buffer->bufferList());
    } else if (file->isFull()) {
      // Nothing more fits, now or later: the recording ends here with what the file holds.
      self->fileFull_.store(true);
      self->stopWaiting_.store(true);
    } else {
      self->failedWrites_.fetch_add(1, std::memory_order_relaxed);
      self->lostFrames_.fetch_add(buffer->frameLength(), std::memory_order_relaxed);
      // The one line this path may print; no allocation.
      if (self->levels_.enabled()) std::fputs(kEraseStatusLine, stderr);
      std::fputs(kWriteFailed, stderr);
      std::fputs("：", stderr);
      std::fwrite(error.data(), 1, error.size(), stderr);
      std::fputc('\n', stderr);
    }
  };
}

void ProcessTapRecorder::registerIOBlock(std::shared_ptr<const AudioFormat> format) {
  AudioDeviceIOBlock block = makeIOBlock(weak_from_this(), format);
  const bool sharedInput = tapStreams_.total > tapStreams_.count;
  if (sharedInput) block = tapInputOnly(std::move(block), tapStreams_);
  OSStatus status = platform().createIOProcIDWithBlock(deviceProcID_, aggregateDeviceID_, queue_,
                                                       std::move(block));
  if (status != noErr) throw TextError(statusMessage(kCreateIOProcFailed, status));
  // The block reads the tap's buffers whatever the answer; switching the others off keeps the
  // sub-device's microphone closed.
  if (sharedInput) useOnlyTapStreams(aggregateDeviceID_, deviceProcID_, tapStreams_);
}

// A notification of the property raises `flag` and ends the wait, unless `unchanged` says that
// nothing the recording depends on changed.
OSStatus ProcessTapRecorder::listen(AudioObjectID object, AudioObjectPropertySelector selector,
                                    std::atomic<bool> ProcessTapRecorder::*flag,
                                    std::function<bool()> unchanged,
                                    AudioObjectPropertyListenerID& outListener) {
  std::weak_ptr<ProcessTapRecorder> weak = weak_from_this();
  return platform().addPropertyListenerBlock(
      object, globalAddress(selector), notifications_,
      [weak, flag, unchanged = std::move(unchanged)](std::uint32_t,
                                                     const AudioObjectPropertyAddress*) {
        if (unchanged && unchanged()) return;
        if (const std::shared_ptr<ProcessTapRecorder> self = weak.lock()) {
          ((*self).*flag).store(true);
          self->stopWaiting_.store(true);
        }
      },
      outListener);
}

// The device leaves 'livn' only one way, so any change of it is the end of the device (its sound
// server or output hardware went away); the block need not read it. The file holds one rate and
// format: a change of either ends the recording too, so that it does not go on at another speed,
// while a notification that changed neither (one the HAL may send as the device settles) does
// not. A platform without those notifications (Linux has no tap object) answers that it has no
// such property or object.
void ProcessTapRecorder::watchDevice() {
  if (OSStatus status = listen(aggregateDeviceID_, kAudioDevicePropertyDeviceIsAlive,
                               &ProcessTapRecorder::deviceLost_, nullptr, aliveListener_);
      status != noErr)
    throw TextError(statusMessage(kWatchDeviceFailed, status));
  const auto unchanged = [device = aggregateDeviceID_, rate = deviceRate_, tap = tapID_,
                          format = tapFormat_] { return formatHolds(device, rate, tap, format); };
  for (auto [object, selector, listener] :
       {std::tuple{aggregateDeviceID_, kAudioDevicePropertyNominalSampleRate, &rateListener_},
        std::tuple{tapID_, kAudioTapPropertyFormat, &formatListener_}}) {
    const OSStatus status =
        listen(object, selector, &ProcessTapRecorder::rateChanged_, unchanged, *listener);
    if (status != noErr && status != kAudioHardwareUnknownPropertyError &&
        status != kAudioHardwareBadObjectError)
      throw TextError(statusMessage(kWatchDeviceFailed, status));
  }
}

void ProcessTapRecorder::run() {
  const std::shared_ptr<const AudioFormat> format = setUp();
  registerIOBlock(format);
  watchDevice();
  {
    InterruptionScope interruption(stopWaiting_);
    if (OSStatus status = platform().deviceStart(aggregateDeviceID_, deviceProcID_);
        status != noErr)
      throw TextError(statusMessage(kStartFailed, status));
    waitShowingStatus(durationSeconds_, stopWaiting_, levels_, format->channelCount(), outputURL_);
  }
  cleanup();
  printSummary(summaryLine(outputURL_, targets_, bufferCount(), frameCount(), format->sampleRate(),
                           format->channelCount()));
  // What was written is complete and summed up; the run still failed. The last reason is the
  // error the entry reports; any before it go to standard error now.
  std::vector<std::string> failures;
  if (std::string lost =
          lostAudioMessage(unreadCycles(), failedWrites(), lostFrames(), format->sampleRate());
      !lost.empty())
    failures.push_back(std::move(lost));
  if (fileFull_.load()) failures.emplace_back(kFileFull);
  if (rateChanged()) failures.emplace_back(kRateChanged);
  if (deviceLost()) failures.emplace_back(kDeviceLost);
  if (!failures.empty()) {
    for (std::size_t i = 0; i + 1 < failures.size(); ++i) {
      std::fputs(failures[i].c_str(), stderr);
      std::fputc('\n', stderr);
    }
    throw TextError(failures.back());
  }
  if (bufferCount() > 0 && !heardSound()) {
    const std::string diagnosis = silenceDiagnosis(targets_);
    std::fputs(diagnosis.c_str(), stderr);
    std::fputc('\n', stderr);
  }
}

void ProcessTapRecorder::cleanup() noexcept {
  Platform& p = platform();
  for (auto [object, selector, listener] :
       {std::tuple{aggregateDeviceID_, kAudioDevicePropertyDeviceIsAlive, &aliveListener_},
        std::tuple{aggregateDeviceID_, kAudioDevicePropertyNominalSampleRate, &rateListener_},
        std::tuple{tapID_, kAudioTapPropertyFormat, &formatListener_}})
    if (*listener != nullptr)
      p.removePropertyListenerBlock(object, globalAddress(selector),
                                    std::exchange(*listener, nullptr));
  if (aggregateDeviceID_.isValid()) {
    p.deviceStop(aggregateDeviceID_, deviceProcID_);
    if (deviceProcID_ != nullptr) p.destroyIOProcID(aggregateDeviceID_, deviceProcID_);
    p.destroyAggregateDevice(aggregateDeviceID_);
    aggregateDeviceID_ = AudioObjectID::unknown;
  }
  if (tapID_.isValid()) {
    p.destroyProcessTap(tapID_);
    tapID_ = AudioObjectID::unknown;
  }
  audioFile_.reset();  // the last reference: completes and closes the file
}

std::string lostAudioMessage(std::int64_t unreadCycles, std::int64_t failedWrites,
                             std::int64_t lostFrames, double sampleRate) {
  std::string parts;
  if (unreadCycles > 0) parts = std::to_string(unreadCycles) + " 个 IO 周期的输入无法读取";
  if (failedWrites > 0) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f",
                  sampleRate > 0 ? double(lostFrames) / sampleRate : 0.0);
    if (!parts.empty()) parts += "，";
    parts += std::to_string(failedWrites) + " 个 IO 周期（" + seconds + " 秒音频）未能写入文件";
  }
  return parts.empty() ? parts : std::string(kLostAudio) + "：" + parts;
}

std::string summaryLine(const std::string& path, const std::vector<AudioProcessInfo>& targets,
                        std::int64_t buffers, std::int64_t frames, double sampleRate,
                        std::uint32_t channels) {
  std::string line = "wrote=" + path + " targets=";
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (i > 0) line += ',';
    line += targets[i].name + "(pid=" + std::to_string(targets[i].pid) + ")";
  }
  line += " buffers=" + std::to_string(buffers) + " frames=" + std::to_string(frames) +
          " sampleRate=" + std::to_string(truncatedRate(sampleRate)) +
          " channels=" + std::to_string(channels);
  return line;
}

}  // namespace pt
