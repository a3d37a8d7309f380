// One recording: the process tap, the private aggregate device around it, the IO block that
// appends every cycle to the file, the wait, the teardown and the summary.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/platform.h"
#include "processes/audio_process_info.h"
#include "recorder/live_status.h"

namespace pt {

inline constexpr const char* kRecorderQueueLabel = "brindlex.process-tap.demo";
inline constexpr const char* kCreateTapFailed = "创建进程音频 Tap 失败";
inline constexpr const char* kCreateAggregateFailed = "创建聚合音频设备失败";
inline constexpr const char* kCaptureFormatFailed = "创建 Tap 音频格式失败";
inline constexpr const char* kCreateIOProcFailed = "创建 Tap 回调失败";
inline constexpr const char* kStartFailed = "启动 Tap 聚合设备失败";
inline constexpr const char* kWriteFailed = "写入 Tap 音频失败";
inline constexpr const char* kWatchDeviceFailed = "监听 Tap 聚合设备失败";
inline constexpr const char* kDeviceLost = "Tap 聚合设备已停止工作，录音提前结束";
inline constexpr const char* kSilentRecordingWarning =
    "警告：录音只有静音。通常是运行本工具的终端没有录制系统音频的权限，或者目标进程没有播放声音。";

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

  // Sets up, records for durationSeconds (or until SIGINT/SIGTERM), tears down and prints the
  // summary. Throws at the first failing step, leaving what was made for cleanup(), and after the
  // summary when the device stopped on its own before the end.
  void run();
  // Releases everything in a fixed order; safe to repeat.
  void cleanup() noexcept;

  // The block registered on the device. Public so its contract can be exercised directly.
  static AudioDeviceIOBlock makeIOBlock(std::weak_ptr<ProcessTapRecorder> recorder,
                                        std::shared_ptr<const AudioFormat> format);

  AudioObjectID tapID() const { return tapID_; }
  AudioObjectID aggregateDeviceID() const { return aggregateDeviceID_; }
  bool hasAudioFile() const { return audioFile_ != nullptr; }
  std::int64_t bufferCount() const { return bufferCount_.load(std::memory_order_relaxed); }
  std::int64_t frameCount() const { return frameCount_.load(std::memory_order_relaxed); }
  bool heardSound() const { return heardSound_.load(std::memory_order_relaxed); }
  bool deviceLost() const { return deviceLost_.load(); }
  // For tests of the IO block: the file the block writes to.
  void setAudioFileForTesting(std::shared_ptr<AudioFile> file) { audioFile_ = std::move(file); }

 private:
  std::shared_ptr<const AudioFormat> setUp();
  void registerIOBlock(std::shared_ptr<const AudioFormat> format);
  void watchDevice();

  // Main thread only.
  const std::vector<AudioProcessInfo> targets_;
  const std::string outputURL_;
  const double durationSeconds_;
  const std::shared_ptr<DispatchQueue> queue_;
  AudioObjectID tapID_ = AudioObjectID::unknown;
  AudioObjectID aggregateDeviceID_ = AudioObjectID::unknown;
  AudioDeviceIOProcID deviceProcID_ = nullptr;
  AudioObjectPropertyListenerID aliveListener_ = nullptr;
  // Set before the block is registered, cleared after it is destroyed; read by the IO block.
  std::shared_ptr<AudioFile> audioFile_;
  // Written by the IO block; read by the main thread once the device has stopped.
  std::atomic<std::int64_t> bufferCount_{0};
  std::atomic<std::int64_t> frameCount_{0};
  // Set by the IO block at the first written sample that is not zero.
  std::atomic<bool> heardSound_{false};
  // Raised by the IO block while a status line shows.
  LevelMeter levels_;
  // Set by an interrupt or by the device's end; ends the wait.
  std::atomic<bool> stopWaiting_{false};
  // Set on the queue when the device says it is no longer alive.
  std::atomic<bool> deviceLost_{false};
};

// wrote=… targets=Name(pid=1),… buffers=… frames=… sampleRate=… channels=…
std::string summaryLine(const std::string& path, const std::vector<AudioProcessInfo>& targets,
                        std::int64_t buffers, std::int64_t frames, double sampleRate,
                        std::uint32_t channels);

}  // namespace pt
