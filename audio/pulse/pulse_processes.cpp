#include "audio/pulse/pulse_processes.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace pt::pulse {
namespace {

std::int32_t pidOf(const pa_proplist* properties) {
  const char* text = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
  if (text == nullptr) return 0;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value <= 0 || value > INT32_MAX) return 0;
  return std::int32_t(value);
}

std::string bundleIDOf(const pa_proplist* properties) {
  for (const char* key : {PA_PROP_APPLICATION_ID, "pipewire.access.portal.app_id",
                          PA_PROP_APPLICATION_PROCESS_BINARY})
    if (const char* text = pa_proplist_gets(properties, key)) return text;
  return {};
}

std::string textOf(const pa_proplist* properties, const char* key) {
  const char* text = pa_proplist_gets(properties, key);
  return text ? text : "";
}

}  // namespace

Client clientOf(const pa_client_info& info) {
  return {info.index, pidOf(info.proplist), textOf(info.proplist, PA_PROP_APPLICATION_NAME),
          bundleIDOf(info.proplist)};
}

Stream sinkInputOf(const pa_sink_input_info& info) {
  return {info.index, info.client, pidOf(info.proplist), info.corked != 0};
}

Stream sourceOutputOf(const pa_source_output_info& info) {
  return {info.index, info.client, pidOf(info.proplist), info.corked != 0};
}

void attribute(std::vector<Stream>& inputs, const std::vector<Client>& clients) {
  for (Stream& input : inputs) {
    if (input.pid != 0) continue;
    for (const Client& client : clients)
      if (client.index == input.client) input.pid = client.pid;
  }
}

void ProcessTable::update(std::vector<Client> clients, const std::vector<Stream>& inputs,
                          const std::vector<Stream>& outputs) {
  clients_ = std::move(clients);
  for (auto& [id, process] : processes_) process.running = process.playing = false;
  std::vector<AudioObjectID> order;
  for (const Client& client : clients_) {
    if (client.pid == 0) continue;
    const AudioObjectID id = objectFor(client.pid);
    if (std::find(order.begin(), order.end(), id) != order.end()) continue;
    order.push_back(id);
    processes_[id].bundleID = client.bundleID;
  }
  for (const Stream& input : inputs)
    if (!input.corked && input.pid != 0) {
      ProcessObject& process = processes_[objectFor(input.pid)];
      process.running = process.playing = true;
    }
  for (const Stream& output : outputs)
    if (!output.corked && output.pid != 0) processes_[objectFor(output.pid)].running = true;
  order_ = std::move(order);
  updated_ = true;
}

const ProcessObject* ProcessTable::find(AudioObjectID id) const {
  auto it = processes_.find(id);
  return it == processes_.end() ? nullptr : &it->second;
}

AudioObjectID ProcessTable::objectOf(std::int32_t pid) const {
  AudioObjectID found = AudioObjectID::unknown;
  for (const auto& [id, process] : processes_)
    if (process.pid == pid) found = id;
  return found;
}

AudioObjectID ProcessTable::objectFor(std::int32_t pid) {
  for (auto& [id, process] : processes_)
    if (process.pid == pid) return id;
  const AudioObjectID id = newObjectID_();
  processes_[id].pid = pid;
  return id;
}

}  // namespace pt::pulse
