#!/bin/bash
# Installs the build tree into a temporary prefix and runs jobtool and two
# small C programs built against it, one with pkg-config and one with
# find_package, without LD_LIBRARY_PATH. The pkg-config one links with
# -Wl,-rpath as a program for a prefix outside the loader's paths must;
# CMake gives its build-tree program that RPATH itself.
# Usage: test_jobtool_install.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/tandel-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH
cmake --install "$build" --prefix "$work/p" >/dev/null
test -L "$work/p/lib/libTandelCntrl.so" && test -L "$work/p/lib/libTandelCntrl.so.1"
readelf -d "$work/p/lib/libTandelCntrl.so" | grep -q 'RUNPATH.*\[\$ORIGIN\]'
"$work/p/bin/jobtool" format 1026 7.5 | grep -qx '7.50'
cat >"$work/main.c" <<'C'
#include <stdio.h>
#include <TandelCntrl.h>
int main(void) { char t[16]; formatMeasurementString(t, 1026, 7.5); puts(t); return 0; }
C
export PKG_CONFIG_PATH="$work/p/lib/pkgconfig"
cc "$work/main.c" -o "$work/bypc" $(pkg-config --cflags --libs TandelCntrl) -Wl,-rpath,"$work/p/lib"
"$work/bypc" | grep -qx '7.50'
cat >"$work/CMakeLists.txt" <<'C'
cmake_minimum_required(VERSION 3.16)
project(user C)
find_package(TandelCntrl 1 REQUIRED)
add_executable(bycmake main.c)
target_link_libraries(bycmake PRIVATE TandelCntrl::TandelCntrl)
C
cmake -S "$work" -B "$work/b" -DCMAKE_PREFIX_PATH="$work/p" >/dev/null
cmake --build "$work/b" >/dev/null
"$work/b/bycmake" | grep -qx '7.50'
# A controller image: the same files under DESTDIR with the image's prefix.
DESTDIR="$work/img" cmake --install "$build" --prefix /usr >/dev/null
(cd "$work/img" && find . -type f -o -type l | sort) >"$work/files"
for f in ./usr/bin/jobtool ./usr/include/TandelCntrl.h ./usr/lib/libTandelCntrl.so.1 ./usr/lib/libLogTracer.so \
         ./usr/lib/pkgconfig/TandelCntrl.pc ./usr/lib/cmake/TandelCntrl/TandelCntrlConfig.cmake; do
  grep -qx "$f" "$work/files" || { echo "image lacks $f"; cat "$work/files"; exit 1; }
done
echo "1 passed, 0 failed"
