#!/bin/bash
# The built library as deployed, with the target's tools: it exports exactly the header's
# TANDEL_API names, needs only libc, libm, the tracer and libgcc, and no glibc newer than FLOOR.
set -euo pipefail
case $1 in
exports)
    want=$(sed -n 's/^TANDEL_API \([^([]*\)[([].*/\1/p' "$4" | grep -o '[A-Za-z_][A-Za-z0-9_]*$' | sort -u)
    have=$("$2" -D --defined-only "$3" | awk 'NF >= 3 { print $3 }' | sort -u)
    [ -n "$want" ] || { echo "no TANDEL_API names in $4"; exit 1; }
    diff <(echo "$want") <(echo "$have") || { echo "exports differ from the header (< header only, > library only)"; exit 1; }
    ;;
needed)
    needed=$("$2" -d "$3" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    bad=$(grep -Ev '^(libc\.so\.6|libm\.so\.6|libLogTracer\.so|libgcc_s\.so\.1|ld-linux[-a-z0-9_.]*\.so\.[0-9]+)$' <<<"$needed" || true)
    [ -z "$bad" ] || { echo "unexpected run-time dependencies:" $bad; exit 1; }
    ;;
glibc)
    imports=$("$2" -T "$3" | sed -n 's/.*(GLIBC_\([0-9.]*\)) *\([^ ]*\)$/\1 \2/p')
    newest=$(cut -d' ' -f1 <<<"$imports" | sort -uV | tail -1)
    [ -n "$newest" ] || { echo "no versioned glibc imports in $3"; exit 1; }
    [ "$(printf '%s\n' "$newest" "$4" | sort -V | tail -1)" = "$4" ] || { echo "needs glibc $newest:" $(grep "^$newest " <<<"$imports"); exit 1; }
    ;;
*) echo "usage: $0 exports NM LIBRARY HEADER | needed READELF LIBRARY | glibc OBJDUMP LIBRARY FLOOR" >&2; exit 2 ;;
esac
