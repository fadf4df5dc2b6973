#!/bin/bash
# The ARM build for controllers with an older glibc: 32-bit time_t
# (TANDEL_TIME64=OFF) against Debian 11's C library (glibc 2.31) and C++
# runtime, then the whole suite under qemu-arm with that root, which
# shows that the library loads and works there.
# Usage: scripts/arm-oldglibc.sh [build-dir] [extra cmake options...]
#        scripts/arm-oldglibc.sh --fetch-only (the root alone, for arm-system.sh)
# The root is fetched once into build-sysroot/; TANDEL_SYSROOT=<dir> in
# the environment uses a root made elsewhere instead.
set -euo pipefail
cd "$(dirname "$0")/.."
suite=bullseye
source scripts/armhf-apt.sh
packages=(libc6 libc6-dev linux-libc-dev libstdc++-10-dev libstdc++6 libgcc-s1)

# Downloads the packages (scripts/armhf-apt.sh) and unpacks them into
# the root.
fetch_root() {
    local root="$1" work="$1.fetch"
    rm -rf "$work"
    armhf_apt "$work" "$suite"
    (cd "$work/debs" && apt-get "${ARMHF_APT[@]}" download "${packages[@]/%/:armhf}" >/dev/null)
    for deb in "$work"/debs/*.deb; do
        dpkg-deb -x "$deb" "$work/root"
        basename "$deb" >>"$work/root/.packages"
    done
    # /lib merged into /usr/lib, as Debian does since 12: every library
    # lies under /lib too, where qemu-arm's loader looks first.
    cp -a "$work/root/lib/." "$work/root/usr/lib/"
    rm -rf "$work/root/lib"
    ln -s usr/lib "$work/root/lib"
    # Absolute links (libm.so -> /lib/...) must stay inside the root.
    find "$work/root" -type l -lname '/*' | while read -r link; do
        ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$work/root$(readlink "$link")")" "$link"
    done
    rm -rf "$root"
    mv "$work/root" "$root"
    rm -rf "$work"
}

if [ -n "${TANDEL_SYSROOT:-}" ]; then
    root="$TANDEL_SYSROOT"
else
    root="$PWD/build-sysroot/debian11-armhf"
    [ -f "$root/.packages" ] || { mkdir -p build-sysroot && fetch_root "$root"; }
    echo "sysroot $root:" $(cat "$root/.packages")
fi
[ "${1:-}" != --fetch-only ] || exit 0
dir="${1:-build-arm-oldglibc}"
shift || true
bash scripts/arm.sh "$dir" -DTANDEL_TIME64=OFF -DTANDEL_SYSROOT="$root" "$@"
