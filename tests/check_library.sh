#!/bin/bash
# Checks the built libTandelCntrl.so as it would be deployed.
#   check_library.sh exports NM LIBRARY HEADER
#     the dynamic symbol table defines exactly the header's TANDEL_API names
#   check_library.sh needed READELF LIBRARY
#     the library needs only libc, libm, the tracer and libgcc at run time
#   check_library.sh glibc OBJDUMP LIBRARY FLOOR
#     no imported symbol needs a glibc newer than FLOOR (e.g. 2.28)
# NM, READELF and OBJDUMP are the target's tools (the cross ones for ARM builds).
set -euo pipefail
mode="$1"
shift

case "$mode" in
exports)
    nm_tool="$1" lib="$2" header="$3"
    want=$(sed -n 's/^TANDEL_API \([^([]*\)[([].*/\1/p' "$header" | grep -o '[A-Za-z_][A-Za-z0-9_]*$' | sort -u)
    have=$("$nm_tool" -D --defined-only "$lib" | awk 'NF >= 3 { print $3 }' | sort -u)
    [ -n "$want" ] || { echo "no TANDEL_API names found in $header"; exit 1; }
    if [ "$want" != "$have" ]; then
        echo "exported symbols differ from the header (< header only, > library only):"
        diff <(echo "$want") <(echo "$have") | grep '^[<>]' || true
        exit 1
    fi
    echo "exports: $(echo "$want" | wc -l) names, as in the header"
    ;;
needed)
    readelf_tool="$1" lib="$2"
    needed=$("$readelf_tool" -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    bad=$(echo "$needed" | grep -Ev '^(libc\.so\.6|libm\.so\.6|libLogTracer\.so|libgcc_s\.so\.1|ld-linux[-a-z0-9_.]*\.so\.[0-9]+)$' || true)
    if [ -n "$bad" ]; then
        echo "unexpected run-time dependencies:" $bad
        exit 1
    fi
    echo "needed:" $needed
    ;;
glibc)
    objdump_tool="$1" lib="$2" floor="$3"
    imports=$("$objdump_tool" -T "$lib" | sed -n 's/.*(GLIBC_\([0-9.]*\)) *\([^ ]*\)$/\1 \2/p')
    [ -n "$imports" ] || { echo "no versioned glibc imports found in $lib"; exit 1; }
    newer=$(while read -r v name; do
        [ "$(printf '%s\n%s\n' "$v" "$floor" | sort -V | tail -1)" = "$floor" ] || echo "$name (GLIBC_$v)"
    done <<<"$imports")
    if [ -n "$newer" ]; then
        echo "symbols that need a glibc newer than $floor:" $newer
        exit 1
    fi
    echo "glibc $floor is enough: newest import GLIBC_$(cut -d' ' -f1 <<<"$imports" | sort -uV | tail -1)"
    ;;
*)
    echo "usage: $0 exports NM LIBRARY HEADER | needed READELF LIBRARY | glibc OBJDUMP LIBRARY FLOOR" >&2
    exit 2
    ;;
esac
