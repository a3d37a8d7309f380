// One recording: its tracks (a process tap and a file each), the private aggregate device around
// their taps, the one IO block that hands every cycle to the tracks' writers, the wait, the
// teardown and the summary. The tracks share the device's time line: their files start at the
// same sample and hold the same frames.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/platform.h"
#include "processes/audio_process_info.h"
#include "recorder/live_status.h"
#include "recorder/tap_streams.h"
#include "recorder/track.h"

namespace pt {

inline constexpr const char* kRecorderQueueLabel = "brindlex.process-tap.demo";
inline constexpr const char* kNotificationQueueLabel = "brindlex.process-tap.notifications";
inline constexpr const char* kCreateTapFailed = "创建进程音频 Tap 失败";
inline constexpr const char* kCreateAggregateFailed = "创建聚合音频设备失败";
inline constexpr const char* kCaptureFormatFailed = "创建 Tap 音频格式失败";
inline constexpr const char* kCreateIOProcFailed = "创建 Tap 回调失败";
inline constexpr const char* kStartFailed = "启动 Tap 聚合设备失败";
inline constexpr const char* kWriteFailed = "写入 Tap 音频失败";
inline constexpr const char* kWatchDeviceFailed = "监听 Tap 聚合设备失败";
inline constexpr const char* kDeviceLost = "Tap 聚合设备已停止工作，录音提前结束";
inline constexpr const char* kRateChanged = "录音设备的采样率已改变，录音提前结束";
inline constexpr const char* kFileFull = "音频文件已达到其格式的大小上限，录音提前结束";
inline constexpr const char* kReaderGone = "标准输出的读取方已关闭，录音提前结束";
inline constexpr const char* kLostAudio = "录音丢失了音频";
inline constexpr const char* kSilentInput = "输入设备只录到了静音";
inline constexpr const char* kProcessingFormatDiffers = "文件的处理格式与 Tap 缓冲区的格式不同";

// Audio lost anywhere on the way to the file.
struct LostAudio {
  std::int64_t unreadCycles = 0;    // cycles whose input did not fit the capture format
  std::int64_t unreadFrames = 0;    // and their frames, by the time stamps or the cycle before
  std::int64_t skippedFrames = 0;   // cycles the device skipped (gaps in the input time stamps)
  std::int64_t overflowFrames = 0;  // cycles the ring could not take: the writer fell behind
  std::int64_t failedWrites = 0;    // cycles the file refused, and their frames
  std::int64_t failedFrames = 0;
  std::int64_t droppedFrames = 0;  // the platform's own (Platform::droppedFrames)
};

class ProcessTapRecorder : public std::enable_shared_from_this<ProcessTapRecorder> {
  struct Private {};

 public:
  // The device's listener holds the recorder weakly, so it is always shared.
  static std::shared_ptr<ProcessTapRecorder> make(std::vector<TrackSource> tracks,
                                                  double durationSeconds);
  ProcessTapRecorder(Private, std::vector<TrackSource> tracks, double durationSeconds);
  ~ProcessTapRecorder();
  ProcessTapRecorder(const ProcessTapRecorder&) = delete;
  ProcessTapRecorder& operator=(const ProcessTapRecorder&) = delete;

  // Sets up, records for durationSeconds (or until SIGINT/SIGTERM/SIGHUP), tears down and prints
  // the summary. Tears down before any error leaves it: at the first failing step, and after the
  // summary when audio was lost, a file filled up or the device stopped on its own.
  void run();
  // Releases everything in a fixed order; safe to repeat.
  void cleanup() noexcept;

  bool hasAudioFile() const;
  bool deviceLost() const { return deviceLost_.load(); }
  bool rateChanged() const { return rateChanged_.load(); }

 private:
  void setUp();
  void registerIOBlock();
  void watchDevice();
  OSStatus listen(AudioObjectID object, const AudioObjectPropertyAddress& address,
                  std::function<void()> heard);
  std::function<void()> ending(std::atomic<bool> ProcessTapRecorder::*flag,
                               std::function<bool()> unchanged = nullptr);
  // Starts the device and waits until the duration is in; false when interrupted before the
  // start returned.
  bool record();
  bool startDevice();
  void report();

  // Main thread only.
  std::vector<std::unique_ptr<Track>> tracks_;
  const double durationSeconds_;
  const std::shared_ptr<DispatchQueue> queue_;  // the IO block's alone
  // The listeners', so that a notification never delays an IO cycle.
  const std::shared_ptr<DispatchQueue> notifications_;
  AudioObjectID aggregateDeviceID_ = AudioObjectID::unknown;
  AudioDeviceIOProcID deviceProcID_ = nullptr;
  struct Listener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    AudioObjectPropertyListenerID id;
  };
  std::vector<Listener> listeners_;
  std::shared_ptr<TapStreamsTracker> tapStreams_;  // which of the aggregate's inputs are the taps'
  // What the files were made for, with each tap's 'tfmt': the aggregate's 'nsrt' (nothing:
  // unreadable).
  std::optional<double> deviceRate_;
  // deviceStart, which may wait for the targets' first audio; what it returned, once it has.
  struct Start {
    std::atomic<bool> returned{false};
    std::atomic<OSStatus> status{noErr};
  };
  std::shared_ptr<Start> start_;
  std::thread starter_;
  bool startInterrupted_ = false;
  std::int64_t droppedFrames_ = 0;
  // Raised by the writer while a status line shows.
  LevelMeter levels_;
  // Set by an interrupt, by the device's end, by the IO block once the duration is in, or by a
  // writer when its file is full; ends the wait.
  const std::shared_ptr<std::atomic<bool>> stopWaiting_;
  // Set on the notification queue when the device says it is no longer alive, or that the rate
  // or format the file was made for has changed; or by the wait when a device whose cycles never
  // pause has sent none for a while.
  std::atomic<bool> deviceLost_{false};
  std::atomic<bool> rateChanged_{false};
};

// "录音丢失了音频：…" with the causes that are not zero, or nothing when none is.
std::string lostAudioMessage(const LostAudio& lost, double sampleRate);

// wrote=… [targets=Name(pid=1),…] [excluded=…] [input=Name] for each file, then buffers=…
// frames=… sampleRate=… channels=…
std::string summaryLine(const std::vector<TrackSource>& tracks, std::int64_t buffers,
                        std::int64_t frames, double sampleRate, std::uint32_t channels);

}  // namespace pt
