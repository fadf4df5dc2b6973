#!/bin/bash
# Installs the build tree into a temporary prefix and builds a small C
# program against it with pkg-config and with find_package.
# Usage: test_jobtool_install.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/tandel-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/p" >/dev/null
test -L "$work/p/lib/libTandelCntrl.so" && test -L "$work/p/lib/libTandelCntrl.so.1"
"$work/p/bin/jobtool" format 1026 7.5 | grep -qx '7.50'
cat >"$work/main.c" <<'C'
#include <stdio.h>
#include <TandelCntrl.h>
int main(void) { char t[16]; formatMeasurementString(t, 1026, 7.5); puts(t); return 0; }
C
export PKG_CONFIG_PATH="$work/p/lib/pkgconfig"
cc "$work/main.c" -o "$work/bypc" $(pkg-config --cflags --libs TandelCntrl)
LD_LIBRARY_PATH="$work/p/lib" "$work/bypc" | grep -qx '7.50'
cat >"$work/CMakeLists.txt" <<'C'
cmake_minimum_required(VERSION 3.16)
project(user C)
find_package(TandelCntrl 1 REQUIRED)
add_executable(bycmake main.c)
target_link_libraries(bycmake PRIVATE TandelCntrl::TandelCntrl)
C
cmake -S "$work" -B "$work/b" -DCMAKE_PREFIX_PATH="$work/p" >/dev/null
cmake --build "$work/b" >/dev/null
LD_LIBRARY_PATH="$work/p/lib" "$work/b/bycmake" | grep -qx '7.50'
echo "1 passed, 0 failed"
