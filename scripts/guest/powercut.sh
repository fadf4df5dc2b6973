# One boot of a power-cut run (scripts/powercut.sh): replays the data
# disk's journal by mounting it, checks it with e2fsck -n unmounted,
# then has the powercut program judge the job directory and write on
# until the host cuts the power. Parameters come on the command line:
# tandel.seed, tandel.done, tandel.news, tandel.data (ext4's data= mode),
# tandel.check=1 for a last boot that only checks.
cmdline=$(cat /proc/cmdline)
arg() { echo "$cmdline" | sed -n "s/.*tandel\.$1=\([^ ]*\).*/\1/p"; }
mode=$(arg data)
# The data disk is the one that is not the root.
disk=$(for d in /dev/vd?; do grep -q "^$d / " /proc/mounts || echo "$d"; done | head -1)
mount -t ext4 -o "data=$mode" "$disk" /data || echo "powercut: FSCK the data disk does not mount"
umount /data
fsck=$(e2fsck -fn "$disk" 2>&1) || { echo "powercut: FSCK e2fsck -n found faults:"; echo "$fsck"; }
mount -t ext4 -o "data=$mode" "$disk" /data || exit 1
"$(cat /tandel/powercut-program)" "$(arg seed)" /data "$(arg done)" "$(arg news)" \
    $([ "$(arg check)" = 1 ] && echo check)
umount /data
