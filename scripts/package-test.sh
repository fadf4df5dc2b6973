#!/bin/bash
# Tests the built packages (scripts/package.sh) as a controller image or
# a developer gets them.
# Usage: scripts/package-test.sh native [deb-dir]   (default build-deb/native)
#   installs the packages on this machine, builds examples/printjob.c
#   against the installed libtandelcntrl-dev with pkg-config and with
#   find_package, runs it and jobtool with no environment, finds the
#   manual pages and the completion, then purges the packages and
#   checks that none of their files is left.
# Usage: scripts/package-test.sh armhf [deb-dir]    (default build-deb/armhf)
#   unpacks them into a copy of the Debian 12 armhf root of the emulated
#   controller (scripts/armsys.sh fetches it once), cross builds printjob
#   against it with pkg-config and runs printjob and jobtool there under
#   qemu-arm -L.
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-native}"
debs="${2:-build-deb/$mode}"
start=$SECONDS
packages=(libtandelcntrl1 liblogtracer libtandelcntrl-dev jobtool)
files=()
for p in "${packages[@]}"; do
    f=$(ls "$debs/${p}_"*.deb 2>/dev/null | head -1)
    [ -n "$f" ] || { echo "no $p package in $debs: scripts/package.sh $mode"; exit 1; }
    files+=("$(realpath "$f")")
done
src=$PWD
work=$(mktemp -d "${TMPDIR:-/tmp}/tandel-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0 passed=0
check() { # check WHAT COMMAND...: COMMAND must succeed
    local what=$1; shift
    if "$@" >"$work/out" 2>&1; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $what"; cat "$work/out"; fi
}
same() { [ "$1" = "$2" ] || { echo "got '$1', expected '$2'"; return 1; }; }
bare() { env -i "$@"; } # no environment at all: no PATH, TZ or LD_LIBRARY_PATH
printjob_ok() { bare "$@" "$src/examples/jobs/job-1001.xml" | cmp - "$src/examples/jobs/job-1001.xml"; }

if [ "$mode" = armhf ]; then
    bash scripts/deps.sh qemu-user gcc-arm-linux-gnueabihf pkg-config
    source scripts/armsys.sh
    armsys_fetch bookworm "$PWD/build-armsys/bookworm"
    root=$work/root
    cp -al build-armsys/bookworm/root "$root"
    rm -rf "$root/usr/lib/modules"
    for f in "${files[@]}"; do dpkg-deb -x "$f" "$root"; done
    pc=$root/usr/lib/arm-linux-gnueabihf/pkgconfig
    check "printjob cross built with pkg-config against the unpacked -dev package" \
        arm-linux-gnueabihf-gcc "$src/examples/printjob.c" -o "$work/printjob" \
        $(PKG_CONFIG_LIBDIR=$pc pkg-config --cflags --libs TandelCntrl)
    check "printjob under qemu-arm -L the root" printjob_ok /usr/bin/qemu-arm -L "$root" "$work/printjob"
    check "jobtool --version under qemu-arm -L the root" \
        same "$(bare /usr/bin/qemu-arm -L "$root" "$root/usr/bin/jobtool" --version | head -1)" "jobtool $(dpkg-deb -f "${files[3]}" Version)"
    check "no dependency on a cross toolchain package" \
        bash -c "! for f in ${files[*]}; do dpkg-deb -f \$f Depends; done | grep -- -cross"
    check "libtandelcntrl1 depends on the C library and the tracer" \
        bash -c "dpkg-deb -f ${files[0]} Depends | grep -E '^libc6 \(>= [0-9.]+\), liblogtracer$'"
else
    bash scripts/deps.sh cmake gcc pkg-config man-db bash-completion
    # dpkg-query fails when one of them is unknown, the usual case.
    installed=$( (dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null || true) | awk '/^ii/ {print $2}')
    [ -z "$installed" ] || echo "note: replacing the installed packages" $installed
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${files[@]}" >"$work/install.log" 2>&1 ||
        { cat "$work/install.log"; exit 1; }
    for p in "${packages[@]}"; do dpkg -L "$p"; done | grep -vx '/\.' | sort -u >"$work/owned"
    trap 'DEBIAN_FRONTEND=noninteractive dpkg --purge "${packages[@]}" >/dev/null 2>&1; rm -rf "$work"' EXIT

    check "printjob built with pkg-config" \
        bash -c "cc '$src/examples/printjob.c' -o '$work/printjob-pc' \$(pkg-config --cflags --libs TandelCntrl)"
    check "printjob (pkg-config) runs with no environment" printjob_ok "$work/printjob-pc"
    mkdir "$work/proj"
    cp "$src/examples/printjob.c" "$work/proj/"
    printf '%s\n' 'cmake_minimum_required(VERSION 3.16)' 'project(printjob C)' \
        'find_package(TandelCntrl 1 REQUIRED)' 'add_executable(printjob printjob.c)' \
        'target_link_libraries(printjob PRIVATE TandelCntrl::TandelCntrl)' >"$work/proj/CMakeLists.txt"
    check "printjob built with find_package" \
        bash -c "cmake -S '$work/proj' -B '$work/proj/b' && cmake --build '$work/proj/b'"
    check "printjob (find_package) runs with no environment" printjob_ok "$work/proj/b/printjob"
    check "jobtool --version with no environment" \
        same "$(bare /usr/bin/jobtool --version)" "$(printf 'jobtool %s\nlibTandelCntrl %s (soname libTandelCntrl.so.1)' \
            "$(dpkg-query -W -f='${Version}' jobtool)" "$(dpkg-query -W -f='${Version}' libtandelcntrl1)")"
    check "jobtool check with no environment" bare /usr/bin/jobtool check "$src/examples/sensorjobs/job-1001.sjb"
    check "jobtool format with no environment" same "$(bare /usr/bin/jobtool format 386 3.6149)" 3.61
    for page in jobtool libTandelCntrl; do
        check "man finds $page" bash -c "man -w $page | grep -q '/usr/share/man/man[13]/$page\.[13]\.gz$'"
        check "man renders $page without a warning" \
            bash -c "out=\$(MANWIDTH=80 man --warnings $page 2>&1 >/dev/null); [ -z \"\$out\" ] || { echo \"\$out\"; false; }"
    done
    check "bash-completion loads jobtool's completion" \
        bash -c 'source /usr/share/bash-completion/bash_completion && __load_completion jobtool && complete -p jobtool'

    DEBIAN_FRONTEND=noninteractive dpkg --purge "${packages[@]}" >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; exit 1; }
    # Every file of theirs gone; a directory left must belong to another package.
    left=$(while read -r path; do
        if [ -d "$path" ] && [ ! -L "$path" ]; then
            dpkg -S "$path" >/dev/null 2>&1 || echo "$path"
        elif [ -e "$path" ] || [ -L "$path" ]; then
            echo "$path"
        fi
    done <"$work/owned")
    check "dpkg --purge leaves nothing of the packages" same "$left" ""
fi
echo "package test ($mode) took $((SECONDS - start)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
