#!/bin/bash
# The whole suite on an emulated controller: the cross build booted on a
# real 32-bit ARM kernel (Debian's armmp under qemu-system-arm, little
# memory), every test CTest lists run in the guest with its environment,
# working directory and time-out, the test files on ext4 over virtio-blk.
# The checks of the built library with the target's binutils run here.
# Usage: scripts/arm-system.sh [--debian11] [build-dir] [extra cmake options...]
#   --debian11  the build for glibc 2.31 (32-bit time_t) on Debian 11's
#               kernel and C library; otherwise Debian 12's.
# Environment: TANDEL_MEM guest memory in MB (default 128); TANDEL_TESTS a
# regular expression: only the tests whose names match (while working on them).
# Prints "N passed, N failed" and exits 0 only when none failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/armsys.sh
suite=bookworm
if [ "${1:-}" = --debian11 ]; then
    shift
    suite=bullseye
fi
dir="${1:-build-arm-system}"
shift || true
mem="${TANDEL_MEM:-128}"
start=$SECONDS
armsys_prepare "$suite" "$dir" "$@"
work="$ARMSYS_WORK"
guests=$(armsys_test_list "$dir" | wc -l)
prepared=$SECONDS

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
