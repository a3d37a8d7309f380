// The recording keys of a scenario (all optional; see scenario.h for the inventory keys):
//
//   "tapFormat":        {"formatID": "lpcm", "sampleRate": R, "channels": C, "interleaved": B}
//                       (float32; every member optional) or {"status": S}: the 'tfmt' read fails
//   "tone":             {"<process object id>": Hz, ...}: the sine tone each process plays
//   "ioFrames":         frames per IO cycle (default 512)
//   "deviceSampleRate": the aggregate device's 'nsrt', R or {"status": S}; absent: 'who?'
//   "outputDevice":     {"id": N, "uid": T}, the default system output device (default 60,
//                       "SimulatedOutputDevice")
//   "interruptAt":      virtual seconds at which SIGINT arrives during the wait
//   "faults":           {"createProcessTap": S, "defaultOutputDevice": S, "deviceUID": S,
//                        "createAggregateDevice": S, "captureFormat": true, "createIOProc": S,
//                        "start": S, "writeFailures": [cycle, ...]} (cycles count from 1)
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "audio/simulated/simulated_platform.h"

namespace pt::sim {

// Applies the recording keys of `scenario`; any other key that is not an inventory key is an
// error. Throws ScenarioError naming the key at fault.
void applyRecordingScenario(SimulatedPlatform& platform, const nlohmann::json& scenario);

}  // namespace pt::sim
