#!/usr/bin/env bash
# Compares process-tap with parec (as is, and asking for process-tap's 100 ms fragments) and, on
# PipeWire, pw-record, on one playback stream, on a private PulseAudio server and then on a
# private PipeWire, in one run:
#   bash scripts/bench-pulse.sh [SECONDS=10] [ROUNDS=3]
# Builds process-tap (Release), starts each server in turn, plays a 440 Hz tone as client "Music"
# and records it for SECONDS with each tool, alternating the order each round (ABBA...) so none
# gains from going first. pw-record records the sink's monitor, which carries only that stream.
# Measured by bench/pulse/measure.py:
# - Peak RSS: ru_maxrss of the tool's own rusage.
# - CPU: user+sys from the tool's own rusage (os.wait4 on the spawned child), divided by the
#   length of audio in its file; the run includes start-up and shutdown for both tools.
# - Start delay: a process's first audible sample cannot be timed from outside, so it is split
#   in two. (a) spawn to record stream: the time from posix_spawn until `pactl subscribe`
#   announces the tool's new source-output, i.e. its start-up up to a connected stream.
#   (b) the offset of the first non-zero sample in the tool's file, i.e. how much silence it
#   wrote before the tone. Their sum approximates spawn to the first buffer with sound.
#   As a check from outside, the file's size is polled every 0.5 ms for the first seconds:
#   (c) spawn until the first frame, (d) until the first non-zero frame is in the file.
#   (d) also counts the writer's own buffering: it is when a reader of the file gets sound.
# - "spawn to exit - recorded" bounds start-up plus shutdown for process-tap, which stops on
#   its own; parec is stopped by SIGINT SECONDS after spawn, so for it that row is the
#   audio it never wrote.
# - Each file is read back: the tone's frequency and RMS, jumps between samples larger than
#   the sine can make (lost or repeated audio), silent gaps, and for process-tap frames
#   against its summary line. Any of these is printed as FAULT and makes the exit status 1,
#   unless the player itself underran during that run (then both tools would record it).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
rounds=${2:-3}
if ! [[ $seconds =~ ^[0-9]+([.][0-9]+)?$ && $seconds =~ [1-9] && $rounds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: bash scripts/bench-pulse.sh [SECONDS] [ROUNDS]" >&2
  exit 2
fi
for tool in pactl paplay parec pw-record sox python3 cmake; do
  command -v "$tool" >/dev/null || {
    echo "$tool is missing (bash scripts/setup-debian.sh installs the tools)" >&2
    exit 2
  }
done

# shellcheck source=scripts/bench-lib.sh
source scripts/bench-lib.sh bench-pulse
echo "building process-tap (Release)..." >&2
bench_build

status=0
for server_script in pulse-test-server.sh pipewire-test-server.sh; do
# shellcheck disable=SC1090
source "scripts/$server_script" start >/dev/null
server=$(pactl info | sed -n 's/^Server Name: //p')
pw_target=()
[ "$server_script" = pipewire-test-server.sh ] && pw_target=(--pw-target virt)

# The tone outlasts every round (four tools on PipeWire) with room for start-up and the gaps.
tone_seconds=$(python3 -c "import math; print(math.ceil($rounds * 4 * ($seconds + 2) + 15))")
sox -q -n -r 48000 -c 2 "$work/tone.wav" synth "$tone_seconds" sine 440 vol 0.5
# -v only so that the player's underruns can be told apart from a recorder's losses.
paplay -v --latency-msec=20 --client-name=Music "$work/tone.wav" 2>"$work/player.log" &
player=$!
bench_pids=$player

sink_input=""
for _ in $(seq 1 100); do
  sink_input=$(pactl -f json list sink-inputs 2>/dev/null | python3 -c '
import json, sys
for s in json.load(sys.stdin):
    if s["properties"].get("application.process.id") == sys.argv[1]:
        print(s["index"]); break
' "$player" || true)
  [ -n "$sink_input" ] && break
  kill -0 "$player" 2>/dev/null || { echo "paplay exited before its stream appeared" >&2; exit 1; }
  sleep 0.05
done
[ -n "$sink_input" ] || { echo "paplay's sink input never appeared" >&2; exit 1; }
# A fresh sink renders its first streams far ahead (its default latency is long), and until
# real time catches up a monitor gets nothing new: wait for steady state before measuring.
settled=""
for _ in $(seq 1 200); do
  settled=$(pactl -f json list sink-inputs 2>/dev/null | python3 -c '
import json, sys
for s in json.load(sys.stdin):
    if s["index"] == int(sys.argv[1]) and s["sink_latency_usec"] < 50000:
        print(round(s["sink_latency_usec"] / 1000, 1)); break
' "$sink_input" || true)
  [ -n "$settled" ] && break
  sleep 0.05
done
[ -n "$settled" ] || echo "the sink's latency stayed above 50 ms: figures include its catch-up" >&2
echo "server $server, stream 'Music' = sink input #$sink_input (sink latency ${settled:-?} ms);" \
  "$rounds rounds x $seconds s" >&2

# A folder per server: the growth watch must not see the other server's files of the same name.
mkdir "$work/${server_script%.sh}"
python3 bench/pulse/measure.py --process-tap "$tap" --sink-input "$sink_input" --keyword Music \
  --seconds "$seconds" --rounds "$rounds" --work "$work/${server_script%.sh}" \
  --player-log "$work/player.log" \
  "${pw_target[@]}" &
helper=$!
bench_pids="$player $helper"
wait "$helper" || status=$?
bench_pids=$player
bench_end_round
echo
done
exit "$status"
