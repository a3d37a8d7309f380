// The status line of a recording at a terminal: elapsed time, a peak meter per channel and the
// size of the file, redrawn in place on standard error during the wait and erased before the
// summary. Where standard error is not a terminal, the wait is the plain sleep and nothing shows.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/core_audio_types.h"

namespace pt {

// Peaks per channel that the writer raises and the status line takes: lock-free, no allocation.
// Off until enabled, so a recording without a status line only looks for its first sound.
class LevelMeter {
 public:
  static constexpr std::uint32_t kMaxChannels = 16;

  struct Reading {
    float peak = 0;        // loudest magnitude since the previous take
    bool clipped = false;  // a sample reached full scale at any time since enabled
  };

  void enable() noexcept { enabled_.store(true, std::memory_order_relaxed); }
  // Whether a status line shows, so that another line on standard error erases it first.
  bool enabled() const noexcept { return enabled_.load(std::memory_order_relaxed); }
  // Writer thread. Raises the peaks, when enabled, and answers whether any sample is not zero,
  // in one pass. Channels beyond kMaxChannels are not measured.
  bool measure(const AudioBufferList& list) noexcept;
  // Main thread.
  Reading take(std::uint32_t channel) noexcept;

 private:
  static_assert(std::atomic<float>::is_always_lock_free, "raised on the IO thread");
  std::atomic<bool> enabled_{false};
  std::array<std::atomic<float>, kMaxChannels> peaks_{};
  std::array<std::atomic<bool>, kMaxChannels> clipped_{};
};

// Returns to the start of the line and erases it.
inline constexpr const char* kEraseStatusLine = "\r\x1b[K";

struct StatusView {
  double elapsedSeconds = 0;
  double durationSeconds = 0;  // not finite: no end to show
  std::vector<LevelMeter::Reading> channels;
  std::optional<std::int64_t> fileBytes;  // none: not shown
};

// The line, at most `columns - 1` columns wide so the cursor never wraps; ANSI colours when
// `colour`.
std::string statusLine(const StatusView& view, std::size_t columns, bool colour);

// Waits until `stop` is raised, in slices of a quarter of a second by the platform's clock,
// calling `afterSlice` with each slice's length. When standard error is a terminal, the slices are
// a tenth of a second, each followed by a redraw of the status line (`durationSeconds`: the length
// it shows; `fileBytes`: the size of the audio written so far), and the line is erased before it
// returns.
void waitShowingStatus(double durationSeconds, const std::atomic<bool>& stop, LevelMeter& meter,
                       std::uint32_t channels, const std::function<std::int64_t()>& fileBytes,
                       const std::function<void(double)>& afterSlice);

}  // namespace pt
