#!/usr/bin/env bash
# A private PulseAudio server with a null sink "virt" as the default sink, in its own runtime
# folder, so tests never touch (or need) the user's own sound server.
#   source scripts/pulse-test-server.sh start   # exports XDG_RUNTIME_DIR and PULSE_SERVER
#   bash scripts/pulse-test-server.sh stop      # stops it by its pid, removes the folder
# The sample rate is 48000 Hz so that the tests' tones need no resampling.

pt_pulse_start() {
  local dir
  dir=$(mktemp -d /tmp/process-tap-pulse.XXXXXX) || return 1
  chmod 700 "$dir"
  export PT_PULSE_DIR=$dir
  export XDG_RUNTIME_DIR=$dir
  export PULSE_RUNTIME_PATH=$dir/pulse
  export PULSE_STATE_PATH=$dir/state
  export PULSE_SERVER=unix:$dir/pulse/native
  export HOME=${HOME:-$dir}
  # Off any session bus, where another server (pipewire-pulse) may hold the PulseAudio name.
  env -u DBUS_SESSION_BUS_ADDRESS pulseaudio --daemonize=yes --exit-idle-time=-1 -n --use-pid-file=yes \
    --disallow-exit=no \
    --load="module-native-protocol-unix auth-anonymous=1" \
    --load="module-null-sink sink_name=virt rate=48000" \
    --load="module-always-sink" \
    --log-target="file:$dir/pulseaudio.log" 2>>"$dir/start.log" || {
    echo "could not start a private PulseAudio server; its log:" >&2
    cat "$dir/start.log" "$dir/pulseaudio.log" >&2 2>/dev/null
    return 1
  }
  local i
  for i in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  if ! pactl info >/dev/null 2>&1; then
    echo "the private PulseAudio server does not answer; its log:" >&2
    cat "$dir/pulseaudio.log" >&2 2>/dev/null
    return 1
  fi
  pactl set-default-sink virt
}

pt_pulse_stop() {
  local dir=${PT_PULSE_DIR:-}
  [ -n "$dir" ] && [ -d "$dir" ] || return 0
  local pidfile=$dir/pulse/pid pid=""
  [ -f "$pidfile" ] && pid=$(cat "$pidfile")
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null
    local i
    for i in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}

case "${1:-}" in
  start) pt_pulse_start ;;
  stop) pt_pulse_stop ;;
  *)
    echo "usage: source scripts/pulse-test-server.sh start | bash scripts/pulse-test-server.sh stop" >&2
    false
    ;;
esac
