#include "audio/pulse/pulse_connection.h"

#include "audio/pulse/thread_signals.h"

namespace pt::pulse {
namespace {

constexpr pa_usec_t kConnectTimeoutUs = 10 * PA_USEC_PER_SEC;

}  // namespace

OSStatus PulseConnection::connect() {
  if (context_ && pa_context_get_state(context_) == PA_CONTEXT_READY) return noErr;
  if (context_) return kServerUnreachable;  // lost: a run does not reconnect
  loop_ = pa_threaded_mainloop_new();
  if (!loop_) return kServerUnreachable;
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "process-tap");
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "brindlex.process-tap");
  context_ =
      pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "process-tap", properties);
  pa_proplist_free(properties);
  if (!context_) return kServerUnreachable;
  pa_context_set_state_callback(context_, &PulseConnection::onContextState, this);
  pa_context_set_subscribe_callback(context_, &PulseConnection::onServerEvent, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
    return kServerUnreachable;
  timeval deadline;
  Lock lock(loop_);
  if (withStopSignalsBlocked([this] { return pa_threaded_mainloop_start(loop_); }) < 0)
    return kServerUnreachable;
  // A socket whose server never answers (a daemon that hangs, or never finished starting, as on
  // test machines) would hold the tool here forever: it gives up as if nothing listened. A local
  // server answers within milliseconds, and a loaded machine's within far less than this.
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  pa_time_event* timer = api->time_new(
      api, pa_timeval_add(pa_gettimeofday(&deadline), kConnectTimeoutUs),
      [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
        auto* self = static_cast<PulseConnection*>(data);
        self->connectTimedOut_ = true;
        self->signal();
      },
      this);
  pa_context_state_t state;
  while ((state = pa_context_get_state(context_)) != PA_CONTEXT_READY &&
         PA_CONTEXT_IS_GOOD(state) && !connectTimedOut_)
    pa_threaded_mainloop_wait(loop_);
  if (timer) api->time_free(timer);
  bool ready = state == PA_CONTEXT_READY;
  // Not awaited: the server answers in order, so every later answer comes after the
  // subscription took effect, and a refusal fails the operations that follow.
  if (ready) {
    pa_operation* op = pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SINK_INPUT,
                                            &PulseConnection::onSuccess, this);
    ready = op != nullptr;
    if (op) pa_operation_unref(op);
  }
  return ready ? noErr : kServerUnreachable;
}

void PulseConnection::disconnect() noexcept {
  if (loop_) pa_threaded_mainloop_stop(loop_);
  if (context_) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  if (loop_) pa_threaded_mainloop_free(loop_);
  loop_ = nullptr;
}

bool PulseConnection::wait(std::initializer_list<pa_operation*> ops) {
  bool done = true;
  for (pa_operation* op : ops) {
    if (!op) {
      done = false;
      continue;
    }
    pa_operation_set_state_callback(
        op, [](pa_operation*, void* self) { static_cast<PulseConnection*>(self)->signal(); }, this);
  }
  for (pa_operation* op : ops) {
    if (!op) continue;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop_);
    done = done && pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
  }
  return done && !failed_;
}

// Server thread.
void PulseConnection::onContextState(pa_context* context, void* data) {
  auto* self = static_cast<PulseConnection*>(data);
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
    self->failed_ = true;
    self->onLost_();
  }
  self->signal();
}

// Server thread.
void PulseConnection::onServerEvent(pa_context*, pa_subscription_event_type_t event,
                                    std::uint32_t index, void* data) {
  const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility != PA_SUBSCRIPTION_EVENT_SINK_INPUT) return;
  static_cast<PulseConnection*>(data)->onSinkInput_(index, type == PA_SUBSCRIPTION_EVENT_REMOVE);
}

// Server thread.
void PulseConnection::onSuccess(pa_context*, int success, void* self) {
  if (!success) static_cast<PulseConnection*>(self)->failed_ = true;
  static_cast<PulseConnection*>(self)->signal();
}

// Server thread: each record converted, then a signal at the end.
template <class Info, class T, T (*convert)(const Info&)>
void PulseConnection::collect(pa_context*, const Info* info, int eol, void* data) {
  auto* call = static_cast<ListCall<T>*>(data);
  if (eol == 0 && info) call->items->push_back(convert(*info));
  if (eol != 0) call->self->signal();
}

bool PulseConnection::listStreams(std::vector<Client>& clients, std::vector<Stream>& inputs,
                                  std::vector<Stream>* outputs) {
  ListCall<Client> clientCall{this, &clients};
  ListCall<Stream> inputCall{this, &inputs};
  ListCall<Stream> outputCall{this, outputs};
  // All asked at once: one round trip.
  pa_operation* clientsOp = pa_context_get_client_info_list(
      context_, &collect<pa_client_info, Client, clientOf>, &clientCall);
  pa_operation* inputsOp = pa_context_get_sink_input_info_list(
      context_, &collect<pa_sink_input_info, Stream, sinkInputOf>, &inputCall);
  if (!outputs) return wait({clientsOp, inputsOp});
  return wait(
      {clientsOp, inputsOp,
       pa_context_get_source_output_info_list(
           context_, &collect<pa_source_output_info, Stream, sourceOutputOf>, &outputCall)});
}

OSStatus PulseConnection::defaultSink(std::string& name, std::uint32_t& rate) {
  if (OSStatus status = connect(); status != noErr) return status;
  struct Call {
    PulseConnection* self;
    std::string name;
    std::uint32_t rate = 0;
  } call{this, {}, 0};
  Lock lock(loop_);
  // The server resolves its default itself: one round trip. With no sink it answers an error,
  // which ends the list without an entry.
  const bool ok = wait({pa_context_get_sink_info_by_name(
      context_, "@DEFAULT_SINK@",
      [](pa_context*, const pa_sink_info* info, int eol, void* data) {
        auto* call = static_cast<Call*>(data);
        if (eol == 0 && info) {
          call->name = info->name ? info->name : "";
          call->rate = info->sample_spec.rate;
        }
        if (eol != 0) call->self->signal();
      },
      &call)});
  if (!ok) return failure();
  if (call.name.empty() || call.rate == 0) return kNoDefaultSink;
  name = call.name;
  rate = call.rate;
  return noErr;
}

namespace {

Source sourceOf(const pa_source_info& info) {
  Source source;
  source.name = info.name ? info.name : "";
  source.description = info.description ? info.description : "";
  source.channels = info.channel_map;
  source.rate = info.sample_spec.rate;
  source.monitor = info.monitor_of_sink != PA_INVALID_INDEX;
  return source;
}

}  // namespace

OSStatus PulseConnection::listSources(std::vector<Source>& sources, std::string& defaultSource) {
  if (OSStatus status = connect(); status != noErr) return status;
  struct Call {
    PulseConnection* self;
    std::string name;
  } call{this, {}};
  ListCall<Source> sourceCall{this, &sources};
  Lock lock(loop_);
  const bool ok = wait({pa_context_get_server_info(
                            context_,
                            [](pa_context*, const pa_server_info* info, void* data) {
                              auto* call = static_cast<Call*>(data);
                              if (info && info->default_source_name)
                                call->name = info->default_source_name;
                              call->self->signal();
                            },
                            &call),
                        pa_context_get_source_info_list(
                            context_, &collect<pa_source_info, Source, sourceOf>, &sourceCall)});
  if (!ok) return failure();
  defaultSource = call.name;
  return noErr;
}

void PulseConnection::probe() {
  Lock lock(loop_);
  pa_operation* op = pa_context_get_server_info(
      context_,
      [](pa_context*, const pa_server_info*, void* self) {
        static_cast<PulseConnection*>(self)->lastAnswer_.store(
            std::chrono::steady_clock::now().time_since_epoch().count());
      },
      this);
  if (op) pa_operation_unref(op);
}

bool PulseConnection::answeredSince(std::chrono::steady_clock::time_point time) const {
  return lastAnswer_.load() >= time.time_since_epoch().count();
}

}  // namespace pt::pulse
