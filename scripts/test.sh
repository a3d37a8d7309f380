#!/usr/bin/env bash
# Sets up a Debian machine and runs every check: fuzzing, the recorder and the Linux adapter
# under ThreadSanitizer, everything under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# whole suite in a plain build with Debian's build flags, the Debian package built from it,
# checked by lintian, installed and run,
# the release's source archive built alone, and the Linux platform's tests once more against
# PipeWire. The tests that need a sound server get a private one.
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

echo "== plain build with Debian's build flags: everything"
build build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPT_DEBIAN_BUILD_FLAGS=ON
cmake --build build/test --target format-check
ctest --test-dir build/test --output-on-failure -j"$jobs"

echo "== the Debian package: built, lintian-clean, installed, listing the private server's clients"
rm -f build/test/process-tap_*.deb
(cd build/test && cpack -G DEB)
deb=$(echo "$root"/build/test/process-tap_*_"$(dpkg --print-architecture)".deb)
tags=$(lintian --pedantic -I --fail-on error,warning,info,pedantic "$deb")
[ -z "$tags" ] || { printf '%s\n' "$tags"; exit 1; }
dpkg-deb -c "$deb" | grep '/usr/share/man/man1/process-tap\.1\.gz$' >/dev/null
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --reinstall "$deb"
/usr/bin/process-tap /tmp/x.caf 1 --list  # the package's, not a `cmake --install` in /usr/local

echo "== the source archive of scripts/release.sh: only what git tracks, built alone, listing"
release=$(mktemp -d)
version=$(sed -n 's/^project(process-tap VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
cp Formula/process-tap.rb "$release/"
PT_FORMULA="$release/process-tap.rb" bash scripts/release.sh "$version" "$release"
grep -q "^  sha256 \"$(sha256sum "$release/process-tap-$version.tar.gz" | cut -d' ' -f1)\"$" \
  "$release/process-tap.rb"
diff <(git ls-tree -r --name-only HEAD) \
  <(tar -tzf "$release/process-tap-$version.tar.gz" | sed -n "s|^process-tap-$version/\(.*[^/]\)$|\1|p")
mkdir "$release/tree"
tar -xzf "$release/process-tap-$version.tar.gz" -C "$release/tree" --strip-components=1
# The README's Linux build command, without the tests and the simulated platform.
(cd "$release/tree" && cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPT_BUILD_TESTS=OFF \
  -DPT_BUILD_SIM=OFF >/dev/null && cmake --build build -j"$jobs")
"$release/tree/build/app/process-tap" /tmp/x.caf 1 --list
rm -rf "$release"

echo "== the Linux platform against PipeWire (pipewire-pulse)"
(
  # shellcheck source=scripts/pipewire-test-server.sh
  source scripts/pipewire-test-server.sh start
  trap 'bash "$root/scripts/pipewire-test-server.sh" stop' EXIT
  ctest --test-dir build/test --output-on-failure -j"$jobs" -L 'test_pulse|heavy_pulse'
)
