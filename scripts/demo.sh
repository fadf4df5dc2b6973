#!/bin/bash
# Builds the library and runs the example program on the bundled job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DTANDEL_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target printjob
for f in examples/*.xml; do
  echo "== $f"
  build/printjob "$f"
done
