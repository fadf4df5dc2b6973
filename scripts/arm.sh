#!/bin/bash
# Cross builds the library, the tracer, the tools and the whole test suite
# for the 32-bit ARM controller and runs the tests under qemu-arm.
# Usage: scripts/arm.sh [build-dir] [extra cmake options...]
# (scripts/arm-oldglibc.sh runs it for the build that loads on glibc 2.31.)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh g++-arm-linux-gnueabihf qemu-user googletest binutils-arm-linux-gnueabihf
dir="${1:-build-arm}"
shift || true
start=$SECONDS
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
lib="$dir/libTandelCntrl.so"
arm-linux-gnueabihf-strip -o "$dir/libTandelCntrl.stripped.so" "$lib"
echo "ARM library ($dir): $(stat -c %s "$(readlink -f "$lib")") bytes, stripped $(stat -c %s "$dir/libTandelCntrl.stripped.so") bytes"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)"
echo "ARM build and tests ($dir) took $((SECONDS - start)) s"
