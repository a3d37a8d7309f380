#include "audio/pulse/pulse_device.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <utility>

namespace pt::pulse {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kCycleSeconds = 0.010;
constexpr std::size_t kFrameBytes = kChannels * sizeof(float);
// Far above what a desktop plays; a stream costs the audio it holds, its ring being only the cap.
constexpr std::size_t kMaxStreams = 256;
// What a stream may hold before it loses audio (silence in its place, counted): far above a
// desktop's stalls. The server keeps a stream's backlog while this process cannot read it
// (stopped, swapped out) and hands it over in one burst when it runs again; a sink rendering
// ahead hands over up to 2 s at once. All of it is kept and plays out late, never trimmed.
constexpr double kRingSeconds = 30;
// How long a mix waits for a stream that is late while others deliver: longer than a loaded
// machine delays one. It then plays without it (the stream paused, or its player starves).
constexpr Clock::duration kMaxWait = 500ms;
// When nothing at all arrives that long, the device asks the server a small question. The server
// answers in order, after what it sent before; one that was stopped answers first once it runs
// again and then renders the time it missed, so the streams are given kGrace more before they
// count as fallen silent. A server that leaves the question unanswered kUnanswered (the bound of
// connecting) has stopped working, and the device ends as when it is lost.
constexpr Clock::duration kQuiet = 500ms;
constexpr Clock::duration kGrace = 1s;
constexpr Clock::duration kUnanswered = 10s;
// Longer than any wait the queue asks for: a queue that slept longer was stopped or starved with
// the whole process, the server's thread too, so a stall counts only from its waking.
constexpr Clock::duration kOverslept = 1s;
// A stream whose deliveries paused this long may have lost audio at the server meanwhile; its
// timing information is asked for after each delivery for kRecovery after.
constexpr Clock::duration kPause = 500ms;
constexpr Clock::duration kRecovery = 2s;
// Below this, a difference between the time that passed and the audio a full server queue kept is
// the measurement's own (a fragment, the transport).
constexpr double kLeastLoss = 0.1;
// Once a recording runs, the server sends each stream's audio in fragments of 100 ms and the
// queue wakes once per batch to hand over what arrived meanwhile: a few wake-ups a second, however
// many streams play. Until then (the streams' first audio in the file, at most kEager) fragments
// are one cycle and the queue wakes on each delivery, so the first sound reaches the file at once;
// stopping, it wakes on each delivery too.
// Cycle-sized fragments throughout would also keep a PipeWire graph running that fast for all.
constexpr Clock::duration kBatch = 100ms;
constexpr Clock::duration kEager = 300ms;
// The same holds over the recording's last 0.3 s, once the recorder has said where it ends: the
// duration's last frame then reaches the block within a cycle of the server sending it, not up to
// a fragment and a batch later.
constexpr double kEndingSeconds = 0.3;
constexpr std::uint32_t kBatchCycles = 10;
constexpr double kSteadyFragmentSeconds = 0.100;
// A backlog (this process was stopped or starved) goes to the block at most ten times as fast as
// real time: the recorder writes what the block hands it on a thread of its own, from a ring of
// about 2 s, which a backlog of seconds handed over at once would overrun.
constexpr std::uint64_t kBacklogCycles = 50;
constexpr Clock::duration kBacklogPause = 50ms;
// Between the start and the end, the server's thread hands each delivery to the block itself, at
// most this much of it; more (a backlog) goes to the queue, which paces it. The queue then wakes
// only to watch for stalls, which count from when the fragment after the last one handed was due.
constexpr std::uint32_t kServerHandBatches = 2;
// A call that took this long waited for the writer: the server's thread leaves the block to the
// queue from then on, so that a hanging disk never holds up the connection.
constexpr Clock::duration kSlowHand = 100ms;

// The mixer's channels: the taps' stereo, or the input's own when it alone clocks the device.
std::uint32_t mixedChannels(const std::vector<Tap>& taps, const std::optional<Input>& input) {
  if (taps.empty() && !input) throw std::invalid_argument("Device: nothing to record");
  return taps.empty() ? input->channels.channels : kChannels;
}

}  // namespace

void notifyLost(const PlatformListener& listener) {
  listener.queue->post([block = listener.block] {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyDeviceIsAlive,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    block(1, &address);
  });
}

Device::Device(AudioObjectID id, std::vector<Tap> taps, std::optional<Input> input,
               std::uint32_t rate, PulseConnection& connection)
    : id(id),
      taps(std::move(taps)),
      input(std::move(input)),
      rate_(rate),
      channels_(mixedChannels(this->taps, this->input)),
      cycleFrames_(std::max<std::uint32_t>(1, std::uint32_t(rate * kCycleSeconds + 0.5))),
      batchFrames_(cycleFrames_ * kBatchCycles),
      steadyFragmentFrames_(
          std::max(cycleFrames_, std::uint32_t(rate * kSteadyFragmentSeconds + 0.5))),
      mixer_(channels_, kMaxStreams, std::size_t(rate * kRingSeconds),
             std::max<std::size_t>(1, this->taps.size())),
      follower_(this->input && !this->taps.empty()
                    ? std::make_unique<InputFollower>(this->input->channels.channels, rate)
                    : nullptr),
      buffer_(std::size_t(batchFrames_) * (channels_ * std::max<std::size_t>(1, this->taps.size()) +
                                           (follower_ ? follower_->channels() : 0))),
      connection_(connection) {}

bool Device::follows(const Tap& tap, std::int32_t pid) {
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

void Device::monitor(pa_context* context, std::uint32_t sinkInput, std::int32_t pid) {
  for (std::size_t tap = 0; tap < taps.size(); ++tap)
    if (follows(taps[tap], pid)) monitor(context, sinkInput, tap);
}

void Device::monitor(pa_context* context, std::uint32_t sinkInput, std::size_t tap) {
  for (auto it = monitors_.begin(); it != monitors_.end();) {
    if ((*it)->sinkInput == sinkInput && (*it)->tap == tap && !(*it)->ended)
      return;  // already monitored
    if ((*it)->ended) {
      release(**it);
      it = monitors_.erase(it);
    } else {
      ++it;
    }
  }
  const int slot = mixer_.openStream(tap);
  if (slot < 0) {
    if (!std::exchange(limitReported_, true))
      std::fprintf(stderr, "同时录制的音频流已达上限 %zu 个，其余音频流未录入文件\n", kMaxStreams);
    if (refused_.insert(sinkInput).second) mixer_.setRefusedStreams(refused_.size());
    return;
  }
  if (refused_.erase(sinkInput)) mixer_.setRefusedStreams(refused_.size());
  const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, rate(), std::uint8_t(channels_)};
  pa_stream* stream = pa_stream_new(context, "process-tap monitor", &format, nullptr);
  if (!stream) {
    mixer_.closeStream(slot);
    return;
  }
  auto watch = std::make_unique<Monitor>();
  watch->device = this;
  watch->stream = stream;
  watch->sinkInput = sinkInput;
  watch->slot = slot;
  watch->tap = tap;
  watch->frameBytes = kFrameBytes;
  pa_stream_set_monitor_stream(stream, sinkInput);
  pa_stream_set_read_callback(stream, &Device::onReadable, watch.get());
  pa_stream_set_state_callback(stream, &Device::onStreamState, watch.get());
  watch->steady = wantsSteady();
  const pa_buffer_attr attributes = bufferAttributes(watch->steady, watch->frameBytes);
  // No device name: the server records from the monitor of the sink the stream plays on.
  if (pa_stream_connect_record(stream, nullptr, &attributes,
                               pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) <
      0) {
    release(*watch);
    return;
  }
  monitors_.push_back(std::move(watch));
}

bool Device::record(pa_context* context) {
  if (!input) return true;
  const int slot = follower_ ? -1 : mixer_.openStream(0);
  // At the device's rate: the server converts a source at another rate, on the source's clock.
  const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, rate(), input->channels.channels};
  pa_stream* stream = pa_stream_new(context, "process-tap input", &format, &input->channels);
  if (!stream) {
    mixer_.closeStream(slot);
    return false;
  }
  auto watch = std::make_unique<Monitor>();
  watch->device = this;
  watch->stream = stream;
  watch->slot = slot;
  watch->frameBytes = input->channels.channels * sizeof(float);
  watch->follower = follower_.get();
  pa_stream_set_read_callback(stream, &Device::onReadable, watch.get());
  pa_stream_set_state_callback(stream, &Device::onStreamState, watch.get());
  const pa_buffer_attr attributes = bufferAttributes(false, watch->frameBytes);
  if (pa_stream_connect_record(stream, input->source.c_str(), &attributes,
                               pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) <
      0) {
    release(*watch);
    return false;
  }
  monitors_.push_back(std::move(watch));
  return true;
}

void Device::forget(std::uint32_t sinkInput) {
  if (refused_.erase(sinkInput)) mixer_.setRefusedStreams(refused_.size());
}

pa_buffer_attr Device::bufferAttributes(bool steady, std::size_t frameBytes) const {
  const std::uint32_t frames = steady ? steadyFragmentFrames_ : cycleFrames_;
  pa_buffer_attr attributes;
  attributes.maxlength = std::uint32_t(-1);
  attributes.tlength = std::uint32_t(-1);
  attributes.prebuf = std::uint32_t(-1);
  attributes.minreq = std::uint32_t(-1);
  attributes.fragsize = std::uint32_t(frames * frameBytes);
  return attributes;
}

void Device::releaseMonitors() noexcept {
  for (auto& monitor : monitors_) release(*monitor);
}

// Server thread.
void Device::onReadable(pa_stream* stream, std::size_t, void* data) {
  auto* watch = static_cast<Monitor*>(data);
  Device& device = *watch->device;
  if (watch->follower) {
    // On a clock of its own, it neither clocks the device nor wakes it: the taps do.
    const void* samples = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &samples, &bytes) == 0 &&
           bytes > 0) {
      watch->follower->deliver(static_cast<const float*>(samples), bytes / watch->frameBytes);
      pa_stream_drop(stream);
    }
    if (const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream))
      watch->follower->setFragment(granted->fragsize / watch->frameBytes);
    device.followSteady(*watch);
    return;
  }
  const Clock::time_point now = Clock::now();
  if (watch->lastRead != Clock::time_point{} && now - watch->lastRead > kPause)
    watch->recovery = Monitor::Recovery{now, watch->lastReadWall, watch->consumed};
  const void* samples = nullptr;
  std::size_t bytes = 0;
  while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &samples, &bytes) == 0 &&
         bytes > 0) {
    const std::size_t frames = bytes / watch->frameBytes;
    if (samples) {
      device.mixer_.push(watch->slot, static_cast<const float*>(samples), frames);
    } else {  // a hole the server left: silence in its place
      device.mixer_.skip(watch->slot, device.mixer_.pushed(watch->slot), frames, false);
      watch->holes += frames;
    }
    watch->consumed += frames;
    pa_stream_drop(stream);
  }
  watch->lastRead = now;
  pa_gettimeofday(&watch->lastReadWall);
  // The server tells what it dropped in its answers after the pause: ask after each delivery
  // for a while (PipeWire moves its read index past the audio only once it sends again).
  if (watch->recovery) {
    if (now - watch->recovery->resumedAt > kRecovery)
      watch->recovery.reset();
    else
      device.askTiming(*watch);
  }
  device.lastDelivery_.store(now.time_since_epoch().count(), std::memory_order_relaxed);
  device.handArrived(now);
  device.followSteady(*watch);
  // Every change of wantWake_ is a read-modify-write, so the two sides are ordered through it:
  // either this sees the queue's wish, or the queue's exchange sees these frames. (No fence:
  // ThreadSanitizer does not model fences.)
  if (device.wantWake_.exchange(false, std::memory_order_acq_rel)) device.wake();
}

// Server thread: larger fragments once the recording runs, cycle-sized again near its end.
void Device::followSteady(Monitor& watch) {
  const bool steady = wantsSteady();
  if (watch.steady == steady) return;
  watch.steady = steady;
  const pa_buffer_attr attributes = bufferAttributes(steady, watch.frameBytes);
  if (pa_operation* op = pa_stream_set_buffer_attr(watch.stream, &attributes, nullptr, nullptr))
    pa_operation_unref(op);
}

// Server thread.
void Device::askTiming(Monitor& watch) {
  if (watch.timing) return;  // one question at a time
  watch.timing = pa_stream_update_timing_info(watch.stream, &Device::onTiming, &watch);
}

// Server thread.
void Device::onTiming(pa_stream*, int success, void* data) {
  auto* watch = static_cast<Monitor*>(data);
  if (watch->timing) pa_operation_unref(std::exchange(watch->timing, nullptr));
  if (success) watch->device->measureLoss(*watch);
}

// Server thread. Two servers, two ways of losing what a stream could not take while this process
// did not read: PipeWire moves its read index past it (the answer's read index runs ahead of the
// frames received); PulseAudio's full queue refuses it and moves no index, so the time that passed
// against the frames the server queued meanwhile tells, once the queue was seen full. Either way
// the loss is silence where the audio would have been.
void Device::measureLoss(Monitor& watch) {
  const pa_timing_info* info = pa_stream_get_timing_info(watch.stream);
  if (!info || info->read_index_corrupt || info->write_index_corrupt) return;
  const auto framesOf = [&](std::int64_t bytes) {
    return std::uint64_t(std::max<std::int64_t>(0, bytes) / std::int64_t(watch.frameBytes));
  };
  // A place among the stream's frames, as a count of the frames pushed to its slot.
  const auto pushedBefore = [&](std::uint64_t frame) {
    return std::size_t(frame > watch.holes ? frame - watch.holes : 0);
  };
  const std::uint64_t sent = framesOf(info->read_index);
  if (sent > watch.consumed + watch.skipped) {
    const std::uint64_t skip = sent - watch.consumed - watch.skipped;
    watch.skipped += skip;
    mixer_.skip(watch.slot, pushedBefore(watch.lastUnskipped), skip, true);
  } else {
    watch.lastUnskipped = watch.consumed + pa_stream_readable_size(watch.stream) / watch.frameBytes;
  }
  if (!watch.recovery || std::exchange(watch.recovery->measured, true)) return;
  const Monitor::Recovery& pause = *watch.recovery;
  const pa_buffer_attr* attributes = pa_stream_get_buffer_attr(watch.stream);
  const std::uint64_t queued =
      framesOf(info->write_index) - std::min(framesOf(info->write_index), pause.consumedAtPause);
  const double seconds =
      double(pa_timeval_diff(&info->timestamp, &pause.pausedAt)) / PA_USEC_PER_SEC -
      double(info->source_usec) / PA_USEC_PER_SEC;
  const auto rendered = std::uint64_t(std::max(0.0, seconds * rate()));
  if (attributes && queued >= attributes->maxlength / watch.frameBytes &&
      rendered > queued + std::uint64_t(kLeastLoss * rate()))
    mixer_.skip(watch.slot, pushedBefore(framesOf(info->write_index)), rendered - queued, true);
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
  if (state == PA_STREAM_READY) {
    // Its delivery counts from here: a process stopped before the first audio arrived may have
    // lost some at the server too.
    watch->lastRead = Clock::now();
    pa_gettimeofday(&watch->lastReadWall);
  }
  if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && !watch->ended) {
    watch->ended = true;  // the stream it watched is gone; the slot plays out and frees
    watch->device->mixer_.closeStream(watch->slot);
    // The input device went (unplugged, its module unloaded): so did what the device records.
    if (watch->sinkInput == PA_INVALID_INDEX) watch->device->lose();
    watch->device->wake();
  }
}

void Device::release(Monitor& watch) noexcept {
  if (watch.timing) {
    pa_operation_cancel(watch.timing);
    pa_operation_unref(std::exchange(watch.timing, nullptr));
  }
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
  stopRequested_.store(true, std::memory_order_release);
  wake();
  cycling_.wait();
  cycling_ = {};
}

// The recorder's queue. The time line advances by the frames the awaited streams deliver, gaps
// included; with none awaited, by the time that passes, as silence.
void Device::runCycles() {
  std::unique_lock hold(handMutex_);
  {
    // One interleaved buffer per tap, each a batch long, described once; the input's first.
    Handing& h = handing_;
    const auto buffers = std::uint32_t(taps.size() + (input ? 1 : 0));
    h.list.assign(audioBufferListSize(buffers), std::byte{});
    AudioBufferList& inputs = *reinterpret_cast<AudioBufferList*>(h.list.data());
    inputs.mNumberBuffers = buffers;
    float* next = buffer_.data();
    const auto describe = [&](std::uint32_t k, std::uint32_t channels) {
      inputs.mBuffers[k] = {channels, 0, next};
      next += std::size_t(batchFrames_) * channels;
      return static_cast<float*>(inputs.mBuffers[k].mData);
    };
    h.followed = follower_ ? describe(0, follower_->channels()) : nullptr;
    h.outs.clear();
    for (std::uint32_t k = follower_ ? 1 : 0; k < buffers; ++k)
      h.outs.push_back(describe(k, channels_));
    h.inputTime.mFlags = kAudioTimeStampSampleTimeValid;
    h.inputTime.mRateScalar = 1.0;
    h.position = 0;
  }
  const double rate = this->rate();
  const Clock::time_point start = startAt_;
  constexpr Clock::time_point never = Clock::time_point::max();
  const bool inputClocks = taps.empty();
  const std::uint64_t& position = handing_.position;  // the time line
  std::uint64_t pacedFrom = 0;                        // position when the queue last woke or paused
  const auto hand = [&](std::uint32_t frames) {
    this->hand(frames);
    if (position - pacedFrom >= kBacklogCycles * cycleFrames_) {
      std::this_thread::sleep_for(kBacklogPause);
      pacedFrom = position;
    }
  };
  // Since when the awaited streams keep the mix waiting; when the server was asked, and when
  // its answer was seen.
  Clock::time_point stalledSince = never, probedAt = never, answeredAt = never;
  // With no stream awaited: since when silence follows the time, and from which position.
  Clock::time_point idleFrom = never;
  std::uint64_t idleBase = 0;
  bool heard = false;  // the streams' first audio is in the file
  Clock::time_point awake = start, serverHandedSeen(Clock::duration(
                                       serverHandedAt_.load(std::memory_order_relaxed)));
  for (;;) {
    serverHands_.store(false, std::memory_order_relaxed);  // hold is held: it hands no more
    const bool stopping = stopRequested_.load(std::memory_order_acquire);
    if (!alive_.load()) return;
    const Clock::time_point t = Clock::now();
    const bool ending = endNears();
    if (ending) ending_.store(true, std::memory_order_relaxed);
    // Starting, ending or stopping, a stream's data wakes the queue at once; otherwise it wakes
    // once per batch, or when a wait it counts ends.
    const bool eager = stopping || ending || (!heard && t - start < kEager);
    if (t - std::exchange(awake, t) > kOverslept) stalledSince = probedAt = answeredAt = never;
    // A mix the server's thread handed meanwhile ran short at the earliest when the fragment
    // after it was due.
    const Clock::time_point serverHanded(
        Clock::duration(serverHandedAt_.load(std::memory_order_relaxed)));
    Clock::time_point shortSince = t;
    if (serverHanded > std::exchange(serverHandedSeen, serverHanded)) {
      stalledSince = probedAt = answeredAt = never;
      shortSince = std::min(t, serverHanded + kBatch);
    }
    const auto delivered = [&](Clock::time_point since) {
      return Clock::time_point(Clock::duration(lastDelivery_.load(std::memory_order_relaxed))) >
             since;
    };
    const auto ask = [&] {
      if (probedAt == never) {
        probedAt = t;
        connection_.probe();
      }
      return connection_.answeredSince(probedAt);
    };
    // When to look again without news; while the server's thread hands, only stalls need it.
    const bool serverMayHand = !eager && serverMayHand_.load();
    Clock::time_point until = t + (serverMayHand ? kQuiet : kBatch);
    if (mixer_.awaitsAny()) {
      idleFrom = never;
      const std::size_t frames = mixer_.mixable(batchFrames_) / cycleFrames_ * cycleFrames_;
      if (frames > 0) {
        heard = true;
        stalledSince = probedAt = answeredAt = never;
        hand(std::uint32_t(frames));
        continue;
      }
      if (stopping) return;
      stalledSince = std::min(stalledSince, shortSince);
      if (inputClocks) {
        // Its audio is all there is: it is waited for, and never replaced by the time passing,
        // while the server answers (a source of fixed latency delivers seconds at a time).
        if (t - stalledSince < kQuiet) {
          until = std::min(until, stalledSince + kQuiet);
        } else if (ask()) {
          stalledSince = t;
          probedAt = never;
        } else if (t - probedAt >= kUnanswered) {
          PulseConnection::Lock lock(connection_);
          lose();
          return;
        }
      } else if (delivered(stalledSince)) {
        // Others deliver: the streams that keep them waiting paused, or starve.
        if (t - stalledSince >= kMaxWait) {
          mixer_.stopAwaitingStreamsShortOf(cycleFrames_);
          stalledSince = probedAt = answeredAt = never;
          continue;
        }
        until = std::min(until, stalledSince + kMaxWait);
      } else if (t - stalledSince >= kQuiet) {
        if (ask()) {
          answeredAt = std::min(answeredAt, t);
          if (t - answeredAt >= kGrace) {
            // Nothing is coming: the streams fell silent since the mix ran short.
            mixer_.stopAwaitingStreamsShortOf(cycleFrames_);
            idleFrom = stalledSince;
            idleBase = position;
            stalledSince = probedAt = answeredAt = never;
            continue;
          }
          until = std::min(until, answeredAt + kGrace);
        } else if (t - probedAt >= kUnanswered) {
          PulseConnection::Lock lock(connection_);
          lose();
          return;
        }
      } else {
        until = std::min(until, stalledSince + kQuiet);
      }
    } else {
      if (idleFrom == never) {
        idleFrom = t;
        idleBase = position;
      }
      const auto passed = std::uint64_t(std::chrono::duration<double>(t - idleFrom).count() * rate);
      const std::uint64_t due =
          (idleBase + passed - std::min(idleBase + passed, position)) / cycleFrames_ * cycleFrames_;
      if (due > 0) {
        // Streams that hold a whole mix again join it.
        hand(std::uint32_t(std::min<std::uint64_t>(due, batchFrames_)));
        continue;
      }
      if (stopping) return;
      // The server is asked now and then whether it still answers.
      if (probedAt == never || connection_.answeredSince(probedAt)) {
        if (probedAt == never || t - probedAt >= kQuiet) {
          probedAt = t;
          connection_.probe();
        }
      } else if (t - probedAt >= kUnanswered) {
        PulseConnection::Lock lock(connection_);
        lose();
        return;
      }
      until = std::max(
          t, idleFrom + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            double(position - idleBase + cycleFrames_) / rate)));
      if (!eager) until += kBatch;
    }

    if (!eager) steady_.store(true, std::memory_order_relaxed);
    std::unique_lock lock(wakeMutex_);
    if (eager) {
      wantWake_.exchange(true, std::memory_order_acq_rel);
      if (mixer_.mixable(cycleFrames_) == cycleFrames_ && mixer_.awaitsAny())
        woken_ = true;  // arrived meanwhile
    }
    serverHands_.store(serverMayHand && mixer_.awaitsAny(), std::memory_order_relaxed);
    hold.unlock();
    wakeUp_.wait_until(lock, until, [&] { return woken_; });
    woken_ = false;
    wantWake_.exchange(false, std::memory_order_acq_rel);
    lock.unlock();
    hold.lock();
    pacedFrom = position;
  }
}

// Under handMutex_: the time line has reached the recording's last kEndingSeconds.
bool Device::endNears() const noexcept {
  return handing_.position + std::uint64_t(kEndingSeconds * rate()) >=
         endFrame_.load(std::memory_order_relaxed);
}

// Under handMutex_: the next `frames` of the mix to the block.
void Device::hand(std::uint32_t frames) {
  Handing& h = handing_;
  auto& inputs = *reinterpret_cast<AudioBufferList*>(h.list.data());
  mixer_.mix(h.outs.data(), frames);
  if (follower_) follower_->take(h.followed, frames);
  for (std::uint32_t k = 0; k < inputs.mNumberBuffers; ++k)
    inputs.mBuffers[k].mDataByteSize =
        frames * inputs.mBuffers[k].mNumberChannels * std::uint32_t(sizeof(float));
  h.inputTime.mSampleTime = double(h.position);
  h.now = h.outputTime = h.inputTime;
  registration_->block(&h.now, &inputs, &h.inputTime, &h.output, &h.outputTime);
  h.position += frames;
}

// Server thread, after a delivery.
void Device::handArrived(Clock::time_point now) {
  if (!serverHands_.load(std::memory_order_relaxed)) return;
  std::unique_lock hold(handMutex_, std::try_to_lock);  // else the queue is at work
  if (!hold || !serverHands_.load(std::memory_order_relaxed)) return;
  for (std::uint32_t i = 0; i < kServerHandBatches; ++i) {
    const std::size_t frames = mixer_.mixable(batchFrames_) / cycleFrames_ * cycleFrames_;
    if (frames == 0) return;
    hand(std::uint32_t(frames));
    const Clock::time_point handed = Clock::now();
    serverHandedAt_.store(handed.time_since_epoch().count(), std::memory_order_relaxed);
    const bool slow = handed - now > kSlowHand;
    if (slow) serverMayHand_.store(false);
    if (slow || endNears()) break;  // the queue takes over
    now = handed;
  }
  serverHands_.store(false, std::memory_order_relaxed);
  wake();
}

}  // namespace pt::pulse
