# Shared by the emulated-controller scripts (arm-system.sh, powercut.sh;
# sourced, not run): fetches a Debian release's 32-bit ARM kernel and
# the controller's packages, builds the boot image and the ext4 disk
# from a cross build, and boots them under qemu-system-arm.
#
# The kernel (Debian's armmp) runs the virt board; its virtio-mmio,
# virtio-blk and ext4 drivers are modules, which a busybox initramfs
# loads before it switches to the ext4 root. Everything the guest runs
# lies on that root, so the page cache can give it back under small
# memory, and fsync reaches a disk as on the controller.

# Packages of the guest's root: the C library and C++ runtime the
# programs load, busybox for the system, bash, jq, diffutils and
# findutils for the scripted tests, e2fsprogs to check the data disk.
armsys_packages=(libc6 libgcc-s1 libstdc++6 tzdata busybox-static bash libtinfo6 jq libjq1 libonig5
    diffutils findutils libselinux1 libpcre2-8-0 e2fsprogs libext2fs2 libcom-err2 libblkid1 libuuid1 libss2)
# Modules for the disk and its file system; their own dependencies are
# found in each module's depends= field (the package has no modules.dep).
armsys_modules=(virtio_mmio virtio_blk crc32c_generic ext4)

source scripts/armhf-apt.sh

armsys_tools() {
    bash scripts/deps.sh qemu-system-arm e2fsprogs cpio jq locales
}

# Downloads the kernel and armsys_packages of Debian SUITE (bookworm,
# bullseye) once into DIR with a private apt configuration (nothing is
# installed on this machine) and unpacks them into DIR/root; the kernel
# lands in DIR/vmlinuz, its modules under DIR/root/lib/modules.
armsys_fetch() {
    local suite="$1" dir="$2" work="$2.fetch"
    local want="$suite ${armsys_packages[*]}"
    [ -f "$dir/root/.packages" ] && [ "$(head -1 "$dir/root/.packages")" = "$want" ] && return 0
    rm -rf "$work"
    armhf_apt "$work" "$suite"
    # The metapackage names the current kernel package.
    local kernel
    kernel=$(apt-cache "${ARMHF_APT[@]}" depends linux-image-armmp | sed -n 's/^ *Depends: \(linux-image-.*\)/\1/p' | head -1)
    (cd "$work/debs" && apt-get "${ARMHF_APT[@]}" download "$kernel:armhf" "${armsys_packages[@]/%/:armhf}" >/dev/null)
    echo "$want" >"$work/root/.packages"
    for deb in "$work"/debs/*.deb; do
        dpkg-deb -x "$deb" "$work/root"
        basename "$deb" >>"$work/root/.packages"
    done
    # One /usr, as Debian has it since 12: programs name /bin/sh and
    # /usr/bin/bash alike, and the loader is /lib/ld-linux-armhf.so.3.
    local d
    for d in bin sbin lib; do
        if [ -d "$work/root/$d" ] && [ ! -L "$work/root/$d" ]; then
            mkdir -p "$work/root/usr/$d"
            cp -a "$work/root/$d/." "$work/root/usr/$d/"
            rm -rf "${work:?}/root/$d"
        fi
        ln -sfn "usr/$d" "$work/root/$d"
    done
    mv "$work"/root/boot/vmlinuz-* "$work/vmlinuz"
    rm -rf "$work/root/boot" "$work/root/usr/share/doc" "$work/root/usr/share/man" "$work/root/usr/share/locale"
    rm -rf "$dir"
    mkdir -p "$dir"
    mv "$work/root" "$work/vmlinuz" "$dir/"
    rm -rf "$work"
}

# The modules to load, dependencies first, as paths under lib/modules/<version>/.
armsys_module_order() {
    local moddir="$1" done="" out=()
    visit() {
        local name="$1" file deps dep
        case " $done " in *" $name "*) return ;; esac
        done="$done $name"
        file=$(cd "$moddir" && find kernel -name "$name.ko" -o -name "${name//_/-}.ko" | head -1)
        [ -n "$file" ] || { echo "no module $name in $moddir" >&2; return 1; }
        deps=$(tr '\0' '\n' <"$moddir/$file" | sed -n 's/^depends=//p' | head -1)
        for dep in ${deps//,/ }; do visit "$dep"; done
        out+=("$file")
    }
    local m
    for m in "${armsys_modules[@]}"; do visit "$m"; done
    printf '%s\n' "${out[@]}"
}

# The initramfs: busybox, the modules, and an init that loads them,
# mounts the ext4 root (read-only when the command line says
# tandel.root=ro) and hands over to its /tandel/init.
armsys_initramfs() {
    local fetched="$1" out="$2" tmp="$2.d"
    local moddir
    moddir=$(echo "$fetched"/root/usr/lib/modules/*)
    rm -rf "$tmp"
    mkdir -p "$tmp/bin" "$tmp/dev" "$tmp/proc" "$tmp/newroot" "$tmp/modules"
    cp "$fetched/root/usr/bin/busybox" "$tmp/bin/busybox"
    armsys_module_order "$moddir" | while read -r m; do
        cp "$moddir/$m" "$tmp/modules/"
        basename "$m" >>"$tmp/modules/order"
    done
    cat >"$tmp/init" <<'EOF'
#!/bin/busybox sh
# Loads the disk and ext4 drivers and switches to the ext4 root.
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
for m in $(cat /modules/order); do insmod "/modules/$m" || echo "tandel: insmod $m failed"; done
# The root is the disk holding /tandel/init (looked at without replaying
# a journal): the order of the virtio-mmio slots is no promise.
flags=rw
grep -q 'tandel.root=ro' /proc/cmdline && flags=ro
root=""
n=0
while [ -z "$root" ] && [ $n -lt 100 ]; do
    for dev in /dev/vd?; do
        [ -b "$dev" ] && mount -t ext4 -o ro,noload "$dev" /newroot 2>/dev/null || continue
        [ -x /newroot/tandel/init ] && root=$dev
        umount /newroot
    done
    [ -n "$root" ] || sleep 0.1
    n=$((n + 1))
done
mount -t ext4 -o "$flags" "$root" /newroot || { echo "tandel: no root"; cat /proc/partitions; poweroff -f; }
umount /proc
mount --move /dev /newroot/dev
exec switch_root /newroot /tandel/init
EOF
    chmod +x "$tmp/init"
    (cd "$tmp" && find . | cpio -o -H newc --quiet | gzip -1) >"$out"
    rm -rf "$tmp"
}

# Copies the source tree's files (as git sees them) and the build
# tree's programs to the same absolute paths under root: the tests name
# their data and helpers by those paths. The test programs are stripped;
# the libraries stay as built (a test reads the shipped library).
armsys_stage_build() {
    local root="$1" src="$2" build="$3"
    mkdir -p "$root$src" "$root$build"
    # What git tracks or would track: no build trees, no fetched roots.
    (cd "$src" && git ls-files -z -co --exclude-standard | tar --null -T - -cf -) | tar -C "$root$src" -xf -
    (cd "$build" && find . \( -name CMakeFiles -o -name googletest -o -name Testing -o -path ./system \) -prune -o \
        \( -type f -o -type l \) ! -name '*.a' ! -name '*.o' ! -name '*.cmake' ! -name Makefile -print0 |
        tar --null -T - -cf -) | tar -C "$root$build" -xf -
    local t
    for t in "$root$build"/tests/test_*; do
        [ -x "$t" ] && arm-linux-gnueabihf-strip "$t"
    done
    # The emulator wrappers of scripted tests become links to the
    # program itself: the guest runs ARM programs as they are.
    local program
    for t in "$root$build"/run-*; do
        program=$(sed -n 's/^exec .* "\(.*\)" "\$@"$/\1/p' "$t")
        [ -n "$program" ] && ln -sfn "$program" "$t"
    done
}

# The system part of the root: the fetched packages, a hosts file, the
# de_DE.UTF-8 locale (made by the host's localedef; same glibc format
# on both) and the guest's init, which runs what /proc/cmdline asks.
armsys_stage_system() {
    local fetched="$1" root="$2"
    tar -C "$fetched/root" --exclude=./usr/lib/modules -cf - . | tar -C "$root" -xf -
    mkdir -p "$root/tmp" "$root/proc" "$root/sys" "$root/dev" "$root/data" "$root/etc" "$root/tandel"
    chmod 1777 "$root/tmp"
    printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost\n' >"$root/etc/hosts"
    printf 'hosts: files dns\n' >"$root/etc/nsswitch.conf"
    printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
    printf 'root:x:0:\n' >"$root/etc/group"
    ln -sfn /proc/self/mounts "$root/etc/mtab"
    # The zones of the build machine, which wrote the table of local times
    # the tests compare with (the release's tzdata may be another year's).
    rm -rf "$root/usr/share/zoneinfo"
    cp -a /usr/share/zoneinfo "$root/usr/share/zoneinfo"
    mkdir -p "$root/usr/lib/locale"
    localedef -i de_DE -f UTF-8 "$root/usr/lib/locale/de_DE.UTF-8" 2>/dev/null ||
        [ -d "$root/usr/lib/locale/de_DE.UTF-8" ]
    # busybox supplies what the packages do not (sh, mount, timeout...).
    local applet
    for applet in $(qemu-arm "$root/usr/bin/busybox" --list); do
        [ -e "$root/usr/bin/$applet" ] || [ -e "$root/usr/sbin/$applet" ] || ln -s busybox "$root/usr/bin/$applet"
    done
}

# Makes an ext4 image of size MB from a directory.
armsys_mkfs() {
    local dir="$1" image="$2" mb="$3"
    rm -f "$image"
    mke2fs -q -t ext4 -L tandel -d "$dir" "$image" "${mb}M"
}

# The qemu command for kernel and initramfs with disk images (virtio-mmio,
# cache mode ARMSYS_CACHE, default writeback); memory MB, kernel
# parameters in APPEND. The console is standard output.
armsys_qemu() {
    local fetched="$1" initrd="$2" mem="$3" append="$4"
    shift 4
    local drives=() i=0 image
    for image in "$@"; do
        drives+=(-drive "file=$image,format=raw,if=none,id=d$i,cache=${ARMSYS_CACHE:-writeback}"
            -device "virtio-blk-device,drive=d$i")
        i=$((i + 1))
    done
    # A translation cache of 256 MB, not qemu's 1 GB: the machine is shared.
    exec nice qemu-system-arm -M virt -cpu cortex-a15 -m "$mem" -accel tcg,tb-size=256 -nographic -monitor none \
        -nic none -no-reboot \
        -kernel "$fetched/vmlinuz" -initrd "$initrd" -append "console=ttyAMA0 panic=-1 quiet $append" "${drives[@]}"
}

# Boots as armsys_qemu for at most SECONDS, the console to LOG; qemu's
# status (137 when the guest ran out of time).
armsys_boot() {
    local fetched="$1" initrd="$2" mem="$3" seconds="$4" log="$5" append="$6"
    shift 6
    (armsys_qemu "$fetched" "$initrd" "$mem" "$append" "$@") </dev/null >"$log" 2>&1 &
    local qemu=$! waited=0
    while kill -0 $qemu 2>/dev/null && [ $waited -lt "$seconds" ]; do
        sleep 1
        waited=$((waited + 1))
    done
    kill -KILL $qemu 2>/dev/null || true
    local rc=0
    wait $qemu || rc=$?
    sed -i 's/\r$//' "$log" # the serial console ends lines with CR LF
    return $rc
}

# Cross builds into DIR (Debian SUITE's C library for bullseye, with
# 32-bit time_t) and makes the guest: ARMSYS_SYS the fetched kernel and
# packages, ARMSYS_WORK=DIR/system with initrd.gz and root.img, whose
# /tandel holds the guest's scripts and the list of tests to run there.
armsys_prepare() {
    local suite="$1" dir="$2"
    shift 2
    local cmake_extra=()
    if [ "$suite" = bullseye ]; then
        # The build root of scripts/arm-oldglibc.sh (fetched there once).
        local sysroot="$PWD/build-sysroot/debian11-armhf"
        [ -f "$sysroot/.packages" ] || TANDEL_SYSROOT="" bash scripts/arm-oldglibc.sh --fetch-only
        cmake_extra=(-DTANDEL_TIME64=OFF -DTANDEL_SYSROOT="$sysroot")
    fi
    bash scripts/deps.sh g++-arm-linux-gnueabihf qemu-user googletest binutils-arm-linux-gnueabihf
    armsys_tools
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake "${cmake_extra[@]}" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
    dir=$(cd "$dir" && pwd)
    ARMSYS_SYS="$PWD/build-armsys/$suite"
    ARMSYS_WORK="$dir/system"
    armsys_fetch "$suite" "$ARMSYS_SYS"
    rm -rf "$ARMSYS_WORK"
    mkdir -p "$ARMSYS_WORK"
    armsys_initramfs "$ARMSYS_SYS" "$ARMSYS_WORK/initrd.gz"
    local root="$ARMSYS_WORK/root"
    mkdir -p "$root"
    armsys_stage_system "$ARMSYS_SYS" "$root"
    armsys_stage_build "$root" "$PWD" "$dir"
    cp scripts/guest/* "$root/tandel/"
    echo "$dir/powercut" >"$root/tandel/powercut-program"
    armsys_test_list "$dir" >"$root/tandel/tests.list"
    armsys_mkfs "$root" "$ARMSYS_WORK/root.img" $(($(du -sm "$root" | cut -f1) + 384))
    rm -rf "$root"
}

# The tests of build DIR that run in the guest, one line each: properties,
# environment and command (the emulator and its options in front
# dropped), quoted for bash. Only those matching the expression
# TANDEL_TESTS when it is set.
# The library checks with the target's binutils (label "host") stay here.
# The guest runs one test at a time, which honours RUN_SERIAL and locks.
armsys_test_list() {
    local dir="$1" unsupported
    ctest --test-dir "$dir" --show-only=json-v1 >"$dir/system/tests.json"
    unsupported=$(jq -r '[.tests[].properties[]?.name] | unique - ["ENVIRONMENT", "WORKING_DIRECTORY",
        "TIMEOUT", "WILL_FAIL", "SKIP_RETURN_CODE", "SKIP_REGULAR_EXPRESSION", "PASS_REGULAR_EXPRESSION",
        "FAIL_REGULAR_EXPRESSION", "LABELS", "RUN_SERIAL", "RESOURCE_LOCK"] | join(" ")' "$dir/system/tests.json")
    [ -z "$unsupported" ] || { echo "test properties the guest cannot honour: $unsupported" >&2; return 1; }
    jq -r --arg only "${TANDEL_TESTS:-}" 'def p(n): [.properties[]? | select(.name == n) | .value] | first;
        .tests[] | select((p("LABELS") // []) | index("host") | not) | select(.name | test($only)) |
        (if (.command[0] | endswith("/qemu-arm")) then [.command[1:] | recurse(if .[0] == "-L" or .[0] == "-E"
            then .[2:] else empty end)] | last else .command end) as $c |
        "T=(\([.name, (p("TIMEOUT") // 1500 | tostring), (p("WILL_FAIL") // false | tostring),
            (p("SKIP_RETURN_CODE") // "" | tostring), (p("WORKING_DIRECTORY") // "/"),
            ((p("PASS_REGULAR_EXPRESSION") // []) | join("|")), ((p("FAIL_REGULAR_EXPRESSION") // []) | join("|")),
            ((p("SKIP_REGULAR_EXPRESSION") // []) | join("|"))] | @sh)); E=(\((p("ENVIRONMENT") // []) | @sh));" +
        " C=(\($c | @sh)); run"' "$dir/system/tests.json"
}

# The memory table for BENCHMARKS.md from the driver's lines
# "memdriver: CASE GROWTH PEAK BOUND met|missed".
armsys_memory_table() {
    local lines="$1" mem="$2" suite="$3" what case growth peak bound verdict
    echo "## Peak memory on the controller"
    echo
    echo "Written by \`scripts/arm-system.sh --memory\` on $(date -u +%F): \`bench/memdriver.cpp\` on the emulated"
    echo "controller ($suite's 32-bit ARM kernel, $mem MB), each case in a fresh process. Growth is the"
    echo "process's VmHWM after the operation less before it (the program and libraries loaded), in KB."
    echo
    echo "| Case | growth KB | VmHWM KB | bound KB | status |"
    echo "|---|---|---|---|---|"
    while read -r _ case growth peak bound verdict; do
        case $case in
        list-small) what="job list of 1,000 jobs of 1.9 KB (2 samples)" ;;
        list-large) what="job list of 1,000 jobs of 17 KB (20 samples)" ;;
        requests) what="requests of a job with 1,000 lab measurements (410 KB)" ;;
        merge) what="merge of two such jobs" ;;
        decode) what="decode of the largest message (2040 bytes)" ;;
        print) what="print of a tree 5,000 deep (25 MB of text)" ;;
        *) what=$case ;;
        esac
        echo "| $what | $growth | $peak | $bound | $verdict |"
    done <"$lines"
    echo
    echo "Bounds: the list keeps descriptors, not files: 2 MB for 1,000 jobs (a descriptor, its texts and the"
    echo "allocator's share), whatever the files' sizes: both directories take about the same, though one"
    echo "holds nine times the bytes. The requests hold the job's tree and the list: 6 bytes per file byte"
    echo "and 512 KB. The merge holds Base's, News' and the merged tree: 18 bytes per file byte and 512 KB. The"
    echo "decode holds one small tree (256 KB); the deep print the tree and one write block, never the text"
    echo "(2 MB for 5,000 levels)."
}
