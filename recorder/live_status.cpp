#include "recorder/live_status.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/platform.h"

namespace pt {
namespace {

constexpr double kRedrawSeconds = 0.1;
// Without a status line the wait still wakes, for the caller's checks between slices.
constexpr double kQuietSliceSeconds = 1;
constexpr double kMeterFloorDb = -60;
// The bar turns yellow above this level and red above the next.
constexpr double kLoudDb = -12;
constexpr double kHotDb = -3;

constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kClipColour = "\x1b[1;31m";
constexpr const char* kReset = "\x1b[0m";

struct Segment {
  std::string text;
  const char* colour = nullptr;
};

std::string printed(const char* format, double value) {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// M:SS.s, or H:MM:SS.s from an hour on.
std::string clockText(double seconds) {
  const auto tenths = static_cast<std::int64_t>(std::floor(std::max(0.0, seconds) * 10));
  const std::int64_t total = tenths / 10;
  char text[48];
  if (total >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%lld", (long long)(total / 3600),
                  (long long)(total / 60 % 60), (long long)(total % 60), (long long)(tenths % 10));
  else
    std::snprintf(text, sizeof text, "%lld:%02lld.%lld", (long long)(total / 60),
                  (long long)(total % 60), (long long)(tenths % 10));
  return text;
}

std::string sizeText(std::int64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " B";
  if (bytes < 1000 * 1000) return printed("%.1f kB", double(bytes) / 1e3);
  if (bytes < 1000 * 1000 * 1000) return printed("%.1f MB", double(bytes) / 1e6);
  return printed("%.2f GB", double(bytes) / 1e9);
}

std::string channelLabel(std::size_t channel, std::size_t count) {
  if (count == 2) return channel == 0 ? "L" : "R";
  return std::to_string(channel + 1);
}

const char* zoneColour(double db) { return db > kHotDb ? kRed : db > kLoudDb ? kYellow : kGreen; }

std::vector<Segment> layout(const StatusView& view, int barWidth) {
  std::vector<Segment> line;
  std::string time = clockText(view.elapsedSeconds);
  if (std::isfinite(view.durationSeconds))
    time += " / " + clockText(std::max(0.0, view.durationSeconds));
  line.push_back({time});
  for (std::size_t c = 0; c < view.channels.size(); ++c) {
    const LevelMeter::Reading& level = view.channels[c];
    const double db = level.peak > 0 ? 20 * std::log10(double(level.peak)) : -INFINITY;
    line.push_back({"  " + channelLabel(c, view.channels.size()) + " "});
    if (barWidth > 0) {
      line.push_back({"["});
      const double filled = std::clamp((db - kMeterFloorDb) / -kMeterFloorDb, 0.0, 1.0);
      const int lit = int(std::lround(filled * barWidth));
      for (int i = 0; i < barWidth; ++i) {
        const double upTo = kMeterFloorDb - kMeterFloorDb * (i + 1) / barWidth;
        if (i < lit)
          line.push_back({"#", zoneColour(upTo)});
        else
          line.push_back({"."});
      }
      line.push_back({"] "});
    }
    // Rounded first, so a level just under full scale does not print as -0.0.
    const double shown = std::round(db * 10) / 10;
    line.push_back({std::isfinite(db) ? printed("%5.1f dBFS", shown == 0 ? 0.0 : shown)
                                      : std::string(" -inf dBFS")});
    if (level.clipped) line.push_back({" CLIP", kClipColour});
  }
  if (view.fileBytes) line.push_back({"  " + sizeText(*view.fileBytes)});
  return line;
}

std::size_t width(const std::vector<Segment>& line) {
  std::size_t columns = 0;
  for (const Segment& segment : line) columns += segment.text.size();
  return columns;
}

bool terminalHasColours() {
  const char* noColour = std::getenv("NO_COLOR");
  if (noColour != nullptr && *noColour != '\0') return false;
  const char* colourTerm = std::getenv("COLORTERM");
  if (colourTerm != nullptr && *colourTerm != '\0') return true;
  const char* term = std::getenv("TERM");
  if (term == nullptr) return false;
  const std::string name = term;
  if (name.find("color") != std::string::npos || name.find("ansi") != std::string::npos)
    return true;
  for (const char* family : {"xterm", "screen", "tmux", "rxvt", "linux", "vt220", "alacritty",
                             "kitty", "foot", "wezterm", "konsole", "gnome", "putty"})
    if (name.rfind(family, 0) == 0) return true;
  return false;
}

// A terminal that cannot move to the line's start or erase it is not drawn on.
bool stderrIsCapableTerminal() {
  if (!::isatty(STDERR_FILENO)) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}

std::size_t terminalColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// The status is decoration: a write that fails is dropped.
void writeAll(const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= std::size_t(written);
  }
}

class StatusDrawing {
 public:
  StatusDrawing(LevelMeter& meter, std::uint32_t channels,
                const std::function<std::int64_t()>& fileBytes, double duration)
      : meter_(meter),
        fileBytes_(fileBytes),
        colour_(terminalHasColours()),
        start_(platform().systemUptime()) {
    view_.durationSeconds = duration;
    view_.channels.resize(std::min(channels, LevelMeter::kMaxChannels));
    meter_.enable();
  }
  ~StatusDrawing() {
    if (drawn_) writeAll(kEraseStatusLine);
  }
  StatusDrawing(const StatusDrawing&) = delete;
  StatusDrawing& operator=(const StatusDrawing&) = delete;

  void draw() {
    view_.elapsedSeconds = platform().systemUptime() - start_;
    if (std::isfinite(view_.durationSeconds))
      view_.elapsedSeconds = std::min(view_.elapsedSeconds, view_.durationSeconds);
    for (std::uint32_t c = 0; c < view_.channels.size(); ++c) view_.channels[c] = meter_.take(c);
    view_.fileBytes = fileBytes_();
    writeAll("\r" + statusLine(view_, terminalColumns(), colour_) + "\x1b[K");
    drawn_ = true;
  }

 private:
  LevelMeter& meter_;
  const std::function<std::int64_t()>& fileBytes_;
  const bool colour_;
  const double start_;
  StatusView view_;
  bool drawn_ = false;
};

}  // namespace

bool LevelMeter::measure(const AudioBufferList& list) noexcept {
  const bool enabled = enabled_.load(std::memory_order_relaxed);
  bool sound = false;
  std::uint32_t first = 0;  // the list's channels are its buffers' channels in order
  for (std::uint32_t b = 0; b < list.mNumberBuffers; ++b) {
    const AudioBuffer& buffer = list.mBuffers[b];
    const std::uint32_t stride = std::max<std::uint32_t>(1, buffer.mNumberChannels);
    const std::uint32_t measured =
        first < kMaxChannels ? std::min(stride, kMaxChannels - first) : 0;
    const float* samples = static_cast<const float*>(buffer.mData);
    const std::size_t count = samples ? buffer.mDataByteSize / sizeof(float) : 0;
    if (!enabled) {
      for (std::size_t i = 0; i < count && !sound; ++i) sound = samples[i] != 0.0f;
      if (sound) return true;
      first += stride;
      continue;
    }
    std::array<float, kMaxChannels> loudest{};
    for (std::size_t frame = 0; frame + stride <= count; frame += stride)
      for (std::uint32_t c = 0; c < stride; ++c) {
        const float sample = samples[frame + c];
        sound = sound || sample != 0.0f;
        if (c < measured) loudest[c] = std::max(loudest[c], std::fabs(sample));
      }
    for (std::uint32_t c = 0; c < measured; ++c) {
      std::atomic<float>& peak = peaks_[first + c];
      float seen = peak.load(std::memory_order_relaxed);
      while (loudest[c] > seen &&
             !peak.compare_exchange_weak(seen, loudest[c], std::memory_order_relaxed)) {
      }
      if (loudest[c] >= 1.0f && !clipped_[first + c].load(std::memory_order_relaxed))
        clipped_[first + c].store(true, std::memory_order_relaxed);
    }
    first += stride;
  }
  return sound;
}

LevelMeter::Reading LevelMeter::take(std::uint32_t channel) noexcept {
  if (channel >= kMaxChannels) return {};
  return {peaks_[channel].exchange(0.0f, std::memory_order_relaxed),
          clipped_[channel].load(std::memory_order_relaxed)};
}

std::string statusLine(const StatusView& view, std::size_t columns, bool colour) {
  const std::size_t room = columns > 1 ? columns - 1 : 0;
  std::vector<Segment> line;
  for (int barWidth : {20, 10, 0}) {
    if (barWidth == 20 && view.channels.size() > 2) continue;
    line = layout(view, barWidth);
    if (width(line) <= room) break;
  }
  std::string text;
  std::size_t used = 0;
  const char* current = nullptr;  // the colour in effect
  for (const Segment& segment : line) {
    if (used >= room) break;
    const char* wanted = colour ? segment.colour : nullptr;
    if (wanted != current) text += wanted != nullptr ? wanted : kReset;
    current = wanted;
    const std::string part = segment.text.substr(0, room - used);
    used += part.size();
    text += part;
  }
  if (current != nullptr) text += kReset;
  return text;
}

void waitShowingStatus(double durationSeconds, const std::atomic<bool>& stop, LevelMeter& meter,
                       std::uint32_t channels, const std::function<std::int64_t()>& fileBytes,
                       const std::function<void(double)>& afterSlice) {
  Platform& p = platform();
  std::optional<StatusDrawing> status;
  if (stderrIsCapableTerminal()) status.emplace(meter, channels, fileBytes, durationSeconds);
  const double slice = status ? kRedrawSeconds : kQuietSliceSeconds;
  if (status) status->draw();
  while (!stop.load()) {
    p.sleepForTimeInterval(slice, stop);
    afterSlice(slice);
    if (stop.load()) return;  // no draw just before the erase
    if (status) status->draw();
  }
}

}  // namespace pt
