#!/bin/bash
# The example programs on a temporary copy of examples/: controller takes
# deliveries in (a newer version, a kill order, a broken file), shows
# the requests and enters results; printjob prints a job back as it is.
# Usage: test_examples.sh SOURCE_DIR CONTROLLER PRINTJOB JOBTOOL [WRAPPER...]
# A WRAPPER (valgrind and its options) runs each example program.
set -uo pipefail
SRC=$1 CTL=$2 PJ=$3 JT=$4
shift 4
export TZ=CET-1 LC_ALL=C LOGTRACE_LEVEL=0
work=$(mktemp -d "${TMPDIR:-/tmp}/examples.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
cp -r "$SRC/examples/jobs" "$SRC/examples/sensorjobs" .
failed=0
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
run() { local want=$1; shift; "$@" >out 2>err; local got=$?; [ $got = "$want" ] || { bad "$* exited $got"; cat err; }; }
has() { grep -qF -- "$2" "$1" || { bad "$1 lacks '$2'"; cat "$1"; }; }

run 0 "$@" "$CTL" jobs 7.5 sensorjobs/job-1003.sjb
diff -u "$SRC/tests/data/examples_controller.txt" out || bad "controller's output differs"
[ ! -e jobs/job-1003.xml.new ] || bad "the merged delivery is still there"
has jobs/job-1003.xml '> 7.500000 </lab_measurement>'
[ "$(stat -c %a jobs/job-1003.xml)" = 666 ] || bad "job file mode $(stat -c %a jobs/job-1003.xml)"

# a kill order deletes the job; the program deletes the delivery
"$JT" decode sensorjobs/job-1002.sjb -o k.xml >/dev/null 2>&1 || bad "decode for the kill order"
sed -i 's/job_handling="[0-9]*"/job_handling="256"/' k.xml
"$JT" encode k.xml -o kill.sjb >/dev/null 2>&1 || bad "encode of the kill order"
run 0 "$@" "$CTL" jobs 1 kill.sjb
has out "job killed: jobs/job-1002.xml deleted"
has out "2 jobs in jobs"
[ "$(ls jobs)" = "$(printf 'job-1001.xml\njob-1003.xml')" ] || bad "jobs left: $(ls jobs)"

: >empty.sjb
run 1 "$@" "$CTL" jobs 1 empty.sjb
has err "controller: empty.sjb: sensor job file shorter than 6 bytes (result -10)"
run 1 "$@" "$CTL" nowhere 1
has err "controller: nowhere: job directory cannot be opened (result -2): No such file or directory"
run 2 "$@" "$CTL" jobs x

run 0 "$@" "$PJ" jobs/job-1001.xml
cmp out jobs/job-1001.xml || bad "printjob changed job-1001.xml"
run 0 "$@" "$PJ" jobs/job-1001.xml copy.xml
cmp copy.xml jobs/job-1001.xml || bad "printjob's copy differs"
[ "$failed" = 0 ] && echo "examples: all passed"
[ "$failed" = 0 ]
