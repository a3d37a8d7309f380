#include "audio/pulse/pulse_device.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace pt::pulse {
namespace {

constexpr double kCycleSeconds = 0.010;
constexpr std::size_t kMaxStreams = 8;
// A sink renders, and so monitors, as far ahead as its streams allow: a null or hardware sink
// whose players asked for no particular latency hands over up to 2 s at once, until it notices
// the monitors' 10 ms request at its next wake-up. Each stream's ring holds such a burst, so the
// file is late by it rather than missing it; a stream lagging further (a clock running fast)
// drops its oldest audio so that the lag stays bounded.
constexpr double kRingSeconds = 2.5;
constexpr double kMaxLagSeconds = 2.2;
constexpr std::size_t kPrimeCycles = 3;

}  // namespace

void notifyLost(const PlatformListener& listener) {
  listener.queue->post([block = listener.block] {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyDeviceIsAlive,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    block(1, &address);
  });
}

Device::Device(AudioObjectID id, Tap tap)
    : id(id),
      tap(std::move(tap)),
      cycleFrames_(std::max<std::uint32_t>(1, std::uint32_t(this->tap.rate * kCycleSeconds + 0.5))),
      mixer_(kChannels, kMaxStreams, std::size_t(this->tap.rate * kRingSeconds),
             cycleFrames_ * kPrimeCycles, std::size_t(this->tap.rate * kMaxLagSeconds)),
      cycle_(std::size_t(cycleFrames_) * kChannels) {}

bool Device::follows(std::int32_t pid) const {
  const bool listed = std::find(tap.pids.begin(), tap.pids.end(), pid) != tap.pids.end();
  return tap.global ? !listed : (pid > 0 && listed);
}

void Device::lose() {
  if (!alive.exchange(false)) return;
  for (auto& listener : listeners) notifyLost(*listener);
}

void Device::monitor(pa_context* context, std::uint32_t sinkInput) {
  for (auto it = monitors_.begin(); it != monitors_.end();) {
    if ((*it)->sinkInput == sinkInput && !(*it)->ended) return;  // already monitored
    if ((*it)->ended) {
      release(**it);
      it = monitors_.erase(it);
    } else {
      ++it;
    }
  }
  const int slot = mixer_.openStream();
  if (slot < 0) return;
  const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, tap.rate, std::uint8_t(kChannels)};
  pa_stream* stream = pa_stream_new(context, "process-tap monitor", &format, nullptr);
  if (!stream) {
    mixer_.closeStream(slot);
    return;
  }
  auto watch = std::make_unique<Monitor>(Monitor{this, stream, sinkInput, slot, false});
  pa_stream_set_monitor_stream(stream, sinkInput);
  pa_stream_set_read_callback(stream, &Device::onReadable, watch.get());
  pa_stream_set_state_callback(stream, &Device::onStreamState, watch.get());
  pa_buffer_attr attributes;
  attributes.maxlength = std::uint32_t(-1);
  attributes.tlength = std::uint32_t(-1);
  attributes.prebuf = std::uint32_t(-1);
  attributes.minreq = std::uint32_t(-1);
  attributes.fragsize = std::uint32_t(cycleFrames_ * kChannels * sizeof(float));
  // No device name: the server records from the monitor of the sink the stream plays on.
  if (pa_stream_connect_record(stream, nullptr, &attributes,
                               pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) <
      0) {
    release(*watch);
    return;
  }
  monitors_.push_back(std::move(watch));
}

void Device::releaseMonitors() noexcept {
  for (auto& monitor : monitors_) release(*monitor);
}

// Server thread.
void Device::onReadable(pa_stream* stream, std::size_t, void* data) {
  auto* watch = static_cast<Monitor*>(data);
  const void* samples = nullptr;
  std::size_t bytes = 0;
  while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &samples, &bytes) == 0 &&
         bytes > 0) {
    if (samples)  // null is a hole in the stream: nothing to hear
      watch->device->mixer_.push(watch->slot, static_cast<const float*>(samples),
                                 bytes / (kChannels * sizeof(float)));
    pa_stream_drop(stream);
  }
}

// Server thread.
void Device::onStreamState(pa_stream* stream, void* data) {
  auto* watch = static_cast<Monitor*>(data);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && !watch->ended) {
    watch->ended = true;  // the stream it watched is gone; the slot plays out and frees
    watch->device->mixer_.closeStream(watch->slot);
  }
}

void Device::release(Monitor& watch) noexcept {
  if (!watch.stream) return;
  pa_stream_set_read_callback(watch.stream, nullptr, nullptr);
  pa_stream_set_state_callback(watch.stream, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(watch.stream))) pa_stream_disconnect(watch.stream);
  pa_stream_unref(watch.stream);
  watch.stream = nullptr;
  if (!watch.ended) mixer_.closeStream(watch.slot);
  watch.ended = true;
}

void Device::startCycling() {
  if (cycling_.valid()) return;  // already running
  stopRequested_.store(false);
  auto done = std::make_shared<std::promise<void>>();
  cycling_ = done->get_future();
  registration->queue->post([this, done] {
    runCycles();
    done->set_value();
  });
}

void Device::stopCycling() noexcept {
  if (!cycling_.valid()) return;
  stopRequested_.store(true, std::memory_order_release);
  cycling_.wait();
  cycling_ = {};
}

// The recorder's queue.
void Device::runCycles() {
  using Clock = std::chrono::steady_clock;
  IORegistration& io = *registration;
  const double rate = tap.rate;
  AudioBufferList input{1,
                        {{kChannels, std::uint32_t(cycle_.size() * sizeof(float)), cycle_.data()}}};
  AudioBufferList output{0, {{0, 0, nullptr}}};
  AudioTimeStamp now{}, inputTime{}, outputTime{};
  const Clock::time_point start = Clock::now();
  for (std::uint64_t n = 1; !stopRequested_.load(std::memory_order_acquire) && alive.load(); ++n) {
    // Deadlines from the start, so cycles never drift from the clock.
    const Clock::time_point due =
        start + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(double(n * cycleFrames_) / rate));
    // One wake-up per cycle; a stop waits for at most the rest of one.
    std::this_thread::sleep_until(due);
    if (stopRequested_.load(std::memory_order_acquire)) return;
    mixer_.mix(cycle_.data(), cycleFrames_);
    inputTime.mSampleTime = double((n - 1) * cycleFrames_);
    inputTime.mRateScalar = 1.0;
    now = inputTime;
    outputTime = inputTime;
    io.block(&now, &input, &inputTime, &output, &outputTime);
  }
}

}  // namespace pt::pulse
