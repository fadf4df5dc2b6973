#!/bin/bash
# The ABI guard of libTandelCntrl.so (abigail-tools):
#   check RECORD LIBRARY   fails on any change against the record but added
#                          functions and variables, and says what changed
#   record RECORD LIBRARY  writes the record anew (README: when, and when
#                          the soname changes with it)
# The record holds the exported functions and variables and the types
# they reach, without source lines and with each source file named by
# its directory and name only, so that it is the same from any tree.
set -euo pipefail
command -v abidw >/dev/null || { echo "abidw is missing: bash scripts/deps.sh installs abigail-tools"; exit 1; }
abidw() { # abidw OUT LIBRARY
    command abidw --no-corpus-path --no-comp-dir-path --no-show-locs --type-id-style hash \
        --exported-interfaces-only "$2" | sed -E "s|(<abi-instr [^>]*path=')[^']*/([^/']+/[^/']+')|\1\2|" >"$1"
}
case $1 in
record)
    abidw "$2" "$3"
    ;;
check)
    [ -f "$2" ] || { echo "no ABI record $2: cmake --build BUILD --target abi writes it"; exit 1; }
    work=$(mktemp -d "${TMPDIR:-/tmp}/tandel-abi.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    abidw "$work/now.abi" "$3"
    rc=0
    abidiff --no-added-syms "$2" "$work/now.abi" >"$work/report" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ]; then
        cat "$work/report"
        echo "abidiff status $rc: $3 is not compatible with $2."
        echo "Undo the change, or make it on purpose: a changed or removed interface needs a new soname"
        echo "(the major version in CMakeLists.txt); then write the record anew (cmake --build BUILD --target abi)."
        exit 1
    fi
    ;;
*) echo "usage: $0 check|record RECORD LIBRARY" >&2; exit 2 ;;
esac
