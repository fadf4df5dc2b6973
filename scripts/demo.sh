#!/bin/bash
# The main job: builds the library and jobtool, then runs a short session
# on a copy of the bundled examples: a newer version of job 1003 arrives
# as a sensor job file, is decoded into the job directory and merged,
# a lab result is entered, and last the lab's results are set beside the
# sensor's values across the directory.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DTANDEL_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target jobtool >/dev/null
jt="$PWD/build/jobtool"
work=$(mktemp -d "${TMPDIR:-/tmp}/jobtool-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -r examples/jobs examples/sensorjobs "$work"
cd "$work"
export TZ=${TZ:-CET-1}
step() { echo; echo "\$ jobtool $*"; "$jt" "$@"; }
step check sensorjobs/job-1003.sjb
step decode sensorjobs/job-1003.sjb -o jobs/job-1003.xml.new
step merge jobs/job-1003.xml jobs/job-1003.xml.new
step list jobs
step requests jobs 0
step add-result jobs/job-1003.xml 1 3.61 --unit g/l --method "DIN EN 872" --time 2024-05-22T09:00:00+0100
step requests jobs 0
step format 386 3.6149
step compare jobs
