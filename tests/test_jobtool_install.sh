#!/bin/bash
# Installs BUILD_DIR into a temporary prefix: jobtool and two programs built against it (pkg-config
# with -Wl,-rpath; find_package, whose build-tree RPATH CMake sets) run without LD_LIBRARY_PATH.
set -euo pipefail
work=$(mktemp -d "${TMPDIR:-/tmp}/tandel-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH
cmake --install "$1" --prefix "$work/p" >/dev/null
for l in libTandelCntrl.so libTandelCntrl.so.1; do test -L "$work/p/lib/$l"; done
readelf -d "$work/p/lib/libTandelCntrl.so" | grep 'RUNPATH.*\[\$ORIGIN\]' >/dev/null
"$work/p/bin/jobtool" format 1026 7.5 | grep -qx '7.50'
printf '#include <stdio.h>\n#include <TandelCntrl.h>\nint main(void) { char t[16]; %s }\n' \
  'formatMeasurementString(t, 1026, 7.5); puts(t); return 0;' >"$work/main.c"
export PKG_CONFIG_PATH="$work/p/lib/pkgconfig"
cc "$work/main.c" -o "$work/bypc" $(pkg-config --cflags --libs TandelCntrl) -Wl,-rpath,"$work/p/lib"
"$work/bypc" | grep -qx '7.50'
printf '%s\n' 'cmake_minimum_required(VERSION 3.16)' 'project(user C)' 'find_package(TandelCntrl 1 REQUIRED)' \
  'add_executable(bycmake main.c)' 'target_link_libraries(bycmake PRIVATE TandelCntrl::TandelCntrl)' >"$work/CMakeLists.txt"
cmake -S "$work" -B "$work/b" -DCMAKE_PREFIX_PATH="$work/p" >/dev/null
cmake --build "$work/b" >/dev/null
"$work/b/bycmake" | grep -qx '7.50'
# a controller image: the same files under DESTDIR with the image's prefix
DESTDIR="$work/img" cmake --install "$1" --prefix /usr >/dev/null
cd "$work/img/usr"
ls bin/jobtool include/TandelCntrl.h lib/libTandelCntrl.so.1 lib/libLogTracer.so \
  lib/pkgconfig/TandelCntrl.pc lib/cmake/TandelCntrl/TandelCntrlConfig.cmake >/dev/null
