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
cmake_extra=()
if [ "${1:-}" = --debian11 ]; then
    shift
    suite=bullseye
    # The build root of scripts/arm-oldglibc.sh (fetched there once).
    sysroot="$PWD/build-sysroot/debian11-armhf"
    [ -f "$sysroot/.packages" ] || TANDEL_SYSROOT= bash scripts/arm-oldglibc.sh --fetch-only
    cmake_extra=(-DTANDEL_TIME64=OFF -DTANDEL_SYSROOT="$sysroot")
fi
dir="${1:-build-arm-system}"
shift || true
mem="${TANDEL_MEM:-128}"
bash scripts/deps.sh g++-arm-linux-gnueabihf qemu-user googletest binutils-arm-linux-gnueabihf
armsys_tools
start=$SECONDS
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake "${cmake_extra[@]}" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
dir=$(cd "$dir" && pwd)
built=$SECONDS

sys="$PWD/build-armsys/$suite"
armsys_fetch "$suite" "$sys"
work="$dir/system"
rm -rf "$work"
mkdir -p "$work"
armsys_initramfs "$sys" "$work/initrd.gz"

# Which tests run where: the library checks with the target's binutils
# (label "host") here, everything else in the guest as CTest would run it.
ctest --test-dir "$dir" --show-only=json-v1 >"$work/tests.json"
unsupported=$(jq -r '[.tests[].properties[]?.name] | unique - ["ENVIRONMENT", "WORKING_DIRECTORY",
    "TIMEOUT", "WILL_FAIL", "SKIP_RETURN_CODE", "SKIP_REGULAR_EXPRESSION", "PASS_REGULAR_EXPRESSION",
    "FAIL_REGULAR_EXPRESSION", "LABELS"] | join(" ")' "$work/tests.json")
[ -z "$unsupported" ] || { echo "arm-system.sh: test properties not run in the guest: $unsupported"; exit 1; }
root="$work/root"
mkdir -p "$root"
armsys_stage_system "$sys" "$root"
armsys_stage_build "$root" "$PWD" "$dir"
# One line per test: its properties, environment and command (the
# emulator in front dropped), quoted for bash.
jq -r --arg only "${TANDEL_TESTS:-}" 'def p(n): [.properties[]? | select(.name == n) | .value] | first;
    .tests[] | select((p("LABELS") // []) | index("host") | not) | select(.name | test($only)) |
    (if (.command[0] | endswith("/qemu-arm")) and .command[1] == "-L" then .command[3:] else .command end) as $c |
    "T=(\([.name, (p("TIMEOUT") // 1500 | tostring), (p("WILL_FAIL") // false | tostring),
        (p("SKIP_RETURN_CODE") // "" | tostring), (p("WORKING_DIRECTORY") // "/"),
        ((p("PASS_REGULAR_EXPRESSION") // []) | join("|")), ((p("FAIL_REGULAR_EXPRESSION") // []) | join("|")),
        ((p("SKIP_REGULAR_EXPRESSION") // []) | join("|"))] | @sh)); E=(\((p("ENVIRONMENT") // []) | @sh)); C=(\($c | @sh)); run"' \
    "$work/tests.json" >"$root/tandel/tests.list"
cp scripts/guest/init scripts/guest/suite.sh "$root/tandel/"
guests=$(wc -l <"$root/tandel/tests.list")
armsys_mkfs "$root" "$work/root.img" $(($(du -sm "$root" | cut -f1) + 384))
rm -rf "$root"
staged=$SECONDS

echo "booting $suite's kernel with $mem MB for $guests tests"
rc=0
armsys_boot "$sys" "$work/initrd.gz" "$mem" 3600 "$work/console.log" "tandel.run=suite" "$work/root.img" || rc=$?
grep -v '^tandel-test: passed' "$work/console.log" || true
booted=$(grep -c '^tandel-test: ' "$work/console.log" || true)
passed=$(grep -c '^tandel-test: passed' "$work/console.log" || true)
skipped=$(grep -c '^tandel-test: skipped' "$work/console.log" || true)
failed=$((guests - passed - skipped))
[ "$booted" -eq "$guests" ] || echo "the guest reported $booted of $guests tests (qemu status $rc)"
guest_time=$((SECONDS - staged))

# The host's share: the library checks.
host_passed=0
host_failed=0
if ctest --test-dir "$dir" -L host --output-on-failure >"$work/host.log" 2>&1; then :; fi
host_passed=$(grep -c ' Passed ' "$work/host.log" || true)
host_failed=$(grep -cE '\*\*\*Failed|\*\*\*Not Run|\*\*\*Timeout|\*\*\*Exception' "$work/host.log" || true)
[ "$host_failed" -eq 0 ] || cat "$work/host.log"

echo "build $((built - start)) s, image $((staged - built)) s, guest (boot and $guests tests) $guest_time s;" \
    "$host_passed checks on the host"
echo "$((passed + host_passed)) passed, $((failed + host_failed)) failed, $skipped skipped"
[ $((failed + host_failed)) -eq 0 ]
