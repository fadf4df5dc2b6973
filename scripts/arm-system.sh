#!/bin/bash
# The whole suite on an emulated controller: the cross build booted on a
# real 32-bit ARM kernel (Debian's armmp under qemu-system-arm, little
# memory), every test CTest lists run in the guest with its environment,
# working directory and time-out, the test files on ext4 over virtio-blk.
# The checks of the built library with the target's binutils run here.
# Usage: scripts/arm-system.sh [--debian11] [--memory] [build-dir] [extra cmake options...]
#   --debian11  the build for glibc 2.31 (32-bit time_t) on Debian 11's
#               kernel and C library; otherwise Debian 12's.
#   --memory    instead of the tests, the peak memory of the library's
#               operations (bench/memdriver.cpp), written to bench/MEMORY.md
#               as the table BENCHMARKS.md shows.
# Environment: TANDEL_MEM guest memory in MB (default 128); TANDEL_TESTS a
# regular expression: only the tests whose names match (while working on them).
# Prints "N passed, N failed" and exits 0 only when none failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/armsys.sh
suite=bookworm
run=suite
while [ "${1:-}" = --debian11 ] || [ "${1:-}" = --memory ]; do
    [ "$1" = --debian11 ] && suite=bullseye
    [ "$1" = --memory ] && run=memory
    shift
done
dir="${1:-build-arm-system}"
shift || true
mem="${TANDEL_MEM:-128}"
start=$SECONDS
armsys_prepare "$suite" "$dir" "$@"
work="$ARMSYS_WORK"
# The guest's flushes need not reach this machine's disk: the guest's
# kernel and file system do the same work, the image is thrown away.
export ARMSYS_CACHE=unsafe
guests=$(armsys_test_list "$dir" | wc -l)
prepared=$SECONDS

if [ $run = memory ]; then
    armsys_boot "$ARMSYS_SYS" "$work/initrd.gz" "$mem" 3600 "$work/console.log" "tandel.run=memory" "$work/root.img" || true
    grep '^memdriver: ' "$work/console.log" | tee "$work/memory.txt"
    armsys_memory_table "$work/memory.txt" "$mem" "$suite" >bench/MEMORY.md
    echo "$(grep -c ' met$' "$work/memory.txt") passed, $((6 - $(grep -c ' met$' "$work/memory.txt"))) failed"
    [ "$(grep -c ' met$' "$work/memory.txt")" -eq 6 ]
    exit
fi

echo "booting $suite's kernel with $mem MB for $guests tests"
rc=0
armsys_boot "$ARMSYS_SYS" "$work/initrd.gz" "$mem" 3600 "$work/console.log" "tandel.run=suite" "$work/root.img" || rc=$?
grep -v '^tandel-test: passed' "$work/console.log" || true
reported=$(grep -c '^tandel-test: ' "$work/console.log" || true)
passed=$(grep -c '^tandel-test: passed' "$work/console.log" || true)
skipped=$(grep -c '^tandel-test: skipped' "$work/console.log" || true)
failed=$((guests - passed - skipped))
[ "$reported" -eq "$guests" ] || echo "the guest reported $reported of $guests tests (qemu status $rc)"
guest_time=$((SECONDS - prepared))

# The host's share: the library checks.
ctest --test-dir "$dir" -L host --output-on-failure >"$work/host.log" 2>&1 || true
host_passed=$(grep -c ' Passed ' "$work/host.log" || true)
host_failed=$(grep -cE '\*\*\*(Failed|Not Run|Timeout|Exception)' "$work/host.log" || true)
[ "$host_failed" -eq 0 ] || cat "$work/host.log"

echo "build and image $((prepared - start)) s, guest (boot and $guests tests) $guest_time s;" \
    "$host_passed checks here"
echo "$((passed + host_passed)) passed, $((failed + host_failed)) failed, $skipped skipped"
[ $((failed + host_failed)) -eq 0 ]
