#!/bin/bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a
# bounded time on its seed corpus.
# Usage: scripts/fuzz.sh [seconds-per-target] [build-dir] [target...]
#   default 45 s each in build-fuzz; all targets. The grown corpus is
#   kept in <build-dir>/work/<target> so later runs go on from it.
# Exit status 1 when a target finds a crash (its input is left in
# <build-dir>/crash-<target>-*), 0 otherwise. Prints per target the
# executions done, and one closing "N passed, N failed" line.
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-45}"
dir="${2:-build-fuzz}"
shift 2 || shift $# || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(parser roundtrip decoder jobfile encode text)

# clang and its libFuzzer runtime (Debian keeps the runtime apart).
bash scripts/deps.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S fuzz -B "$dir" >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
mkdir -p "$dir/corpus"
"$dir/fuzz_seeds" "$dir/corpus" examples >/dev/null

# The file reader target writes a file per input: on a tmpfs when there is one.
[ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm

passed=0
failed=0
for t in "${targets[@]}"; do
  mkdir -p "$dir/work/$t"
  log="$dir/fuzz_$t.log"
  # Leak detection stays on; inputs up to 2 KiB (sensor job files are at most 2046 bytes).
  if (cd "$dir" && ./"fuzz_$t" -max_total_time="$secs" -max_len=2048 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="crash-$t-" "work/$t" "corpus/$t") >"$log" 2>&1; then
    passed=$((passed + 1))
    status=ok
  else
    failed=$((failed + 1))
    status=CRASH
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "fuzz_$t: $status, ${runs:-?} executions in ${secs}s"
  [ "$status" = ok ] || grep -m1 -A20 'ERROR\|check failed' "$log" || true
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
