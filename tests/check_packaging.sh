#!/bin/bash
# What the packages and manual pages promise, against the tree:
#   release VERSION SOURCE  debian/changelog, the symbols file and
#                           libTandelCntrl(3) agree with the project's
#                           version and the header's exports
#   manual SOURCE           both pages render on 80 columns without a
#                           warning or a wider line; (3)
#                           names every exported function and variable
#   docs MKDOCS SOURCE      doc/jobtool.1 and doc/jobtool.bash are what
#                           mkdocs writes from jobtool's command table now
set -euo pipefail
exports() { sed -n 's/^TANDEL_API \([^([]*\)[([].*/\1/p' "$1/include/TandelCntrl.h" | grep -o '[A-Za-z_][A-Za-z0-9_]*$' | LC_ALL=C sort -u; }
case $1 in
release)
    version=$2 src=$3
    changelog=$(sed -n '1s/^[a-z0-9.+-]* (\([^)]*\)).*/\1/p' "$src/debian/changelog")
    [ "$changelog" = "$version" ] || { echo "debian/changelog is at '$changelog', the project at $version: add an entry"; exit 1; }
    grep -q "^\.TH LIBTANDELCNTRL 3 [0-9-]* \"libTandelCntrl $version\"" "$src/doc/libTandelCntrl.3" ||
        { echo "doc/libTandelCntrl.3: its .TH does not name version $version"; exit 1; }
    symbols=$src/debian/libtandelcntrl1.symbols
    [ "$(head -1 "$symbols")" = "libTandelCntrl.so.${version%%.*} libtandelcntrl1 #MINVER#" ] ||
        { echo "$symbols: the first line must name libTandelCntrl.so.${version%%.*}"; exit 1; }
    diff <(exports "$src") <(sed -n 's/^ \([A-Za-z_][A-Za-z0-9_]*\)@Base .*/\1/p' "$symbols" | LC_ALL=C sort -u) ||
        { echo "$symbols differs from the header's exports (< header, > symbols): a new name gets the version it came with"; exit 1; }
    ;;
manual)
    src=$2
    for page in "$src/doc/jobtool.1" "$src/doc/libTandelCntrl.3"; do
        out=$(mandoc -Tlint -W warning "$page" 2>&1) || { echo "$out"; exit 1; }
        # As man(1) renders it on 80 columns: no warning, no line wider.
        out=$(LC_ALL=C.UTF-8 groff -ww -t -man -Tutf8 -rLL=78n -P-cbou "$page" 2>&1 >/dev/null)
        [ -z "$out" ] || { echo "$page: $out"; exit 1; }
        wide=$(LC_ALL=C.UTF-8 groff -t -man -Tutf8 -rLL=78n -P-cbou "$page" | awk 'length > 80')
        [ -z "$wide" ] || { echo "$page: wider than 80 columns:"; echo "$wide"; exit 1; }
    done
    missing=$(exports "$src" | while read -r name; do
        grep -qw -- "$name" "$src/doc/libTandelCntrl.3" || echo "$name"; done)
    [ -z "$missing" ] || { echo "doc/libTandelCntrl.3 does not name:" $missing; exit 1; }
    ;;
docs)
    work=$(mktemp -d "${TMPDIR:-/tmp}/tandel-docs.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    "$2" "$work/jobtool.1" "$work/jobtool.bash"
    for f in jobtool.1 jobtool.bash; do
        diff -u "$3/doc/$f" "$work/$f" ||
            { echo "doc/$f differs from jobtool's command table: cmake --build BUILD --target docs"; exit 1; }
    done
    ;;
*) echo "usage: $0 release VERSION SOURCE | manual SOURCE | docs MKDOCS SOURCE" >&2; exit 2 ;;
esac
