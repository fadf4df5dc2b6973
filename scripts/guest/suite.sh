# Runs the tests of /tandel/tests.list as CTest would: each in its
# working directory with its environment and time-out, judged by its
# status, WILL_FAIL and the pass, fail and skip expressions. One line
# "tandel-test: passed|failed|skipped SECONDS NAME" per test; the output
# of a failed one follows it.
out=/tmp/tandel-test.out
run() {
    local name=${T[0]} limit=${T[1]} willfail=${T[2]} skiprc=${T[3]} wd=${T[4]}
    local pass=${T[5]} fail=${T[6]} skip=${T[7]} begin=$SECONDS rc=0 verdict=passed
    (cd "$wd" && exec env "${E[@]}" timeout -s KILL "$limit" "${C[@]}") >"$out" 2>&1 </dev/null || rc=$?
    if [ -n "$pass" ]; then
        grep -Eq -- "$pass" "$out" || verdict=failed
    elif [ $rc -ne 0 ]; then
        verdict=failed
    fi
    [ -n "$fail" ] && grep -Eq -- "$fail" "$out" && verdict=failed
    if [ "$willfail" = true ]; then
        [ $verdict = passed ] && verdict=failed || verdict=passed
    fi
    [ $((SECONDS - begin)) -ge "$limit" ] && verdict=failed && echo "time-out after $limit s" >>"$out"
    [ -n "$skiprc" ] && [ "$rc" = "$skiprc" ] && verdict=skipped
    [ -n "$skip" ] && grep -Eq -- "$skip" "$out" && verdict=skipped
    echo "tandel-test: $verdict $((SECONDS - begin)) $name"
    [ $verdict != failed ] || tail -n 200 "$out"
}
begin=$SECONDS
source /tandel/tests.list
echo "tandel: tests took $((SECONDS - begin)) s"
