#!/usr/bin/env bash
# The cost of a file per target on a private PulseAudio server and then on a private PipeWire,
# in one run: two players, recorded into one file (one of them) and into a file each (both).
#   bash scripts/bench-tracks.sh [SECONDS=10] [ROUNDS=3] [BEFORE]
# BEFORE, a process-tap binary of an older build, is measured beside on the one-file recording.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
rounds=${2:-3}
before=${3:-}
# shellcheck source=scripts/bench-lib.sh
source scripts/bench-lib.sh bench-tracks
bench_build
tone_seconds=$(python3 -c "import math; print(math.ceil($rounds * 3 * ($seconds + 2) + 15))")
sox -q -n -r 48000 -c 2 "$work/a.wav" synth "$tone_seconds" sine 440 vol 0.5
sox -q -n -r 48000 -c 2 "$work/b.wav" synth "$tone_seconds" sine 660 vol 0.5
for server_script in pulse-test-server.sh pipewire-test-server.sh; do
  # shellcheck disable=SC1090
  source "scripts/$server_script" start >/dev/null
  paplay --latency-msec=20 --client-name=BenchNear "$work/a.wav" &
  bench_pids="$!"
  paplay --latency-msec=20 --client-name=BenchFar "$work/b.wav" &
  bench_pids="$bench_pids $!"
  sleep 2  # the sink's first render ahead is over
  echo "server $(pactl info | sed -n 's/^Server Name: //p'), load $(cut -d' ' -f1 /proc/loadavg)"
  python3 bench/pulse/tracks.py --process-tap "$tap" \
    ${before:+--before "$before"} --clients BenchNear,BenchFar --seconds "$seconds" \
    --rounds "$rounds" --work "$work"
  bench_end_round
  echo
done
