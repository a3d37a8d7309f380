#!/usr/bin/env bash
# Sets up Debian, builds process-tap and records an application playing a tone.
# Without a reachable sound server it starts a private PulseAudio server for the run.
# Usage: scripts/demo.sh [OUTPUT [SECONDS]]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
output=${1:-/tmp/brindlex-process-tap-demo.caf}
seconds=${2:-3}

bash scripts/setup-debian.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DPT_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target process-tap

if ! pactl info >/dev/null 2>&1; then
  # shellcheck source=scripts/pulse-test-server.sh
  source scripts/pulse-test-server.sh start
  trap 'bash "$root/scripts/pulse-test-server.sh" stop' EXIT
fi

tone=$(mktemp --suffix=.wav)
sox -q -n -r 48000 -c 2 "$tone" synth $((seconds + 3)) sine 440 vol 0.5
paplay --client-name=Music "$tone" &
player=$!
sleep 0.5

build/release/app/process-tap "$output" "$seconds" Music
kill "$player" 2>/dev/null || true
rm -f "$tone"
soxi "$output"
