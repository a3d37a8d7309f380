#!/usr/bin/env bash
# A private PipeWire with pipewire-pulse, headless: its own runtime folder and session bus (which
# WirePlumber needs), and a null sink "virt" at 48000 Hz as the default sink, so that the tests
# run against the PulseAudio protocol as PipeWire desktops serve it.
#   source scripts/pipewire-test-server.sh start   # exports XDG_RUNTIME_DIR and PULSE_SERVER
#   bash scripts/pipewire-test-server.sh stop      # stops its processes, removes the folder

pt_pipewire_start() {
  local dir
  dir=$(mktemp -d /tmp/process-tap-pipewire.XXXXXX) || return 1
  chmod 700 "$dir"
  export PT_PIPEWIRE_DIR=$dir
  export XDG_RUNTIME_DIR=$dir
  export PULSE_SERVER=unix:$dir/pulse/native
  # pipewire-pulse listens where PULSE_RUNTIME_PATH says, which a PulseAudio script may have set.
  export PULSE_RUNTIME_PATH=$dir/pulse
  unset PULSE_STATE_PATH
  DBUS_SESSION_BUS_ADDRESS=$(dbus-daemon --session --fork --print-address=1 \
    --print-pid=3 3>"$dir/dbus.pid" | head -1) || return 1
  export DBUS_SESSION_BUS_ADDRESS
  local program
  for program in pipewire wireplumber pipewire-pulse; do
    "$program" >"$dir/$program.log" 2>&1 &
    echo $! >>"$dir/pids"
    sleep 0.3
  done
  local i
  for i in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  if ! pactl load-module module-null-sink sink_name=virt rate=48000 channels=2 >/dev/null; then
    echo "the private PipeWire does not answer; its logs:" >&2
    cat "$dir"/*.log >&2
    return 1
  fi
  # WirePlumber takes the new sink as default once it has seen it.
  for i in $(seq 1 50); do
    pactl set-default-sink virt 2>/dev/null
    pactl info 2>/dev/null | grep -q '^Default Sink: virt$' && return 0
    sleep 0.1
  done
  echo "the private PipeWire has no default sink; its logs:" >&2
  cat "$dir"/*.log >&2
  return 1
}

pt_pipewire_stop() {
  local dir=${PT_PIPEWIRE_DIR:-}
  [ -n "$dir" ] && [ -d "$dir" ] || return 0
  local pid
  for pid in $(cat "$dir/pids" "$dir/dbus.pid" 2>/dev/null); do
    kill "$pid" 2>/dev/null
  done
  sleep 0.3
  for pid in $(cat "$dir/pids" "$dir/dbus.pid" 2>/dev/null); do
    kill -9 "$pid" 2>/dev/null
  done
  rm -rf "$dir"
  return 0
}

case "${1:-}" in
  start) pt_pipewire_start ;;
  stop) pt_pipewire_stop ;;
  *)
    echo "usage: source scripts/pipewire-test-server.sh start | bash scripts/pipewire-test-server.sh stop" >&2
    false
    ;;
esac
