#!/bin/bash
# ThreadSanitizer build and run of the concurrency tests (and the rest of
# the suite, which must stay clean too).
# Usage: scripts/tsan.sh [build-dir]   (default build-tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
dir="${1:-build-tsan}"
cmake -S . -B "$dir" -DTANDEL_TSAN=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$dir" -j"$(nproc)"
# The first race fails the run; the tests labelled threads (tests/CMakeLists.txt) go first.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
export CRASH_KILLS="${CRASH_KILLS:-100}"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" -L threads
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" -LE threads
