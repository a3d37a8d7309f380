// One recording: the process tap, the private aggregate device around it, the IO block that
// appends every cycle to the file, the wait, the teardown and the summary.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/platform.h"
#include "processes/audio_process_info.h"
#include "recorder/live_status.h"
#include "recorder/tap_streams.h"

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
inline constexpr const char* kLostAudio = "录音丢失了音频";

class ProcessTapRecorder : public std::enable_shared_from_this<ProcessTapRecorder> {
  struct Private {};

 public:
  // The IO block holds the recorder weakly, so it is always shared.
  static std::shared_ptr<ProcessTapRecorder> make(std::vector<AudioProcessInfo> targets,
                                                  std::string outputURL, double durationSeconds);
  ProcessTapRecorder(Private, std::vector<AudioProcessInfo> targets, std::string outputURL,
                     double durationSeconds);
  ~ProcessTapRecorder();
  ProcessTapRecorder(const ProcessTapRecorder&) = delete;
  ProcessTapRecorder& operator=(const ProcessTapRecorder&) = delete;

  // Sets up, records for durationSeconds (or until SIGINT/SIGTERM/SIGHUP), tears down and prints
  // the summary. Throws at the first failing step, leaving what was made for cleanup(), and after
  // the summary when audio was lost, the file filled up or the device stopped on its own.
  void run();
  // Releases everything in a fixed order; safe to repeat.
  void cleanup() noexcept;

  // The block registered on the device. Public so its contract can be exercised directly.
  static AudioDeviceIOBlock makeIOBlock(std::weak_ptr<ProcessTapRecorder> recorder,
                                        std::shared_ptr<const AudioFormat> format);

  bool hasAudioFile() const { return audioFile_ != nullptr; }
  std::int64_t bufferCount() const { return bufferCount_.load(std::memory_order_relaxed); }
  std::int64_t frameCount() const { return frameCount_.load(std::memory_order_relaxed); }
  bool heardSound() const { return heardSound_.load(std::memory_order_relaxed); }
  std::int64_t unreadCycles() const { return unreadCycles_.load(std::memory_order_relaxed); }
  std::int64_t failedWrites() const { return failedWrites_.load(std::memory_order_relaxed); }
  std::int64_t lostFrames() const { return lostFrames_.load(std::memory_order_relaxed); }
  bool deviceLost() const { return deviceLost_.load(); }
  bool rateChanged() const { return rateChanged_.load(); }
  // For tests of the IO block: the file the block writes to.
  void setAudioFileForTesting(std::shared_ptr<AudioFile> file) { audioFile_ = std::move(file); }

 private:
  std::shared_ptr<const AudioFormat> setUp();
  void registerIOBlock(std::shared_ptr<const AudioFormat> format);
  void watchDevice();
  OSStatus listen(AudioObjectID object, AudioObjectPropertySelector selector,
                  std::atomic<bool> ProcessTapRecorder::*flag, std::function<bool()> unchanged,
                  AudioObjectPropertyListenerID& outListener);

  // Main thread only.
  const std::vector<AudioProcessInfo> targets_;
  const std::string outputURL_;
  const double durationSeconds_;
  const std::shared_ptr<DispatchQueue> queue_;  // the IO block's alone
  // The listeners', so that a notification never delays an IO cycle.
  const std::shared_ptr<DispatchQueue> notifications_;
  AudioObjectID tapID_ = AudioObjectID::unknown;
  AudioObjectID aggregateDeviceID_ = AudioObjectID::unknown;
  AudioDeviceIOProcID deviceProcID_ = nullptr;
  AudioObjectPropertyListenerID aliveListener_ = nullptr;
  AudioObjectPropertyListenerID rateListener_ = nullptr;    // the aggregate's 'nsrt'
  AudioObjectPropertyListenerID formatListener_ = nullptr;  // the tap's 'tfmt'
  TapStreams tapStreams_;  // which of the aggregate's input streams are the tap's
  // What the file was made for: 'tfmt' and the aggregate's 'nsrt' (nothing: unreadable).
  AudioStreamBasicDescription tapFormat_{};
  std::optional<double> deviceRate_;
  // Set before the block is registered, cleared after it is destroyed; read by the IO block.
  std::shared_ptr<AudioFile> audioFile_;
  // Written by the IO block; read by the main thread once the device has stopped.
  std::atomic<std::int64_t> bufferCount_{0};
  std::atomic<std::int64_t> frameCount_{0};
  // Set by the IO block at the first written sample that is not zero.
  std::atomic<bool> heardSound_{false};
  // Lost audio, counted by the IO block: cycles whose input could not be wrapped in the capture
  // format, and cycles (and their frames) that the file refused.
  std::atomic<std::int64_t> unreadCycles_{0};
  std::atomic<std::int64_t> failedWrites_{0};
  std::atomic<std::int64_t> lostFrames_{0};
  // Set by the IO block when the container can take no more; ends the wait.
  std::atomic<bool> fileFull_{false};
  // Raised by the IO block while a status line shows.
  LevelMeter levels_;
  // Set by an interrupt or by the device's end; ends the wait.
  std::atomic<bool> stopWaiting_{false};
  // Set on the notification queue when the device says it is no longer alive, or that the rate
  // or format the file was made for has changed.
  std::atomic<bool> deviceLost_{false};
  std::atomic<bool> rateChanged_{false};
};

// "录音丢失了音频：…" with the counts that are not zero, or nothing when none is.
std::string lostAudioMessage(std::int64_t unreadCycles, std::int64_t failedWrites,
                             std::int64_t lostFrames, double sampleRate);

// wrote=… targets=Name(pid=1),… buffers=… frames=… sampleRate=… channels=…
std::string summaryLine(const std::string& path, const std::vector<AudioProcessInfo>& targets,
                        std::int64_t buffers, std::int64_t frames, double sampleRate,
                        std::uint32_t channels);

}  // namespace pt
