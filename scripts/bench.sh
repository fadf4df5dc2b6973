#!/bin/bash
# Builds the benchmarks in release mode, runs them and writes BENCHMARKS.md
# (bench/report.py: results, ratios against expat, libxml2 and pugixml,
# growth with size).
# Usage: scripts/bench.sh [build-dir]   (about 5 minutes on 2 cores)
# BENCH_MIN_TIME (seconds per benchmark and repetition, default 0.1) and
# BENCH_REPETITIONS (default 5) trade time for noise;
# BENCH_REPORT_ONLY=1 rewrites BENCHMARKS.md from the last run's results.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-bench}"
json="$dir/bench.json"
if [ -z "${BENCH_REPORT_ONLY:-}" ]; then
  bash scripts/deps.sh libbenchmark-dev libexpat1-dev libxml2-dev libpugixml-dev
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTANDEL_BENCH=ON -DTANDEL_TESTS=OFF >/dev/null
  cmake --build "$dir" -j"$(nproc)" --target tandel_bench
  # Interleaved repetitions: the neighbours' load on a shared machine comes
  # and goes for seconds at a time, and the report keeps each one's fastest.
  "$dir/bench/tandel_bench" --benchmark_min_time="${BENCH_MIN_TIME:-0.1}" \
      --benchmark_repetitions="${BENCH_REPETITIONS:-5}" --benchmark_enable_random_interleaving=true \
      --benchmark_out="$json" --benchmark_out_format=json
fi
python3 bench/report.py "$json" BENCHMARKS.md
