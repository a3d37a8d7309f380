#include "recorder/process_tap_recorder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <tuple>
#include <utility>

#include "audio/file_settings.h"
#include "audio/property_access.h"
#include "audio/text_error.h"
#include "processes/inventory.h"
#include "recorder/aggregate_description.h"
#include "recorder/file_writer.h"
#include "recorder/interruption.h"
#include "recorder/io_capture.h"
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

// A device whose cycles never pause and that sent none for this long has stopped delivering: the
// bound a sound server has to answer (a server stopped for a few seconds is waited for).
constexpr double kSilentDeviceSeconds = 10;
// A device whose cycles may pause in silence has ended the recording once they paused this long
// after the duration.
constexpr double kLastCycleSeconds = 1;
// How often the main thread looks whether the start returned.
constexpr auto kStartPoll = std::chrono::milliseconds(5);
// How long the teardown waits for a start that waited for sound to return.
constexpr double kStartLeftSeconds = 2;

std::vector<AudioObjectID> processObjects(const std::vector<AudioProcessInfo>& targets) {
  std::vector<AudioObjectID> objects;
  for (const AudioProcessInfo& target : targets)
    if (target.objectID.isValid()) objects.push_back(target.objectID);
  return objects;
}

// The frames of `seconds` at `rate`: none for no time, no limit for a time without end.
std::int64_t framesOf(double seconds, double rate) {
  if (!(seconds > 0)) return 0;
  const double frames = std::round(seconds * rate);
  if (!(frames < 9.2e18)) return std::numeric_limits<std::int64_t>::max();
  return std::int64_t(frames);
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
      targetObjects_(processObjects(targets_)),
      outputURL_(std::move(outputURL)),
      durationSeconds_(durationSeconds),
      queue_(platform().makeSerialQueue(kRecorderQueueLabel)),
      notifications_(platform().makeSerialQueue(kNotificationQueueLabel)),
      stopWaiting_(std::make_shared<std::atomic<bool>>(false)) {}

ProcessTapRecorder::~ProcessTapRecorder() { cleanup(); }

std::shared_ptr<const AudioFormat> ProcessTapRecorder::setUp() {
  CATapDescription description;
  if (!targetObjects_.empty()) {
    description.kind = CATapDescription::Kind::stereoMixdownOfProcesses;
    description.processes = targetObjects_;
  } else {
    // The whole system mix, without this process's own output.
    description.kind = CATapDescription::Kind::stereoGlobalTapButExcludeProcesses;
    // A pid without a process object translates to kAudioObjectUnknown, which is no process.
    try {
      ownObject_ = translatePIDToProcessObjectID(ownPid());
      if (ownObject_.isValid()) description.processes = {ownObject_};
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
  tapStreams_ = std::make_shared<TapStreamsTracker>(
      aggregateDeviceID_, tapFormat_.mChannelsPerFrame,
      (tapFormat_.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0);
  tapStreams_->find();
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
  // A file whose processing format is not the buffer's would refuse every write.
  if (const auto processing = audioFile_->processingFormat();
      processing && !writesAlike(*processing, *format))
    throw TextError(cannotCreateFile(outputURL_, std::string(kProcessingFormatDiffers) + "（文件 " +
                                                     shown(*processing) + "；缓冲区 " +
                                                     shown(*format) + "）"));
  return format;
}

void ProcessTapRecorder::registerIOBlock(std::shared_ptr<const AudioFormat> format) {
  capture_ = std::make_shared<IOCapture>(*format, framesOf(durationSeconds_, format->sampleRate()),
                                         stopWaiting_, platform().makeSemaphore());
  writer_ = std::make_unique<FileWriter>(capture_, audioFile_, *format, levels_, stopWaiting_);
  AudioDeviceIOBlock block =
      TapStreamsTracker::tapInputOnly(IOCapture::makeIOBlock(capture_), tapStreams_);
  OSStatus status = platform().createIOProcIDWithBlock(deviceProcID_, aggregateDeviceID_, queue_,
                                                       std::move(block));
  if (status != noErr) throw TextError(statusMessage(kCreateIOProcFailed, status));
  tapStreams_->useFor(deviceProcID_);
}

// Calls `heard` on the notification queue for each notification of the property; the listener
// stays until the cleanup.
OSStatus ProcessTapRecorder::listen(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    std::function<void()> heard) {
  AudioObjectPropertyListenerID id = nullptr;
  const OSStatus status = platform().addPropertyListenerBlock(
      object, address, notifications_,
      [heard = std::move(heard)](std::uint32_t, const AudioObjectPropertyAddress*) { heard(); },
      id);
  if (status == noErr) listeners_.push_back({object, address, id});
  return status;
}

// Raises `flag` and ends the wait, unless `unchanged` says that nothing the recording depends on
// changed. A notification queued before the listener's removal may arrive once the recorder, and
// even the platform, is gone: it reads nothing then.
std::function<void()> ProcessTapRecorder::ending(std::atomic<bool> ProcessTapRecorder::*flag,
                                                 std::function<bool()> unchanged) {
  return [weak = weak_from_this(), flag, unchanged = std::move(unchanged)] {
    const std::shared_ptr<ProcessTapRecorder> self = weak.lock();
    if (!self) return;
    if (unchanged && unchanged()) return;
    ((*self).*flag).store(true);
    self->stopWaiting_->store(true);
  };
}

// The device leaves 'livn' only one way, so any change of it is the end of the device (its sound
// server or output hardware went away); the block need not read it. The file holds one rate and
// format: a change of either ends the recording too, so that it does not go on at another speed,
// while a notification that changed neither (one the HAL may send as the device settles) does
// not. A change of the aggregate's streams moves the tap's among them: they are read again, on
// every notification and once more after the listener is in place, for a change that came since
// the set-up read them. A platform without those notifications (Linux has no tap object) answers
// that it has no such property or object.
void ProcessTapRecorder::watchDevice() {
  if (OSStatus status = listen(aggregateDeviceID_, globalAddress(kAudioDevicePropertyDeviceIsAlive),
                               ending(&ProcessTapRecorder::deviceLost_));
      status != noErr)
    throw TextError(statusMessage(kWatchDeviceFailed, status));
  const auto unchanged = [device = aggregateDeviceID_, rate = deviceRate_, tap = tapID_,
                          format = tapFormat_] { return formatHolds(device, rate, tap, format); };
  const AudioObjectPropertyAddress anyStreams{kAudioDevicePropertyStreams,
                                              kAudioObjectPropertyScopeWildcard,
                                              kAudioObjectPropertyElementWildcard};
  for (auto [object, address, heard] :
       {std::tuple{aggregateDeviceID_, globalAddress(kAudioDevicePropertyNominalSampleRate),
                   ending(&ProcessTapRecorder::rateChanged_, unchanged)},
        std::tuple{tapID_, globalAddress(kAudioTapPropertyFormat),
                   ending(&ProcessTapRecorder::rateChanged_, unchanged)},
        std::tuple{aggregateDeviceID_, anyStreams,
                   std::function<void()>([tracker = tapStreams_] { tracker->reread(); })}}) {
    const OSStatus status = listen(object, address, std::move(heard));
    if (status != noErr && status != kAudioHardwareUnknownPropertyError &&
        status != kAudioHardwareBadObjectError)
      throw TextError(statusMessage(kWatchDeviceFailed, status));
  }
  tapStreams_->reread();
}

void ProcessTapRecorder::run() {
  std::shared_ptr<const AudioFormat> format;
  try {
    format = setUp();
    registerIOBlock(format);
    watchDevice();
    startInterrupted_ = !record(*format);
  } catch (...) {
    cleanup();  // here, on the calling thread, before anything else can hold the recorder
    throw;
  }
  cleanup();
  report(*format);
}

bool ProcessTapRecorder::record(const AudioFormat& format) {
  writer_->start();
  InterruptionScope interruption(*stopWaiting_);
  if (!startDevice()) return false;
  if (!(durationSeconds_ > 0)) return true;
  // The device's clock ends the recording, when the IO block has the duration's last frame: the
  // frames of the time line, not the seconds of this thread's waits. Only a device that cycles
  // through silence can be judged by cycles that stop; counted in slices of the wait, so that a
  // recorder that was itself stopped (SIGSTOP, a swapping machine) and finds the backlog waiting
  // is not taken for a device that went quiet.
  const bool watchCycles = platform().cyclesContinueWhileSilent();
  std::int64_t seen = -1;
  double quiet = 0, waited = 0;
  const auto afterSlice = [&](double slice) {
    const std::int64_t cycles = capture_->cycles();
    quiet = cycles == seen ? quiet + slice : 0;
    seen = cycles;
    waited += slice;
    if (watchCycles && quiet >= kSilentDeviceSeconds) {
      deviceLost_.store(true);
      stopWaiting_->store(true);
    }
    if (!watchCycles && waited >= durationSeconds_ && quiet >= kLastCycleSeconds)
      stopWaiting_->store(true);
  };
  const std::int64_t bytesPerFrame = std::int64_t(format.streamDescription().mBytesPerFrame) *
                                     (format.isInterleaved() ? 1 : format.channelCount());
  const std::function<std::int64_t()> fileBytes = [&] { return writer_->frames() * bytesPerFrame; };
  waitShowingStatus(durationSeconds_, *stopWaiting_, levels_, format.channelCount(), fileBytes,
                    afterSlice);
  return true;
}

// Core Audio's start of a tap aggregate with tapautostart waits until a tapped process plays, and
// an interrupt only sets a flag: the start runs on a thread of its own, so that the main thread
// can tear down (which may end the start) when the user gives up waiting.
bool ProcessTapRecorder::startDevice() {
  auto start = start_ = std::make_shared<Start>();
  starter_ =
      std::thread([start, &p = platform(), device = aggregateDeviceID_, proc = deviceProcID_] {
        start->status.store(p.deviceStart(device, proc));
        start->returned.store(true);
      });
  // An interrupt before any cycle came ends the wait; a cycle means the start is returning.
  while (!start->returned.load()) {
    if (stopWaiting_->load() && capture_->cycles() == 0) return false;
    std::this_thread::sleep_for(kStartPoll);
  }
  starter_.join();
  if (start->status != noErr) throw TextError(statusMessage(kStartFailed, start->status));
  return true;
}

void ProcessTapRecorder::report(const AudioFormat& format) {
  printSummary(summaryLine(outputURL_, targets_, writer_->cycles(), writer_->frames(),
                           format.sampleRate(), format.channelCount()));
  // What was written is complete and summed up; the run still failed. The last reason is the
  // error the entry reports; any before it go to standard error now.
  std::vector<std::string> failures;
  const LostAudio lost{capture_->unreadCycles(),
                       capture_->unreadFrames(),
                       capture_->skippedFrames(),
                       capture_->overflowFrames(),
                       writer_->failedWrites(),
                       writer_->failedFrames(),
                       droppedFrames_};
  if (std::string text = lostAudioMessage(lost, format.sampleRate()); !text.empty())
    failures.push_back(std::move(text));
  if (writer_->fileFull()) failures.emplace_back(kFileFull);
  if (rateChanged()) failures.emplace_back(kRateChanged);
  if (deviceLost()) failures.emplace_back(kDeviceLost);
  if (!failures.empty()) {
    for (std::size_t i = 0; i + 1 < failures.size(); ++i) {
      std::fputs(failures[i].c_str(), stderr);
      std::fputc('\n', stderr);
    }
    throw TextError(failures.back());
  }
  // A start interrupted while it waited for sound: the targets never played.
  if ((writer_->cycles() > 0 || startInterrupted_) && !writer_->heardSound()) {
    const std::string diagnosis = silenceDiagnosis(targetObjects_, ownObject_);
    std::fputs(diagnosis.c_str(), stderr);
    std::fputc('\n', stderr);
  }
}

// The platform is reached only for what is left to release: a recorder that a late notification
// held last may go after the platform has.
void ProcessTapRecorder::cleanup() noexcept {
  for (const Listener& listener : listeners_)
    platform().removePropertyListenerBlock(listener.object, listener.address, listener.id);
  listeners_.clear();
  if (tapStreams_) tapStreams_->close();  // a listener still running sets no usage from now on
  if (aggregateDeviceID_.isValid()) {
    Platform& p = platform();
    // A stop belongs to a registered block's start.
    if (deviceProcID_ != nullptr) {
      p.deviceStop(aggregateDeviceID_, deviceProcID_);
      // A start left waiting for sound that has since succeeded started the block again, maybe
      // after that stop.
      if (starter_.joinable() && start_->returned.load() && start_->status.load() == noErr)
        p.deviceStop(aggregateDeviceID_, deviceProcID_);
      droppedFrames_ += p.droppedFrames(aggregateDeviceID_);
      p.destroyIOProcID(aggregateDeviceID_, deviceProcID_);
      deviceProcID_ = nullptr;
    }
    p.destroyAggregateDevice(aggregateDeviceID_);
    aggregateDeviceID_ = AudioObjectID::unknown;
  }
  if (tapID_.isValid()) {
    platform().destroyProcessTap(tapID_);
    tapID_ = AudioObjectID::unknown;
  }
  // No header says that the stop, or the end of the device and the tap, ends a start that waits
  // for sound. It gets a moment, then is left to return on its own: its thread holds only its
  // result, and the recording still ends with its summary. One that returns later finds its
  // block's registration and its device gone.
  if (starter_.joinable()) {
    if (!start_->returned.load())
      platform().sleepForTimeInterval(kStartLeftSeconds, start_->returned);
    if (start_->returned.load())
      starter_.join();
    else
      starter_.detach();
  }
  if (writer_) writer_->finish();  // the IO block runs no more: what is left is all
  audioFile_.reset();              // the last reference: completes and closes the file
}

std::string lostAudioMessage(const LostAudio& lost, double sampleRate) {
  const auto seconds = [&](std::int64_t frames) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", sampleRate > 0 ? double(frames) / sampleRate : 0.0);
    return std::string(text);
  };
  std::vector<std::string> parts;
  if (lost.unreadCycles > 0)
    parts.push_back(std::to_string(lost.unreadCycles) + " 个 IO 周期的输入无法读取（" +
                    seconds(lost.unreadFrames) + " 秒音频）");
  if (lost.skippedFrames > 0)
    parts.push_back("设备跳过了 IO 周期（" + seconds(lost.skippedFrames) + " 秒音频）");
  if (lost.overflowFrames > 0)
    parts.push_back("写入跟不上，" + seconds(lost.overflowFrames) + " 秒音频未能进入缓冲区");
  if (lost.failedWrites > 0)
    parts.push_back(std::to_string(lost.failedWrites) + " 个 IO 周期（" +
                    seconds(lost.failedFrames) + " 秒音频）未能写入文件");
  if (lost.droppedFrames > 0)
    parts.push_back("音频系统丢弃了 " + seconds(lost.droppedFrames) + " 秒音频");
  if (parts.empty()) return {};
  std::string text = std::string(kLostAudio) + "：";
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i > 0 ? "，" : "") + parts[i];
  const std::int64_t counted[] = {lost.unreadFrames, lost.skippedFrames, lost.overflowFrames,
                                  lost.failedFrames, lost.droppedFrames};
  if (std::count_if(std::begin(counted), std::end(counted), [](auto f) { return f > 0; }) > 1)
    text += "；共 " +
            seconds(std::accumulate(std::begin(counted), std::end(counted), std::int64_t{0})) +
            " 秒";
  return text;
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
