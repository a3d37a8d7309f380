#!/usr/bin/env bash
# Sets up a Debian machine and runs every check: fuzzing, the recorder and the Linux adapter
# under ThreadSanitizer, everything under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# whole suite in a plain build, the Debian package built, installed and run, and the Linux
# platform's tests once more against PipeWire. The tests that need a sound server get a private
# one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/setup-debian.sh
export PT_REQUIRE_SOUND_SERVER=1

# shellcheck source=scripts/pulse-test-server.sh
source scripts/pulse-test-server.sh start
trap 'bash "$root/scripts/pulse-test-server.sh" stop' EXIT

build() {  # build DIR CMAKE-ARGS...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DPT_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== fuzzing target selection"
bash scripts/run-fuzz.sh 60

echo "== ThreadSanitizer: recorder and Linux adapter"
build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPT_SANITIZE=thread
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan.supp" ctest --test-dir build/tsan --output-on-failure -j"$jobs" \
  -L 'test_recorder|test_pulse'

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: everything but the heavy real-server tests"
build build/asan -DCMAKE_BUILD_TYPE=Debug -DPT_SANITIZE=address,undefined
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" -LE heavy_pulse

echo "== plain build: everything"
build build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/test --target format-check
ctest --test-dir build/test --output-on-failure -j"$jobs"

echo "== the Debian package: built, installed, listing the private server's clients"
rm -f build/test/process-tap_*.deb
(cd build/test && cpack -G DEB)
deb=$(echo "$root"/build/test/process-tap_*_"$(dpkg --print-architecture)".deb)
dpkg-deb -c "$deb" | grep '/usr/share/man/man1/process-tap\.1$' >/dev/null
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --reinstall "$deb"
/usr/bin/process-tap /tmp/x.caf 1 --list  # the package's, not a `cmake --install` in /usr/local

echo "== the Linux platform against PipeWire (pipewire-pulse)"
(
  # shellcheck source=scripts/pipewire-test-server.sh
  source scripts/pipewire-test-server.sh start
  trap 'bash "$root/scripts/pipewire-test-server.sh" stop' EXIT
  ctest --test-dir build/test --output-on-failure -j"$jobs" -L 'test_pulse|heavy_pulse'
)
