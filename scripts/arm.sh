#!/bin/bash
# Cross builds the library, the tracer, the tools and the whole test suite
# for the 32-bit ARM controller and runs the tests under qemu-arm.
# Usage: scripts/arm.sh [build-dir] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh g++-arm-linux-gnueabihf qemu-user googletest binutils-arm-linux-gnueabihf
dir="${1:-build-arm}"
shift || true
start=$SECONDS
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
# jobtool is part of the default build once its sources are wired in.
if compgen -G 'tools/jobtool.*' >/dev/null; then
    targets=$(cmake --build "$dir" --target help)
    if grep -qw jobtool <<<"$targets"; then
        cmake --build "$dir" -j"$(nproc)" --target jobtool
    else
        echo "warning: tools/jobtool.* present but no jobtool target in the build" >&2
    fi
fi
lib="$dir/libTandelCntrl.so"
arm-linux-gnueabihf-strip -o "$dir/libTandelCntrl.stripped.so" "$lib"
echo "ARM library: $(stat -c %s "$(readlink -f "$lib")") bytes, stripped $(stat -c %s "$dir/libTandelCntrl.stripped.so") bytes"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)"
echo "ARM build and tests took $((SECONDS - start)) s"
