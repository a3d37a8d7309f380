#!/usr/bin/env bash
# How far a source's clock runs against the default sink's, in ppm, on the server of the
# environment: what the input of a recording beside taps has to follow. Records the source and
# the sink's monitor side by side (parec, raw float, 10 ms fragments) and notes, at each of the
# source's deliveries, the frames each stream had delivered before it; the slope of the source's
# seconds against the sink's is 1 + the drift. Timing each delivery keeps a source that delivers
# in large blocks (PulseAudio's module-sine-source: 2 s) from blurring the figure.
#   scripts/measure-input-drift.sh SOURCE [SECONDS]
# With SOURCE "sine", a module-sine-source is loaded for the run and unloaded after.
set -euo pipefail

source_name=${1:?usage: measure-input-drift.sh SOURCE [SECONDS]}
seconds=${2:-600}
module=""
cleanup() { [ -z "$module" ] || pactl unload-module "$module" 2>/dev/null || true; }
trap cleanup EXIT

if [ "$source_name" = sine ]; then
  source_name=drift_sine
  module=$(pactl load-module module-sine-source source_name=$source_name frequency=660)
fi
sink=$(pactl get-default-sink)
rate_of() {  # a source's rate, as `pactl list sources short` shows it
  pactl list sources short | awk -F'\t' -v name="$1" '$2 == name { print $4 }' |
    grep -o '[0-9]*Hz' | tr -d Hz
}
source_rate=$(rate_of "$source_name")
sink_rate=$(rate_of "$sink.monitor")
[ -n "$source_rate" ] && [ -n "$sink_rate" ] || {
  echo "no source $source_name or no monitor of $sink" >&2
  exit 1
}

python3 - "$source_name" "$source_rate" "$sink.monitor" "$sink_rate" "$seconds" <<'EOF'
import os, select, subprocess, sys, time

source, source_rate, monitor, sink_rate, seconds = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), float(sys.argv[5])

def record(device, rate):  # mono float at the device's own rate: 4 bytes a frame, no conversion
    return subprocess.Popen(["parec", "-d", device, "--format=float32le", "--channels=1",
                             f"--rate={rate}", "--latency-msec=10", "--raw"],
                            stdout=subprocess.PIPE, bufsize=0)

streams = {"source": record(source, source_rate), "sink": record(monitor, sink_rate)}
fds = {p.stdout.fileno(): name for name, p in streams.items()}
got = {"source": 0, "sink": 0}
points = []  # (sink seconds, source seconds) at each source delivery, once both run
start = last = time.monotonic()
try:
    while time.monotonic() - start < seconds + 3:
        ready, _, _ = select.select(list(fds), [], [], 1)
        for fd in ready:
            name = fds[fd]
            data = os.read(fd, 1 << 20)
            if not data:
                sys.exit(f"parec of the {name} ended")
            now = time.monotonic()
            # A delivery's first read, not the rest of one the pipe splits: the frames before
            # it were all the source had delivered when its clock delivered the next.
            if name == "source" and got["sink"] and now - start > 3 and now - last > 0.005:
                points.append((got["sink"] / 4 / sink_rate, got["source"] / 4 / source_rate))
            if name == "source":
                last = now
            got[name] += len(data)
finally:
    for p in streams.values():
        p.kill()

if len(points) < 3:
    sys.exit("too few deliveries of the source")
n = len(points)
sx = sum(x for x, _ in points); sy = sum(y for _, y in points)
sxx = sum(x * x for x, _ in points); sxy = sum(x * y for x, y in points)
slope = (n * sxy - sx * sy) / (n * sxx - sx * sx)
(x0, y0), (x1, y1) = points[0], points[-1]
print(f"{source} ({source_rate} Hz) against {monitor} ({sink_rate} Hz) over {x1 - x0:.0f} s: "
      f"{(slope - 1) * 1e6:+.2f} ppm (fit of {n} deliveries), "
      f"{((y1 - y0) / (x1 - x0) - 1) * 1e6:+.2f} ppm first to last")
EOF
