#!/bin/bash
# Builds the Debian packages (libtandelcntrl1, liblogtracer,
# libtandelcntrl-dev, jobtool) from a copy of the tree as git has it
# (tracked files and new ones not ignored), installing what the build
# needs, and checks them with lintian: no error may remain.
# Usage: scripts/package.sh [native|armhf] [out-dir]
#   native  dpkg-buildpackage -us -uc -b, with the test suite
#           (DEB_BUILD_OPTIONS=nocheck leaves it out)
#   armhf   dpkg-buildpackage -aarmhf -Pcross,nocheck -us -uc -b
# The packages land in out-dir (default build-deb/<native|armhf>).
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-native}"
out="${2:-build-deb/$mode}"
start=$SECONDS
case $mode in
native) build=(-us -uc -b -J"$(nproc)") check=() ;;
armhf) build=(-aarmhf -Pcross,nocheck -us -uc -b -J"$(nproc)") check=(-a armhf -P cross,nocheck) ;;
*) echo "usage: $0 [native|armhf] [out-dir]" >&2; exit 2 ;;
esac
bash scripts/deps.sh dpkg-dev debhelper fakeroot lintian $([ "$mode" = armhf ] && echo crossbuild-essential-armhf)
if [ "$mode" = armhf ]; then
    # dpkg-shlibdeps takes the dependencies on the C and C++ runtime
    # from their armhf packages (the cross toolchain's copies would name
    # packages no controller has): armhf as a second architecture.
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
        if [ "${TANDEL_NO_APT:-0}" = 1 ]; then
            echo "scripts/package.sh: armhf is no architecture of dpkg here: dpkg --add-architecture armhf" >&2
        else
            SUDO=""
            [ "$(id -u)" -ne 0 ] && SUDO="sudo"
            $SUDO dpkg --add-architecture armhf
            $SUDO apt-get update -q
        fi
    fi
    bash scripts/deps.sh libc6:armhf libstdc++6:armhf libgcc-s1:armhf
fi
# The build dependencies that debian/control names and this machine lacks.
unmet=$(dpkg-checkbuilddeps "${check[@]}" 2>&1 | sed -n 's/.*Unmet build dependencies: //p' |
    sed 's/([^)]*)//g; s/<[^>]*>//g; s/\[[^]]*\]//g; s/:native//g; s/|/ /g')
[ -z "$unmet" ] || bash scripts/deps.sh $unmet

version=$(dpkg-parsechangelog -SVersion)
rm -rf "$out"
src="$out/tandelcntrl-$version"
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -C "$src" -xf -
echo "building the $mode packages of tandelcntrl $version in $src"
if ! (cd "$src" && dpkg-buildpackage "${build[@]}") >"$out/build.log" 2>&1; then
    tail -60 "$out/build.log"
    echo "dpkg-buildpackage failed: $out/build.log"
    exit 1
fi
grep -E '^(dpkg-gensymbols|dpkg-shlibdeps): warning' "$out/build.log" || true
ls -l "$out"/*.deb
changes=$(ls "$out"/*.changes)
rc=0
lintian --fail-on error "$changes" >"$out/lintian.log" 2>&1 || rc=$?
grep -v 'running with root privileges' "$out/lintian.log" || true # lintian as root warns about itself
[ "$rc" -eq 0 ] || { echo "lintian reports errors"; exit 1; }
echo "$mode packages built and checked in $((SECONDS - start)) s"
