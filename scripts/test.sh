#!/usr/bin/env bash
# Sets up a Debian machine and runs every check: fuzzing, the recorder and the Linux adapter
# under ThreadSanitizer, everything under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# whole suite in a plain build with Debian's build flags, the Debian package built from it,
# checked by lintian, installed and run, the README's examples that need a sound server, a
# release rehearsed in a throwaway clone and its archive built alone, and the Linux platform's
# tests once more against PipeWire. The tests that need a sound server get a private one. The
# repository is left as it was: no tag, no commit.
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

echo "== the README's main job: scripts/demo.sh records the generated tune as Music"
demo=$(bash scripts/demo.sh)
printf '%s\n' "$demo"
grep -Eqx 'wrote=/tmp/brindlex-process-tap-demo\.caf targets=Music\(pid=[0-9]+\) buffers=[0-9]+ frames=384000 sampleRate=48000 channels=2' <<<"$demo"
grep -Eqx 'Duration +: 00:00:08\.00 = 384000 samples .*' <<<"$demo"

echo "== a release rehearsed in a throwaway clone; its archive built alone, as the README builds"
tags_before=$(git tag -l)
release=$(mktemp -d)
version=$(sed -n 's/^project(process-tap VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
archive=$release/process-tap-$version.tar.gz
bash scripts/release-rehearsal.sh "$release"
[ "$(git tag -l)" = "$tags_before" ]
grep -q "^  sha256 \"$(sha256sum "$archive" | cut -d' ' -f1)\"$" "$release/process-tap.rb"
diff <(git -C "$release/clone" ls-tree -r --name-only HEAD) \
  <(tar -tzf "$archive" | sed -n "s|^process-tap-$version/\(.*[^/]\)$|\1|p")
mkdir "$release/tree"
tar -xzf "$archive" -C "$release/tree" --strip-components=1
# The README's Linux desktop commands, without the tests and the simulated platform, a player
# named firefox standing in for Firefox; the install into a staging folder.
cd "$release/tree"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPT_BUILD_TESTS=OFF -DPT_BUILD_SIM=OFF >/dev/null
cmake --build build -j"$jobs"
build/app/process-tap /tmp/x.caf 1 --list
sox -q -n -r 48000 -c 2 "$release/tone.wav" synth 15 sine 440 vol 0.5
paplay --client-name=firefox "$release/tone.wav" &
firefox=$!
for _ in $(seq 1 50); do
  pactl list sink-inputs | grep -q 'application.name = "firefox"' && break
  sleep 0.1
done
summary=$(build/app/process-tap out.wav 10 firefox)
kill "$firefox" 2>/dev/null || true
printf '%s\n' "$summary"
grep -Eqx "wrote=$release/tree/out\.wav targets=firefox\(pid=$firefox\) buffers=[0-9]+ frames=480000 sampleRate=48000 channels=2" <<<"$summary"
DESTDIR="$release/staged" cmake --install build >/dev/null
ls "$release/staged/usr/local/bin/process-tap" "$release/staged/usr/local/share/man/man1/process-tap.1.gz"
cd "$root"
rm -rf "$release"

echo "== the Linux platform against PipeWire (pipewire-pulse)"
(
  # shellcheck source=scripts/pipewire-test-server.sh
  source scripts/pipewire-test-server.sh start
  trap 'bash "$root/scripts/pipewire-test-server.sh" stop' EXIT
  ctest --test-dir build/test --output-on-failure -j"$jobs" -L 'test_pulse|heavy_pulse'
)
