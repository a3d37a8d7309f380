#include "audio/pulse/pulse_device.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

namespace pt::pulse {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kCycleSeconds = 0.010;
// Far above what a desktop plays; a stream costs the audio it holds, its ring being only the cap.
constexpr std::size_t kMaxStreams = 256;
// What a stream may hold before it drops audio (counted as lost): far above a desktop's stalls.
// The server keeps a stream's backlog while this process cannot read it (stopped, swapped out) and
// hands it over in one burst when it runs again; a sink rendering ahead hands over up to 2 s at
// once. All of it is kept and plays out late, never trimmed. Memory follows what a stream holds.
constexpr double kRingSeconds = 30;
// How long a mix waits for a stream that is late: longer than a loaded machine delays one.
constexpr Clock::duration kMaxWait = 500ms;
// Unless nothing at all arrives meanwhile: the streams fell silent (paused, corked), or the server
// stopped. The server answers a request only after what it sent before, so an answer means that
// nothing more is coming; a server that leaves it unanswered this long has stopped working, and
// the device ends as when it is lost.
constexpr Clock::duration kUnanswered = 2s;
// Longer than any wait the queue asks for: a queue that slept longer was stopped or starved with
// the whole process, the server's thread too, so a stall counts only from its waking.
constexpr Clock::duration kOverslept = 1s;
// Once a recording runs, the server sends each stream's audio in fragments of 100 ms and the
// queue wakes once per batch to hand over what arrived meanwhile: a few wake-ups a second, however
// many streams play. Until then (the streams' first audio in the file, at most kEager) fragments
// are one cycle and the queue wakes on each delivery, so the first sound reaches the file at once;
// stopping, it wakes on each delivery too.
// Cycle-sized fragments throughout would also keep a PipeWire graph running that fast for all.
constexpr Clock::duration kBatch = 100ms;
constexpr Clock::duration kEager = 300ms;
constexpr std::uint32_t kBatchCycles = 10;
constexpr double kSteadyFragmentSeconds = 0.100;
// A backlog (this process was stopped or starved) goes to the block at most ten times as fast as
// real time: the recorder writes what the block hands it on a thread of its own, from a ring of
// about 2 s, which a backlog of seconds handed over at once would overrun.
constexpr std::uint64_t kBacklogCycles = 50;
constexpr Clock::duration kBacklogPause = 50ms;

}  // namespace

void notifyLost(const PlatformListener& listener) {
  listener.queue->post([block = listener.block] {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyDeviceIsAlive,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    block(1, &address);
  });
}

Device::Device(AudioObjectID id, Tap tap, PulseConnection& connection)
    : id(id),
      tap(std::move(tap)),
      cycleFrames_(std::max<std::uint32_t>(1, std::uint32_t(this->tap.rate * kCycleSeconds + 0.5))),
      batchFrames_(cycleFrames_ * kBatchCycles),
      steadyFragmentFrames_(
          std::max(cycleFrames_, std::uint32_t(this->tap.rate * kSteadyFragmentSeconds + 0.5))),
      mixer_(kChannels, kMaxStreams, std::size_t(this->tap.rate * kRingSeconds)),
      buffer_(std::size_t(batchFrames_) * kChannels),
      connection_(connection) {}

bool Device::follows(std::int32_t pid) const {
  const bool listed = std::find(tap.pids.begin(), tap.pids.end(), pid) != tap.pids.end();
  return tap.global ? !listed : (pid > 0 && listed);
}

void Device::lose() {
  if (!alive_.exchange(false)) return;
  for (auto& listener : listeners_) notifyLost(*listener);
}

AudioDeviceIOProcID Device::registerIO(std::shared_ptr<PulseQueue> queue,
                                       AudioDeviceIOBlock block) {
  if (registration_) return nullptr;
  registration_.reset(new IORegistration{std::move(queue), std::move(block)});
  return ioProcID();
}

void Device::unregisterIO() noexcept {
  stopCycling();
  registration_.reset();
}

AudioObjectPropertyListenerID Device::addListener(std::shared_ptr<PulseQueue> queue,
                                                  AudioObjectPropertyListenerBlock block) {
  listeners_.push_back(
      std::make_unique<PlatformListener>(PlatformListener{std::move(queue), std::move(block)}));
  if (!alive_.load()) notifyLost(*listeners_.back());
  return listeners_.back().get();
}

bool Device::removeListener(AudioObjectPropertyListenerID listener) {
  auto it = std::find_if(listeners_.begin(), listeners_.end(),
                         [&](const auto& entry) { return entry.get() == listener; });
  if (it == listeners_.end()) return false;
  listeners_.erase(it);
  return true;
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
  if (slot < 0) {
    if (!std::exchange(limitReported_, true))
      std::fprintf(stderr, "同时录制的音频流已达上限 %zu 个，其余音频流未录入文件\n", kMaxStreams);
    if (refused_.insert(sinkInput).second) mixer_.setRefusedStreams(refused_.size());
    return;
  }
  if (refused_.erase(sinkInput)) mixer_.setRefusedStreams(refused_.size());
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
  watch->steady = steady_.load(std::memory_order_relaxed);
  const pa_buffer_attr attributes = bufferAttributes(watch->steady);
  // No device name: the server records from the monitor of the sink the stream plays on.
  if (pa_stream_connect_record(stream, nullptr, &attributes,
                               pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) <
      0) {
    release(*watch);
    return;
  }
  monitors_.push_back(std::move(watch));
}

void Device::forget(std::uint32_t sinkInput) {
  if (refused_.erase(sinkInput)) mixer_.setRefusedStreams(refused_.size());
}

pa_buffer_attr Device::bufferAttributes(bool steady) const {
  const std::uint32_t frames = steady ? steadyFragmentFrames_ : cycleFrames_;
  pa_buffer_attr attributes;
  attributes.maxlength = std::uint32_t(-1);
  attributes.tlength = std::uint32_t(-1);
  attributes.prebuf = std::uint32_t(-1);
  attributes.minreq = std::uint32_t(-1);
  attributes.fragsize = std::uint32_t(frames * kChannels * sizeof(float));
  return attributes;
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
  Device& device = *watch->device;
  device.lastDelivery_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  if (!watch->steady && device.steady_.load(std::memory_order_relaxed)) {
    watch->steady = true;
    const pa_buffer_attr attributes = device.bufferAttributes(true);
    if (pa_operation* op = pa_stream_set_buffer_attr(stream, &attributes, nullptr, nullptr))
      pa_operation_unref(op);
  }
  // Every change of wantWake_ is a read-modify-write, so the two sides are ordered through it:
  // either this sees the queue's wish, or the queue's exchange sees these frames. (No fence:
  // ThreadSanitizer does not model fences.)
  if (device.wantWake_.exchange(false, std::memory_order_acq_rel)) device.wake();
}

// Server thread, or the main thread.
void Device::wake() {
  {
    std::lock_guard lock(wakeMutex_);
    woken_ = true;
  }
  wakeUp_.notify_one();
}

// Server thread.
void Device::onStreamState(pa_stream* stream, void* data) {
  auto* watch = static_cast<Monitor*>(data);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && !watch->ended) {
    watch->ended = true;  // the stream it watched is gone; the slot plays out and frees
    watch->device->mixer_.closeStream(watch->slot);
    watch->device->wake();
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
  // The clock starts now, not when the queue gets to it, so the file holds the whole duration.
  startAt_ = Clock::now();
  auto done = std::make_shared<std::promise<void>>();
  cycling_ = done->get_future();
  registration_->queue->post([this, done] {
    runCycles();
    done->set_value();
  });
}

void Device::stopCycling() noexcept {
  if (!cycling_.valid()) return;
  stopAt_ = Clock::now();
  stopRequested_.store(true, std::memory_order_release);
  wake();
  cycling_.wait();
  cycling_ = {};
}

// The recorder's queue.
void Device::runCycles() {
  IORegistration& io = *registration_;
  AudioBufferList input{1, {{kChannels, 0, buffer_.data()}}};
  AudioBufferList output{0, {{0, 0, nullptr}}};
  AudioTimeStamp now{}, inputTime{}, outputTime{};
  const double rate = tap.rate;
  const Clock::time_point start = startAt_;
  const auto cyclesBy = [&](Clock::time_point t) {
    return std::uint64_t(std::chrono::duration<double>(t - start).count() * rate / cycleFrames_);
  };
  const auto timeOf = [&](std::uint64_t cycles) {
    return start + std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double>(double(cycles) * cycleFrames_ / rate));
  };
  std::uint64_t delivered = 0;  // cycles
  std::uint64_t pacedFrom = 0;  // delivered when the queue last woke or paused
  // Since when a late stream keeps the due cycles waiting; max: none does.
  Clock::time_point stalledSince = Clock::time_point::max();
  Clock::time_point probedAt = Clock::time_point::max();  // max: the server was not asked
  bool heard = false;                                     // the streams' first audio is in the file
  Clock::time_point awake = start;
  for (;;) {
    const bool stopping = stopRequested_.load(std::memory_order_acquire);
    if (!alive_.load()) return;
    const Clock::time_point t = Clock::now();
    if (t - std::exchange(awake, t) > kOverslept)
      stalledSince = probedAt = Clock::time_point::max();
    const std::uint64_t due = cyclesBy(stopping ? stopAt_ : t);
    while (delivered < due) {
      const std::size_t wanted = std::min<std::uint64_t>(due - delivered, kBatchCycles);
      std::size_t cycles = mixer_.mixable(wanted * cycleFrames_) / cycleFrames_;
      if (cycles == 0) {
        stalledSince = std::min(stalledSince, t);
        const bool othersFlow =
            Clock::time_point(Clock::duration(lastDelivery_.load(std::memory_order_relaxed))) >
            stalledSince;
        bool waitedEnough = t - stalledSince >= kMaxWait;
        if (waitedEnough && !othersFlow && !stopping) {
          if (probedAt == Clock::time_point::max()) {
            probedAt = t;
            connection_.probe();
          }
          waitedEnough = connection_.answeredSince(probedAt);
          if (!waitedEnough && t - probedAt >= kUnanswered) {
            PulseConnection::Lock lock(connection_);
            lose();
            return;
          }
        }
        if (!waitedEnough) break;
        // The streams that keep the others waiting are no longer awaited.
        mixer_.stopAwaitingStreamsShortOf(cycleFrames_);
        cycles = std::max<std::size_t>(1, mixer_.mixable(wanted * cycleFrames_) / cycleFrames_);
      } else {
        heard = true;
      }
      stalledSince = probedAt = Clock::time_point::max();
      const std::uint32_t frames = std::uint32_t(cycles) * cycleFrames_;
      mixer_.mix(buffer_.data(), frames);
      input.mBuffers[0].mDataByteSize = frames * kChannels * sizeof(float);
      inputTime.mSampleTime = double(delivered * cycleFrames_);
      inputTime.mRateScalar = 1.0;
      now = inputTime;
      outputTime = inputTime;
      io.block(&now, &input, &inputTime, &output, &outputTime);
      delivered += cycles;
      if (delivered - pacedFrom >= kBacklogCycles && delivered < due) {
        std::this_thread::sleep_for(kBacklogPause);
        pacedFrom = delivered;
      }
    }
    pacedFrom = delivered;
    if (stopping && delivered >= due) return;

    // Starting or stopping, a late stream's data wakes the queue at once; otherwise it wakes
    // once per batch. Up to date, it sleeps until the next cycle is due.
    const bool eager = stopping || (!heard && t - start < kEager);
    if (!eager) steady_.store(true, std::memory_order_relaxed);
    const bool late = delivered < due;
    Clock::time_point until = late ? std::max(stalledSince + kMaxWait, t) : timeOf(delivered + 1);
    if (!eager) until = late ? std::min(until, t + kBatch) : until + kBatch;
    std::unique_lock lock(wakeMutex_);
    if (eager && late) {
      wantWake_.exchange(true, std::memory_order_acq_rel);
      if (mixer_.mixable(cycleFrames_) == cycleFrames_) woken_ = true;  // arrived meanwhile
    }
    wakeUp_.wait_until(lock, until, [&] { return woken_; });
    woken_ = false;
    wantWake_.exchange(false, std::memory_order_acq_rel);
  }
}

}  // namespace pt::pulse
