#!/bin/bash
# Runs every unit test binary under valgrind memcheck: any invalid access,
# use of undefined values or leak (definite, indirect, possible) fails.
# Usage: scripts/valgrind.sh [build-dir]   (default build-valgrind)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh valgrind
dir="${1:-build-valgrind}"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
# The crash-safety test forks and kills children; a few kills suffice here.
export CRASH_KILLS="${CRASH_KILLS:-20}"
passed=0
failed=0
for t in "$dir"/tests/test_*; do
  [ -x "$t" ] && [ -f "$t" ] || continue
  name=$(basename "$t")
  # replaces malloc itself and counts its own leaks
  [ "$name" = test_resources ] && continue
  log="$dir/valgrind_$name.log"
  if valgrind --quiet --error-exitcode=99 --suppressions=scripts/valgrind.supp --leak-check=full --show-leak-kinds=definite,indirect,possible \
       --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes --child-silent-after-fork=yes \
       "$t" --gtest_brief=1 >"$log" 2>&1; then
    passed=$((passed + 1))
    echo "$name: clean"
  else
    failed=$((failed + 1))
    echo "$name: FINDINGS (see $log)"
    grep -m40 -E '==[0-9]+==|FAILED' "$log" || true
  fi
done
# The example programs, each run of them under valgrind.
log="$dir/valgrind_examples.log"
bin=$(cd "$dir" && pwd)
if bash tests/test_examples.sh "$PWD" "$bin/controller" "$bin/printjob" "$bin/jobtool" \
     valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible \
     --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes >"$log" 2>&1; then
  passed=$((passed + 1))
  echo "examples: clean"
else
  failed=$((failed + 1))
  echo "examples: FINDINGS (see $log)"
  grep -m40 -E '==[0-9]+==|FAIL' "$log" || true
fi
echo "valgrind: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
