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
#include "audio/input_devices.h"
#include "audio/property_access.h"
#include "audio/text_error.h"
#include "audio/thread_name.h"
#include "audio/wav_stream.h"
#include "processes/inventory.h"
#include "recorder/aggregate_description.h"
#include "recorder/file_writer.h"
#include "recorder/input_mix.h"
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

// Whether the device's rate and the taps' formats still read as they did when the files were
// made.
bool formatHolds(AudioObjectID device, std::optional<double> rate,
                 const std::vector<std::pair<AudioObjectID, AudioStreamBasicDescription>>& taps) {
  try {
    for (const auto& [tap, format] : taps) {
      const auto now = tap.read<AudioStreamBasicDescription>(kAudioTapPropertyFormat, {});
      if (std::memcmp(&now, &format, sizeof now) != 0) return false;
    }
    return nominalRate(device) == rate;
  } catch (const TextError&) {
    return false;
  }
}

TapLayout layoutOf(const AudioStreamBasicDescription& format) {
  return {format.mChannelsPerFrame, (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0};
}

void printLine(const std::string& line) {
  std::fputs(line.c_str(), stderr);
  std::fputc('\n', stderr);
}

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// On standard output, unless the audio goes there.
void printSummary(const std::string& line, bool audioOnStdout) {
  std::FILE* out = audioOnStdout ? stderr : stdout;
  errno = 0;
  const bool written = std::fputs(line.c_str(), out) >= 0 && std::fputc('\n', out) != EOF &&
                       std::fflush(out) == 0 && !std::ferror(out);
  if (!written) {
    const int error = errno;
    throw TextError("无法写出录音摘要：" +
                    std::string(error != 0 ? std::strerror(error) : "标准输出写入失败"));
  }
}

}  // namespace

std::shared_ptr<ProcessTapRecorder> ProcessTapRecorder::make(std::vector<TrackSource> tracks,
                                                             double durationSeconds) {
  return std::make_shared<ProcessTapRecorder>(Private{}, std::move(tracks), durationSeconds);
}

ProcessTapRecorder::ProcessTapRecorder(Private, std::vector<TrackSource> tracks,
                                       double durationSeconds)
    : durationSeconds_(durationSeconds),
      queue_(platform().makeSerialQueue(kRecorderQueueLabel)),
      notifications_(platform().makeSerialQueue(kNotificationQueueLabel)),
      stopWaiting_(std::make_shared<std::atomic<bool>>(false)) {
  for (TrackSource& source : tracks) tracks_.push_back(std::make_unique<Track>(std::move(source)));
}

ProcessTapRecorder::~ProcessTapRecorder() { cleanup(); }

bool ProcessTapRecorder::hasAudioFile() const {
  return std::any_of(tracks_.begin(), tracks_.end(),
                     [](const auto& track) { return track->hasAudioFile(); });
}

void ProcessTapRecorder::setUp() {
  std::vector<AudioProcessInfo> targets;
  std::vector<std::string> tapUUIDs;
  const Track* inputTrack = nullptr;  // the one track that records an input device
  for (const auto& track : tracks_) {
    track->createTap();
    if (track->hasTap()) tapUUIDs.push_back(track->tapUUID());
    if (track->source().input) inputTrack = track.get();
    targets.insert(targets.end(), track->source().targets.begin(), track->source().targets.end());
  }
  const AudioObjectID outputDevice = AudioObjectID::system.read<AudioObjectID>(
      kAudioHardwarePropertyDefaultSystemOutputDevice, AudioObjectID::unknown);
  const std::string outputUID = outputDevice.readString(kAudioDevicePropertyDeviceUID);
  // The output device's own input (a headset's) is in the aggregate already.
  std::optional<InputSubDevice> inputDevice;
  if (inputTrack && inputTrack->source().input->uid != outputUID) {
    const std::uint32_t domain = clockDomain(inputTrack->source().input->objectID);
    inputDevice = {inputTrack->source().input->uid,
                   domain == 0 || domain != clockDomain(outputDevice)};
  }
  const std::string deviceUID = platform().randomUUID();
  const Value aggregate =
      aggregateDeviceDescription(targets, deviceUID, outputUID, tapUUIDs, inputDevice);
  if (OSStatus status = platform().createAggregateDevice(aggregate, aggregateDeviceID_);
      status != noErr)
    throw TextError(statusMessage(kCreateAggregateFailed, status));

  // Sub-devices' streams come before the taps'.
  std::vector<StreamPart> parts;
  if (inputTrack) parts.push_back({inputTrack->source().input->streams, 1});
  for (const auto& track : tracks_)
    if (track->hasTap()) parts.push_back(tapPart(layoutOf(track->readTapFormat())));
  tapStreams_ = std::make_shared<TapStreamsTracker>(aggregateDeviceID_, std::move(parts));
  tapStreams_->find();
  // A tap may state one rate while the device runs at the output device's; the files must carry
  // the rate the samples arrive at.
  deviceRate_ = nominalRate(aggregateDeviceID_);
  for (const auto& track : tracks_) track->openFile(deviceRate_);
}

// One block for all tracks. The recording's end is the device's clock: once every track holds
// the duration's frames (all see the same cycles, so the last cycle completes them all).
void ProcessTapRecorder::registerIOBlock() {
  // In the parts' order: the input device's, then the taps'.
  std::vector<AudioDeviceIOBlock> blocks;
  for (const auto& track : tracks_) {
    track->prepare(framesOf(durationSeconds_, track->format().sampleRate()), levels_, stopWaiting_);
    if (InputMix* input = track->inputMix())
      blocks.insert(blocks.begin(),
                    input->inputBlock(track->hasTap() ? nullptr : track->ioBlock()));
  }
  for (const auto& track : tracks_) {
    if (!track->hasTap()) continue;
    InputMix* input = track->inputMix();
    blocks.push_back(input ? input->mixedInto(track->ioBlock(), layoutOf(track->tapFormat()))
                           : track->ioBlock());
  }
  std::vector<const Track*> tracks;
  for (const auto& track : tracks_) tracks.push_back(track.get());
  AudioDeviceIOBlock all = TapStreamsTracker::tapInputOnly(std::move(blocks), tapStreams_);
  // Real-time safe: the tracks' list is made here and only read there.
  AudioDeviceIOBlock block = [all = std::move(all), tracks = std::move(tracks),
                              stop = stopWaiting_](
                                 const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                                 const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
                                 const AudioTimeStamp* inOutputTime) {
    all(inNow, inInputData, inInputTime, outOutputData, inOutputTime);
    if (std::all_of(tracks.begin(), tracks.end(), [](const Track* t) { return t->complete(); }))
      stop->store(true);
  };
  OSStatus status = platform().createIOProcIDWithBlock(deviceProcID_, aggregateDeviceID_, queue_,
                                                       std::move(block));
  if (status != noErr) throw TextError(statusMessage(kCreateIOProcFailed, status));
  tapStreams_->useFor(deviceProcID_);
  if (durationSeconds_ > 0)
    platform().deviceWillStopAt(aggregateDeviceID_,
                                framesOf(durationSeconds_, tracks_.front()->format().sampleRate()));
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
  std::vector<std::pair<AudioObjectID, AudioStreamBasicDescription>> taps;
  for (const auto& track : tracks_)
    if (track->hasTap()) taps.emplace_back(track->tap(), track->tapFormat());
  const auto unchanged = [device = aggregateDeviceID_, rate = deviceRate_, taps] {
    return formatHolds(device, rate, taps);
  };
  const AudioObjectPropertyAddress anyStreams{kAudioDevicePropertyStreams,
                                              kAudioObjectPropertyScopeWildcard,
                                              kAudioObjectPropertyElementWildcard};
  std::vector<std::tuple<AudioObjectID, AudioObjectPropertyAddress, std::function<void()>>> heard{
      {aggregateDeviceID_, globalAddress(kAudioDevicePropertyNominalSampleRate),
       ending(&ProcessTapRecorder::rateChanged_, unchanged)}};
  for (const auto& [tap, format] : taps)
    heard.emplace_back(tap, globalAddress(kAudioTapPropertyFormat),
                       ending(&ProcessTapRecorder::rateChanged_, unchanged));
  heard.emplace_back(aggregateDeviceID_, anyStreams,
                     [tracker = tapStreams_] { tracker->reread(); });
  for (auto& [object, address, then] : heard) {
    const OSStatus status = listen(object, address, std::move(then));
    if (status != noErr && status != kAudioHardwareUnknownPropertyError &&
        status != kAudioHardwareBadObjectError)
      throw TextError(statusMessage(kWatchDeviceFailed, status));
  }
  tapStreams_->reread();
}

void ProcessTapRecorder::run() {
  try {
    setUp();
    registerIOBlock();
    watchDevice();
    startInterrupted_ = !record();
  } catch (...) {
    cleanup();  // here, on the calling thread, before anything else can hold the recorder
    throw;
  }
  cleanup();
  report();
}

bool ProcessTapRecorder::record() {
  for (const auto& track : tracks_) track->writer().start();
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
    const std::int64_t cycles = tracks_.front()->capture().cycles();
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
  const std::function<std::int64_t()> fileBytes = [&] {
    std::int64_t bytes = 0;
    for (const auto& track : tracks_) {
      const AudioFormat& format = track->format();
      bytes += track->writer().frames() * std::int64_t(format.streamDescription().mBytesPerFrame) *
               (format.isInterleaved() ? 1 : format.channelCount());
    }
    return bytes;
  };
  waitShowingStatus(durationSeconds_, *stopWaiting_, levels_,
                    tracks_.front()->format().channelCount(), fileBytes, afterSlice);
  return true;
}

// Core Audio's start of a tap aggregate with tapautostart waits until a tapped process plays, and
// an interrupt only sets a flag: the start runs on a thread of its own, so that the main thread
// can tear down (which may end the start) when the user gives up waiting.
bool ProcessTapRecorder::startDevice() {
  auto start = start_ = std::make_shared<Start>();
  starter_ =
      std::thread([start, &p = platform(), device = aggregateDeviceID_, proc = deviceProcID_] {
        nameThisThread("start");
        start->status.store(p.deviceStart(device, proc));
        start->returned.store(true);
      });
  // An interrupt before any cycle came ends the wait; a cycle means the start is returning.
  while (!start->returned.load()) {
    if (stopWaiting_->load() && tracks_.front()->capture().cycles() == 0) return false;
    std::this_thread::sleep_for(kStartPoll);
  }
  starter_.join();
  if (start->status != noErr) throw TextError(statusMessage(kStartFailed, start->status));
  return true;
}

void ProcessTapRecorder::report() {
  const Track& first = *tracks_.front();
  std::vector<TrackSource> sources;
  for (const auto& track : tracks_) sources.push_back(track->source());
  printSummary(summaryLine(sources, first.writer().cycles(), first.writer().frames(),
                           first.format().sampleRate(), first.format().channelCount()),
               first.source().path == kPipeOutput);
  // What was written is complete and summed up; the run still failed. The last reason is the
  // error the entry reports; any before it go to standard error now. With several files, each
  // line of one file's own names it.
  const bool several = tracks_.size() > 1;
  const auto named = [&](const Track& track, std::string text) {
    return several ? track.source().path + "：" + text : text;
  };
  std::vector<std::string> failures;
  for (const auto& track : tracks_) {
    const IOCapture& capture = track->capture();
    const FileWriter& writer = track->writer();
    // An input missing from a mix could not be read there.
    const InputMix* input = track->hasTap() ? track->inputMix() : nullptr;
    const LostAudio lost{capture.unreadCycles() + (input ? input->missingCycles() : 0),
                         capture.unreadFrames() + (input ? input->missingFrames() : 0),
                         capture.skippedFrames(),
                         capture.overflowFrames(),
                         writer.failedWrites(),
                         writer.failedFrames(),
                         several ? 0 : droppedFrames_};
    if (std::string text = lostAudioMessage(lost, track->format().sampleRate()); !text.empty())
      failures.push_back(named(*track, std::move(text)));
    if (writer.fileFull())
      failures.push_back(
          named(*track, track->source().path == kPipeOutput ? kReaderGone : kFileFull));
  }
  // The platform's own losses are the device's, not one file's.
  if (several)
    if (std::string text =
            lostAudioMessage({.droppedFrames = droppedFrames_}, first.format().sampleRate());
        !text.empty())
      failures.push_back(std::move(text));
  if (rateChanged()) failures.emplace_back(kRateChanged);
  if (deviceLost()) failures.emplace_back(kDeviceLost);
  if (!failures.empty()) {
    for (std::size_t i = 0; i + 1 < failures.size(); ++i) printLine(failures[i]);
    throw TextError(failures.back());
  }
  // A start interrupted while it waited for sound: the targets never played.
  for (const auto& track : tracks_) {
    const bool ran = track->writer().cycles() > 0 || startInterrupted_;
    if (ran && track->hasTap() && !track->writer().heardSound())
      printLine(named(*track, silenceDiagnosis(track->targetObjects(), track->excludedObjects())));
    if (ran && track->inputMix() && !track->inputMix()->heardSound())
      printLine(named(*track, std::string(kSilentInput) + "（" + track->source().input->name +
                                  "）：" + platform().silentInputReason()));
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
  for (const auto& track : tracks_) track->destroyTap();
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
  for (const auto& track : tracks_) track->finish();  // the IO block runs no more: all is in
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

std::string summaryLine(const std::vector<TrackSource>& tracks, std::int64_t buffers,
                        std::int64_t frames, double sampleRate, std::uint32_t channels) {
  const auto listed = [](const std::vector<AudioProcessInfo>& processes) {
    std::string text;
    for (std::size_t i = 0; i < processes.size(); ++i)
      text +=
          (i > 0 ? "," : "") + processes[i].name + "(pid=" + std::to_string(processes[i].pid) + ")";
    return text;
  };
  std::string line;
  for (const TrackSource& track : tracks) {
    line += (line.empty() ? "wrote=" : " wrote=") + track.path;
    if (!track.targets.empty() || !track.input) line += " targets=" + listed(track.targets);
    if (!track.excluded.empty()) line += " excluded=" + listed(track.excluded);
    if (track.input) line += " input=" + track.input->name;
  }
  line += " buffers=" + std::to_string(buffers) + " frames=" + std::to_string(frames) +
          " sampleRate=" + std::to_string(truncatedRate(sampleRate)) +
          " channels=" + std::to_string(channels);
  return line;
}

}  // namespace pt
