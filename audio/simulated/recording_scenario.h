// The recording keys of a scenario (all optional; see scenario.h for the inventory keys):
//
//   "tapFormat":        {"formatID": "lpcm", "sampleRate": R, "channels": C, "interleaved": B}
//                       (float32; every member optional) or {"status": S}: the 'tfmt' read fails
//   "tone":             {"<process object id>": Hz, ...}: the sine tone each process plays
//   "ioFrames":         frames per IO cycle (default 512)
//   "deviceSampleRate": the aggregate device's 'nsrt', R or {"status": S}; absent: 'who?'
//   "outputDevice":     {"id": N, "uid": T}, the default system output device (default 60,
//                       "SimulatedOutputDevice")
//   "subDeviceInput":   {"channels": N, "tone": Hz}: the output device's own microphone (default
//                       1 channel, 1000 Hz), whose stream an aggregate puts ahead of the tap's
//   "inputDevices":     [{"id": N, "name": T, "uid": T, "channels": C, "tone": Hz,
//                         "clockDomain": N, "default": B}, ...]: input devices with one stream
//                       each (default 1 channel, 660 Hz, domain 0, not the default input); one
//                       with the output device's UID is its own microphone
//   "aggregateInput":   {"tapStreamsAfter": seconds, "subDeviceStreamsAfter": seconds,
//                        "tapFirst": B, "tapStreamChannels": N}: the aggregate's input states the
//                       tap's streams, and the sub-device's, only that long after it is made
//                       (each a notification of 'stm#', running or not), the tap's ahead of the
//                       sub-device's, with N channels each (default 0, 0, false, as 'tfmt'
//                       implies)
//   "deviceRateChange": {"at": seconds after the start, "rate": R, "repeats": N}: the aggregate's
//                       'nsrt' changes; N more notifications of it are still queued when its
//                       listeners are removed, and run once the tool has ended (default 0)
//   "interruptAt":      virtual seconds at which SIGINT arrives during the wait
//   "deviceLostAt":     virtual seconds after the start at which the device stops on its own
//   "cyclesStopAt":     virtual seconds after the start at which the cycles stop while the device
//                       runs on ('livn' stays 1)
//   "recorderStopped":  {"at": S, "seconds": S}: the tool itself is stopped (SIGSTOP) that long,
//                       S seconds after the start; the cycles due meanwhile arrive after it
//   "blockedStart":     virtual seconds that the start waits for a tapped process to play
//                       (tapautostart), true: until the recorder stops the device, or "forever":
//                       a stop does not end it either
//   "faults":           {"createProcessTap": S, "defaultOutputDevice": S, "deviceUID": S,
//                        "createAggregateDevice": S, "captureFormat": true, "createIOProc": S,
//                        "watchDevice": S, "start": S, "writeFailures": [cycle, ...],
//                        "stalledWrites": {"<cycle>": ms, ...}, "ioOverloads": {"<cycle>": ms},
//                        "unreadableCycles": [cycle, ...], "unreadableTap": N, "droppedFrames": N,
//                        "permissionDenied": true, "microphoneDenied": true,
//                        "processingFormat": {"sampleRate": R, "channels": C, "interleaved": B}}
//                       (cycles count from 1, skipped ones included; a write belongs to the cycle
//                       delivered last when it runs: each of the first 0.2 s, then one a batch; a
//                       stalled write holds the writer thread for ms of virtual time while the
//                       cycles go on; an overloaded IO block runs ms, so the device skips the
//                       cycles it overran; an unreadable cycle has null buffers, for the Nth tap of
//                       the aggregate's list only when unreadableTap is given (from 0);
//                       droppedFrames is what the platform says it dropped; without permission the
//                       tap hears silence, and without the microphone's every input stream; the
//                       audio file states that processing format instead of the one it was opened
//                       with)
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "audio/simulated/simulated_platform.h"

namespace pt::sim {

// Applies the recording keys of `scenario`; any other key that is not an inventory key is an
// error. Throws ScenarioError naming the key at fault.
void applyRecordingScenario(SimulatedPlatform& platform, const nlohmann::json& scenario);

}  // namespace pt::sim
