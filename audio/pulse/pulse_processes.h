// Which processes play: the server's clients and playback streams (sink inputs) as Core Audio's
// process objects ('prs#'), one per distinct process id, with their running state ('pir?': any
// stream, recording included) and whether they play ('piro').
// A stream belongs to the process of its own application.process.id, else to that of its
// client: under pipewire-pulse, native PipeWire clients (pw-play, mpv) carry the pid only on
// the client.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "audio/audio_object_id.h"

namespace pt::pulse {

// What one client of the server says about itself.
struct Client {
  std::uint32_t index = PA_INVALID_INDEX;
  std::int32_t pid = 0;  // 0: the client carries no process id
  std::string name;
  std::string bundleID;
};

// One playback stream (sink input) or record stream (source output).
struct Stream {
  std::uint32_t index = 0;
  std::uint32_t client = PA_INVALID_INDEX;
  std::int32_t pid = 0;  // its own, else its client's once attributed; 0: none
  bool corked = false;
};

Client clientOf(const pa_client_info& info);
Stream sinkInputOf(const pa_sink_input_info& info);
Stream sourceOutputOf(const pa_source_output_info& info);
// Gives each stream without a pid of its own that of its client.
void attribute(std::vector<Stream>& inputs, const std::vector<Client>& clients);

struct ProcessObject {
  std::int32_t pid = 0;
  std::string bundleID;
  bool running = false;  // a stream of any kind runs
  bool playing = false;  // a playback stream runs
};

// The process objects of one run. Main thread.
class ProcessTable {
 public:
  explicit ProcessTable(std::function<AudioObjectID()> newObjectID)
      : newObjectID_(std::move(newObjectID)) {}

  // Takes one consistent view of the server, which the reads that follow answer. Processes that
  // left the server keep their ID for the run but leave the list.
  // The streams must be attributed.
  void update(std::vector<Client> clients, const std::vector<Stream>& inputs,
              const std::vector<Stream>& outputs);
  bool updated() const { return updated_; }

  const std::vector<Client>& clients() const { return clients_; }
  const std::vector<AudioObjectID>& order() const { return order_; }
  const ProcessObject* find(AudioObjectID id) const;
  // The object of `pid`, or unknown.
  AudioObjectID objectOf(std::int32_t pid) const;

 private:
  AudioObjectID objectFor(std::int32_t pid);

  std::function<AudioObjectID()> newObjectID_;
  bool updated_ = false;
  std::vector<Client> clients_;
  std::map<AudioObjectID, ProcessObject> processes_;
  std::vector<AudioObjectID> order_;
};

}  // namespace pt::pulse
