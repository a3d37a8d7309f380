#!/usr/bin/env bash
# Sets up Debian, builds process-tap, plays a short generated piece as an application named
# "Music" and records it with the defaults: process-tap with no arguments records Music for 8
# seconds into /tmp/brindlex-process-tap-demo.caf. Without a reachable sound server it starts a
# private PulseAudio server for the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup-debian.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DPT_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target process-tap

work=$(mktemp -d)
player=""
started=""  # a server of its own, not one it found (such as the test command's)
cleanup() {
  [ -n "$player" ] && kill "$player" 2>/dev/null
  rm -rf "$work"
  [ -n "$started" ] && bash "$root/scripts/pulse-test-server.sh" stop
  return 0
}
trap cleanup EXIT

if ! pactl info >/dev/null 2>&1; then
  # shellcheck source=scripts/pulse-test-server.sh
  source scripts/pulse-test-server.sh start
  started=1
fi

# A little tune: four notes, over and over, longer than the recording.
notes=()
for note in C4 E4 G4 C5; do
  sox -q -n -r 48000 -c 2 "$work/$note.wav" synth 0.25 pluck "$note" vol 0.5
  notes+=("$work/$note.wav")
done
sox -q "${notes[@]}" "$work/piece.wav" repeat 11
# Like a desktop player that asks for low latency; one that does not may leave the first second
# or two of a recording silent on a null sink (docs/linux.md).
paplay --latency-msec=20 --client-name=Music "$work/piece.wav" &
player=$!
for _ in $(seq 1 50); do
  pactl list sink-inputs 2>/dev/null | grep -q 'application.name = "Music"' && break
  sleep 0.1
done

build/release/app/process-tap
soxi /tmp/brindlex-process-tap-demo.caf
