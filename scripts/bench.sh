#!/usr/bin/env bash
# Builds the benchmarks and compares the recorder's IO path with raw libsndfile in one run: the
# float container, then each codec's CPU per recorded second and bytes per hour.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DPT_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j"$(nproc)" --target io_path_bench
out=$(mktemp)
build/bench/bench/io_path_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true \
  --benchmark_out="$out" --benchmark_out_format=json
python3 - "$out" <<'PY'
import json, sys
runs = {b["name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("aggregate_name") == "median"}
for n in ("937", "56250"):
    rec = runs[f"BM_RecorderIOPath/{n}_median"]; raw = runs[f"BM_RawSndfile/{n}_median"]
    print(f"{int(n)*512/48000:.0f} s of audio: throughput ratio recorder/raw = "
          f"{raw['real_time']/rec['real_time']:.3f} by wall time, "
          f"{raw['process_cpu_seconds']/rec['process_cpu_seconds']:.3f} by CPU time of all threads, "
          f"allocations per cycle = {rec['allocations_per_cycle']:.4f}, "
          f"peak heap during the cycles = {rec['peak_heap_bytes']:.0f} bytes")
for i, codec in enumerate(("FLAC", "Ogg Vorbis", "Ogg Opus", "MP3")):
    rec = runs[f"BM_RecorderCodec/{i}_median"]; raw = runs[f"BM_RawCodec/{i}_median"]
    # Each iteration encodes 10 s of audio; the CPU time is the process's, writer thread included.
    r, w = rec['process_cpu_seconds'] * 100, raw['process_cpu_seconds'] * 100
    print(f"{codec}: CPU per recorded second {r:.2f} ms, "
          f"libsndfile directly {w:.2f} ms (ratio {r / w:.3f}), "
          f"{rec['bytes_per_hour'] / 1e6:.0f} MB per hour")
PY
