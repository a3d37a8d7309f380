// One track of a recording: the process tap of one source, the format its samples arrive in, the
// capture that takes its buffers from the IO block, its writer and its file. The recorder owns
// the tracks and the one aggregate device around their taps.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/input_devices.h"
#include "audio/platform.h"
#include "processes/audio_process_info.h"
#include "recorder/live_status.h"

namespace pt {

class FileWriter;
class InputMix;
class IOCapture;

// What one file of a recording holds: the mix of `targets`, or, for the global target, the whole
// system mix without `excluded` and the tool itself (also when there are no targets and no
// input); and `input`'s first stream, mixed in, or alone when there are no targets.
struct TrackSource {
  std::vector<AudioProcessInfo> targets;
  std::vector<AudioProcessInfo> excluded;
  std::string path;
  std::optional<InputDevice> input = std::nullopt;
};

class Track {
 public:
  explicit Track(TrackSource source);
  ~Track();  // release()
  Track(const Track&) = delete;
  Track& operator=(const Track&) = delete;

  // The tap, for all but a track of an input device alone; its UUID goes into the aggregate's tap
  // list.
  bool hasTap() const noexcept { return !source_.targets.empty() || !source_.input; }
  void createTap();
  const std::string& tapUUID() const noexcept { return tapUUID_; }
  AudioObjectID tap() const noexcept { return tapID_; }
  // 'tfmt', read once the aggregate holds the tap.
  const AudioStreamBasicDescription& readTapFormat();
  const AudioStreamBasicDescription& tapFormat() const noexcept { return tapFormat_; }
  // The tap's format at the rate the device runs at (a tap may state another), or the input's
  // stream's without a tap, and the file for it.
  void openFile(std::optional<double> deviceRate);
  // The capture and the writer; `done` is raised once the capture holds `frameLimit` frames.
  void prepare(std::int64_t frameLimit, LevelMeter& meter, std::shared_ptr<std::atomic<bool>> stop);
  AudioDeviceIOBlock ioBlock() const;
  // The input device's part of each cycle, for a track with an input (null otherwise).
  InputMix* inputMix() const noexcept { return inputMix_.get(); }
  bool complete() const noexcept { return done_->load(std::memory_order_relaxed); }

  // Releases the tap; safe to repeat.
  void destroyTap() noexcept;
  // Once the IO block runs no more: the writer writes what is left and the file closes.
  void finish() noexcept;

  const TrackSource& source() const noexcept { return source_; }
  bool global() const noexcept { return hasTap() && targetObjects_.empty(); }
  const std::vector<AudioObjectID>& targetObjects() const noexcept { return targetObjects_; }
  // Left out of the global mix: the excluded processes and the tool's own.
  const std::vector<AudioObjectID>& excludedObjects() const noexcept { return excludedObjects_; }
  const AudioFormat& format() const noexcept { return *format_; }
  bool hasAudioFile() const noexcept { return file_ != nullptr; }
  IOCapture& capture() const noexcept { return *capture_; }
  FileWriter& writer() const noexcept { return *writer_; }

 private:
  const TrackSource source_;
  const std::vector<AudioObjectID> targetObjects_;
  std::vector<AudioObjectID> excludedObjects_;
  std::string tapUUID_;
  AudioObjectID tapID_ = AudioObjectID::unknown;
  AudioStreamBasicDescription tapFormat_{};
  std::shared_ptr<const AudioFormat> format_;
  std::shared_ptr<AudioFile> file_;
  std::shared_ptr<IOCapture> capture_;  // what the IO block shares with the writer
  std::unique_ptr<FileWriter> writer_;
  std::shared_ptr<InputMix> inputMix_;
  std::shared_ptr<std::atomic<bool>> done_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace pt
