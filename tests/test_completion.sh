#!/bin/bash
# Drives jobtool's bash completion as bash does: for each case of CASES
# (the command line up to the cursor | the words offered, sorted), sets
# COMP_WORDS, COMP_CWORD, COMP_LINE and COMP_POINT, calls the function
# that `complete -p jobtool` names, and compares COMPREPLY. The files
# offered are those of a directory made here: a.sjb, b.xml, c.txt, d/.
# Usage: test_completion.sh COMPLETION CASES
set -uo pipefail
source /usr/share/bash-completion/bash_completion || { echo "bash-completion is missing (scripts/deps.sh)"; exit 1; }
source "$1"
registered=$(complete -p jobtool) || { echo "no completion for jobtool"; exit 1; }
func=$(sed -n 's/.* -F \([^ ]*\) .*/\1/p' <<<"$registered")
[ -n "$func" ] || { echo "complete -p jobtool: $registered"; exit 1; }
cases=$(cat "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/tandel-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" && touch a.sjb b.xml c.txt && mkdir d
passed=0 failed=0
while IFS='|' read -r line want; do
    [[ -z $line || $line == '#'* ]] && continue
    want=$(xargs <<<"$want")
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line COMP_POINT=${#line}
    COMPREPLY=()
    "$func" jobtool "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | xargs)
    if [ "$got" = "$want" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "'$line': offered '$got', expected '$want'"
    fi
done <<<"$cases"
echo "completion: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
