# Sourced by the bench scripts from the project's root: `source scripts/bench-lib.sh NAME`.
# Makes the folder $work (/tmp/NAME.XXXXXX) and, on any exit, ends the round (bench_end_round:
# kills the processes listed in $bench_pids, stops the server whose script is $server_script)
# and removes the folder.
# bench_build builds process-tap (Release) and sets $tap to it.
# shellcheck shell=bash
work=$(mktemp -d "/tmp/$1.XXXXXX")
bench_pids=""
server_script=""
# Ends what a server's round started: the processes in $bench_pids, then the server.
bench_end_round() {
  for pid in $bench_pids; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  bench_pids=""
  if [ -n "$server_script" ]; then bash "scripts/$server_script" stop; fi
  server_script=""
}
# shellcheck disable=SC2317  # reached through the trap
bench_cleanup() {
  local status=$?
  trap - EXIT INT TERM
  bench_end_round
  rm -rf "$work"
  exit "$status"
}
trap bench_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

bench_build() {
  local build=build/bench-pulse
  if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPT_BUILD_TESTS=OFF &&
    cmake --build "$build" -j"$(nproc)" --target process-tap; } >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    exit 1
  fi
  # shellcheck disable=SC2034  # read by the scripts that source this
  tap=$PWD/$build/app/process-tap
}
