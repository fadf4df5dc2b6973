#!/bin/bash
# Power cuts on the emulated controller: in the guest the powercut
# program (tools/powercut.cpp) enters and removes lab results and merges
# new versions into a job directory on ext4, one console line per step
# completed; here qemu is killed at seeded random moments (the disk with
# cache=none: what the guest wrote reaches the image, its page cache is
# lost), and each boot after a cut runs e2fsck -n and checks that every
# job file holds the state before or after the operation in flight, that
# nothing reported complete is lost, that a merged News is gone and an
# unmerged one is there, and that no temporary outlives the next write.
# Once with ext4's default data=ordered, once with data=writeback.
# Usage: scripts/powercut.sh [build-dir] [cuts per mode (default 50)] [seed]
# The build dir is made as scripts/arm-system.sh makes it (Debian 12).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/armsys.sh
dir="${1:-build-arm-system}"
cuts="${2:-50}"
seed="${3:-1}"
armsys_prepare bookworm "$dir"
work="$ARMSYS_WORK"
RANDOM=$seed
start=$SECONDS

# Boots once in the background; kills the guest a random 0.2 to 4 s
# after it starts writing (or lets a check-only boot end). The console
# goes to $log, emptied here first: the previous boot's "writing" must
# not be taken for this one's.
boot() {
    local append="tandel.run=powercut tandel.root=ro tandel.seed=$seed tandel.data=$mode $1" waited=0
    : >"$log"
    ARMSYS_CACHE=none armsys_qemu "$ARMSYS_SYS" "$work/initrd.gz" 128 "$append" "$work/root.img" "$data" \
        </dev/null >"$log" 2>&1 &
    local qemu=$!
    while kill -0 $qemu 2>/dev/null; do
        if grep -q '^powercut: writing' "$log"; then
            sleep "$(printf '%d.%03d' $((RANDOM % 4)) $((200 + RANDOM % 800)))"
            kill -KILL $qemu 2>/dev/null || true
            break
        fi
        sleep 0.1
        waited=$((waited + 1))
        [ $waited -lt 3000 ] || { echo "boot did not start writing in 300 s"; kill -KILL $qemu; }
    done
    wait $qemu 2>/dev/null || true
    sed -i 's/\r$//' "$log" # the serial console ends lines with CR LF
}

failed_modes=0
for mode in ordered writeback; do
    data="$work/data-$mode.img"
    log="$work/powercut-$mode.log"
    rm -f "$data" "$work"/powercut-$mode-*.log
    mke2fs -q -t ext4 -L data "$data" 32M
    done_ops=0
    news=0
    lost=0
    torn=0
    other=0
    mode_start=$SECONDS
    for cut in $(seq 0 "$cuts"); do
        # The last boot only checks what the last cut left.
        last_boot=""
        [ "$cut" -lt "$cuts" ] || last_boot="tandel.check=1"
        boot "tandel.done=$done_ops tandel.news=$news $last_boot"
        cp "$log" "$work/powercut-$mode-$cut.log"
        grep -E '^powercut: (LOST|TORN|NEWS|TEMP|FSCK|FAIL)' "$log" | sed "s/^/cut $cut: /" || true
        lost=$((lost + $(grep -c '^powercut: LOST' "$log" || true)))
        torn=$((torn + $(grep -c '^powercut: TORN' "$log" || true)))
        other=$((other + $(grep -cE '^powercut: (NEWS|TEMP|FSCK|FAIL)' "$log" || true)))
        grep -qE '^powercut: (checked|started)' "$log" || { echo "cut $cut: the guest did not check"; other=$((other + 1)); }
        last=$(grep -o '^powercut: done [0-9]*' "$log" | tail -1 | cut -d' ' -f3 || true)
        [ -z "$last" ] || done_ops=$((last + 1))
        news=0
        ! grep -q "^powercut: news $done_ops\$" "$log" || news=1
    done
    e2fsck -fn "$data" >"$work/e2fsck-$mode.log" 2>&1 || { echo "e2fsck -n here:"; cat "$work/e2fsck-$mode.log"; other=$((other + 1)); }
    echo "data=$mode: $cuts cuts, $done_ops operations, $lost lost, $torn torn, $other other faults," \
        "$((SECONDS - mode_start)) s"
    [ $((lost + torn + other)) -eq 0 ] || failed_modes=$((failed_modes + 1))
done
echo "power cuts took $((SECONDS - start)) s"
echo "$((2 - failed_modes)) passed, $failed_modes failed"
[ $failed_modes -eq 0 ]
