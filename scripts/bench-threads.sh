#!/usr/bin/env bash
# Where a running recording's time goes, thread by thread, beside parec, on a private PulseAudio
# server and then on a private PipeWire:
#   bash scripts/bench-threads.sh [WINDOW=15]
# Needs perf (linux-perf) and permission to count other processes' events (root, or
# kernel.perf_event_paranoid <= 2 for one's own).
set -euo pipefail
cd "$(dirname "$0")/.."
window=${1:-15}
command -v perf >/dev/null || { echo "perf is missing (apt-get install linux-perf)" >&2; exit 2; }
# shellcheck source=scripts/bench-lib.sh
source scripts/bench-lib.sh bench-threads
bench_build
sox -q -n -r 48000 -c 2 "$work/tone.wav" synth "$(python3 -c "print(int($window) + 30)")" sine 440 vol 0.5
for server_script in pulse-test-server.sh pipewire-test-server.sh; do
  # shellcheck disable=SC1090
  source "scripts/$server_script" start >/dev/null
  paplay --latency-msec=20 --client-name=Music "$work/tone.wav" &
  bench_pids=$!
  sleep 2  # the sink's first render ahead is over
  echo "server $(pactl info | sed -n 's/^Server Name: //p')"
  python3 bench/pulse/threads.py --process-tap "$tap" --window "$window" \
    --work "$work"
  bench_end_round
  echo
done
