#include "audio/pulse/pulse_processes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace pt::pulse {
namespace {

// A stream belongs to the process of its own pid, else to its client's (a process may share a
// client, or a native PipeWire client carries the pid on the client only). Any running stream
// makes its process run ('pir?'); only a playback stream makes it play ('piro').
TEST(PulseProcesses, AStreamBelongsToItsOwnPidElseToItsClientsAndPlaysOnlyIfItIsPlayback) {
  const std::vector<Client> clients = {{7, 100, "Browser", ""}, {8, 200, "pw-cat", ""}};
  std::vector<Stream> inputs = {{1, 7, 101, false}, {2, 8, 0, false}, {3, 7, 0, true}};
  std::vector<Stream> outputs = {{4, 7, 0, false}};
  attribute(inputs, clients);
  attribute(outputs, clients);
  EXPECT_EQ((std::vector{inputs[0].pid, inputs[1].pid, inputs[2].pid, outputs[0].pid}),
            (std::vector<std::int32_t>{101, 200, 100, 100}));
  std::uint32_t next = 1000;
  ProcessTable table([&] { return AudioObjectID(next++); });
  table.update(clients, inputs, outputs);
  const auto state = [&](std::int32_t pid) {
    const ProcessObject* process = table.find(table.objectOf(pid));
    return std::vector{process->running, process->playing};
  };
  EXPECT_EQ(state(100), (std::vector{true, false})) << "it only records; its playback is corked";
  EXPECT_EQ(state(101), (std::vector{true, true}));
  EXPECT_EQ(state(200), (std::vector{true, true}));
}

}  // namespace
}  // namespace pt::pulse
