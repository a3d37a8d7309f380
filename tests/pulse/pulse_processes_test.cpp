#include "audio/pulse/pulse_processes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace pt::pulse {
namespace {

// A stream belongs to the process of its own pid, else to its client's (a process may share a
// client; a native PipeWire client carries the pid on the client only).
TEST(PulseProcesses, AStreamBelongsToItsOwnPidElseToItsClients) {
  std::vector<Stream> streams = {{1, 7, 101, false}, {2, 8, 0, false}, {3, 7, 0, true}};
  attribute(streams, {{7, 100, "Browser", ""}, {8, 200, "pw-cat", ""}});
  EXPECT_EQ((std::vector{streams[0].pid, streams[1].pid, streams[2].pid}),
            (std::vector<std::int32_t>{101, 200, 100}));
}

}  // namespace
}  // namespace pt::pulse
