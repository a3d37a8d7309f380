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
work=$(mktemp -d /tmp/bench-threads.XXXXXX)
server_script=""
player=""
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$player" ]; then kill "$player" 2>/dev/null || true; fi
  if [ -n "$server_script" ]; then bash "scripts/$server_script" stop; fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

build=build/bench-pulse
{ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPT_BUILD_TESTS=OFF &&
  cmake --build "$build" -j"$(nproc)" --target process-tap; } >"$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log" >&2; exit 1; }
sox -q -n -r 48000 -c 2 "$work/tone.wav" synth "$(python3 -c "print(int($window) + 30)")" sine 440 vol 0.5
for server_script in pulse-test-server.sh pipewire-test-server.sh; do
  # shellcheck disable=SC1090
  source "scripts/$server_script" start >/dev/null
  paplay --latency-msec=20 --client-name=Music "$work/tone.wav" &
  player=$!
  sleep 2  # the sink's first render ahead is over
  echo "server $(pactl info | sed -n 's/^Server Name: //p')"
  python3 bench/pulse/threads.py --process-tap "$PWD/$build/app/process-tap" --window "$window"
  kill "$player" 2>/dev/null || true
  wait "$player" 2>/dev/null || true
  player=""
  bash "scripts/$server_script" stop
  server_script=""
  echo
done
