#!/usr/bin/env bash
# Fuzzes target selection for a bounded time (default 60 seconds). Fails on a crash, a sanitizer
# report, a leak or an input that takes longer than 10 seconds.
#   usage: scripts/run-fuzz.sh [SECONDS]    build directory: $PT_FUZZ_BUILD or build/fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${PT_FUZZ_BUILD:-build/fuzz}
cxx=$(command -v clang++-14 || command -v clang++)
cc=$(command -v clang-14 || command -v clang)

cmake -S . -B "$build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPT_FUZZ=ON -DPT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_targets -j"$(nproc)"

# New inputs go to a scratch corpus, never into the committed seeds.
corpus="$build/fuzz-corpus"
artifacts="$build/fuzz-artifacts"
mkdir -p "$corpus" "$artifacts"
"$build/tests/fuzz/fuzz_targets" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
  "$corpus" tests/fuzz/seeds
