#!/bin/bash
# Builds the library and runs every test.
# Usage: scripts/test.sh [build-dir] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
dir="${1:-build}"
shift || true
cmake -S . -B "$dir" -DTANDEL_TESTS=ON "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)"
