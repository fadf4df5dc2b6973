#!/bin/bash
# End-to-end tests of jobtool on temporary copies of the bundled examples,
# and a check that the committed examples are what the generator writes.
# Usage: test_jobtool.sh JOBTOOL MKEXAMPLES SOURCE_DIR
set -uo pipefail
JT=$1 MK=$2 SRC=$3
export TZ=CET-1 LC_ALL=C
unset LOGTRACE_LEVEL
work=$(mktemp -d "${TMPDIR:-/tmp}/jobtool.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
passed=0 failed=0

ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

# run RC ARGS...: runs jobtool, keeps out/err, checks the exit status.
run() {
  local want=$1; shift
  "$JT" "$@" >out 2>err
  local got=$?
  if [ "$got" -eq "$want" ]; then ok; else bad "jobtool $* exited $got, not $want"; cat err; fi
}
# same FILE: standard output is exactly the here-document.
same() { if diff -u - "${1:-out}" >diff.txt; then ok; else bad "output of the last command"; cat diff.txt; fi; }
has() { if grep -qF -- "$2" "$1"; then ok; else bad "$1 lacks '$2'"; cat "$1"; fi; }
lacks() { if grep -qF -- "$2" "$1"; then bad "$1 has '$2'"; else ok; fi; }
fresh() { rm -rf ex && cp -r "$SRC/examples" ex; }
# snap: names, modes, sizes and sums of everything under ex/.
snap() { find ex -printf '%p %m %s\n' | sort; find ex -type f -exec md5sum {} + | sort; }
# refuse RC TEXT ARGS...: exits RC, says TEXT on stderr, changes no file under ex/.
refuse() {
  local want=$1 text=$2 before; shift 2; before=$(snap)
  run "$want" "$@"; [ -z "$text" ] || has err "$text"
  if [ "$(snap)" = "$before" ]; then ok; else bad "jobtool $* changed files"; fi
}

# ---- examples are what the generator writes now
"$MK" gen >/dev/null 2>&1 || bad "mkexamples failed"
if diff -r -x printjob.c "$SRC/examples" gen >diff.txt; then ok; else
  bad "examples/ differ from the generator: cmake --build build --target examples"; cat diff.txt; fi

# ---- check
fresh
run 0 check ex/sensorjobs/job-1003.sjb
same <<'EOF'
file        ex/sensorjobs/job-1003.sjb (290 bytes)                 ok
header      0D 00                                                  ok
word count  145 (file has 145)                                     ok
crc         BE83 (computed BE83)                                   ok
decode      job 1003, 3 samples, 3 process and 3 lab measurements  ok
EOF
printf '\x00\x00' | dd of=ex/sensorjobs/job-1003.sjb bs=1 seek=288 conv=notrunc 2>/dev/null
run 1 check ex/sensorjobs/job-1003.sjb
has out "0000 (computed BE83)"
has out "BAD"
has err "jobtool check: ex/sensorjobs/job-1003.sjb: crc is wrong"
head -c 100 ex/sensorjobs/job-1002.sjb >short.sjb
run 1 check short.sjb
has err "jobtool check: short.sjb: message truncated (result -8)"
run 1 check missing.sjb
has err "jobtool check: missing.sjb: No such file or directory"
fresh
run 1 check ex/sensorjobs/job-1001.sjb short.sjb --json
python3 -c 'import json; j=json.load(open("out")); assert [(x["ok"], x["decode_result"], x["crc"] == x["crc_computed"]) for x in j]==[(True,0,True),(False,-8,False)], j' && ok || bad "check --json"
"$JT" check - <ex/sensorjobs/job-1002.sjb >out 2>err && has out "file        standard input (" || bad "check -"

# ---- decode, encode
fresh
run 0 decode ex/sensorjobs/job-1001.sjb
has out '<job version="1" job_id="1001" date="2024-03-04T08:15:00+0100"'
test -s err && bad "decode wrote to stderr without -v" || ok
run 0 -v decode ex/sensorjobs/job-1001.sjb -o d.xml
has err 'read sensor job from file "ex/sensorjobs/job-1001.sjb" (346 bytes)'
run 0 encode d.xml -o again.sjb
cmp -s again.sjb ex/sensorjobs/job-1001.sjb && ok || bad "encode of the decoded job differs"
printf '\x00\x00' | dd of=ex/sensorjobs/job-1001.sjb bs=1 seek=344 conv=notrunc 2>/dev/null
run 0 decode ex/sensorjobs/job-1001.sjb -o crc.xml
has err "jobtool decode: warning: ex/sensorjobs/job-1001.sjb: CRC error"
cmp -s crc.xml d.xml && ok || bad "a CRC error changed the decoded job"
run 1 -q decode short.sjb -o never.xml
has err "jobtool decode: short.sjb: message truncated (result -8)"
lacks err "<2>"
test -e never.xml && bad "failed decode left an output file" || ok
refuse 1 "jobtool encode: ex/jobs: Is a directory" encode ex/jobs/job-1001.xml -o ex/jobs
refuse 1 "jobtool encode: ex/jobs: Is a directory" encode ex/jobs -o e.sjb
test -e e.sjb && bad "encode of a directory wrote e.sjb" || ok
: >empty.sjb
run 1 decode empty.sjb
has err "jobtool decode: empty.sjb: sensor job file shorter than 6 bytes: it has 0 bytes (result -10)"
lacks err "CRC"
fresh
# standard input and output; modes of output files and of standard output
"$JT" decode - <ex/sensorjobs/job-1001.sjb | "$JT" encode - -o - >piped.sjb
cmp -s piped.sjb ex/sensorjobs/job-1001.sjb && ok || bad "decode - | encode - -o - differs"
touch o600.xml o640.sjb && chmod 600 o600.xml && chmod 640 o640.sjb
"$JT" decode ex/sensorjobs/job-1001.sjb >o600.xml
run 0 encode o600.xml -o o640.sjb
run 0 encode o600.xml -o new.sjb
[ "$(stat -c %a o600.xml o640.sjb new.sjb | tr '\n' ' ')" = "600 640 666 " ] && ok || bad "modes: $(stat -c '%n %a' o600.xml o640.sjb new.sjb)"
cmp -s o640.sjb ex/sensorjobs/job-1001.sjb && ok || bad "encode -o over a file"
"$JT" decode ex/sensorjobs/job-1001.sjb >/dev/full 2>err; [ $? = 1 ] && has err "jobtool decode: standard output: No space left on device" || bad "decode >/dev/full"
refuse 1 "jobtool decode: /dev/full: No space left on device" decode ex/sensorjobs/job-1001.sjb -o /dev/full
[ -z "$(find . -name '.*.*')" ] && ok || bad "temporary files left: $(find . -name '.*.*')"
printf '<job job_id="1"><sample/>' >broken.xml
run 1 encode broken.xml -o b.sjb
has err "jobtool encode: broken.xml: end of input with elements open (result -9)"
printf '<x/>' >x.xml
run 1 encode x.xml -o x.sjb
has err "jobtool encode: x.xml: not a job document, or a required field is missing (result -3)"
run 2 encode d.xml
has err "-o is required"

# ---- list
fresh
run 0 list ex/jobs
same <<'EOF'
#  JOB   DATE              TYPE  SAMPLES  LAB  SENSOR            FILE
0  1003  2024-05-21 07:45  1     1/3      0/1  TSS probe 1       job-1003.xml
1  1002  2024-04-15 06:00  65    3/3      1/3  Nutrient probe 2  job-1002.xml
2  1001  2024-03-04 08:15  1     2/2      4/4  Nutrient probe 2  job-1001.xml
EOF
run 0 list ex/jobs --file job-1002.xml --json
python3 -c 'import json,sys; j=json.load(open("out"))["jobs"]; assert len(j)==1 and j[0]["job_id"]==1002 and j[0]["lab_total"]==3 and j[0]["sensor"]["serial_number"]=="1F4A0021" and j[0]["date"]=="2024-04-15T06:00:00+0100" and j[0]["date_2000"]==766472400, j' && ok || bad "list --json"
"$JT" decode ex/sensorjobs/job-1002.sjb -o ex/jobs/job-2000.xml 2>/dev/null
run 0 list ex/jobs --min 0
has out "1002  2024-04-15 06:00  65    3/3      0/3  0                 job-2000.xml"
mkdir ex/jobs/d.xml; printf '<x/>' >ex/jobs/x.xml; cp ex/jobs/job-1002.xml ex/jobs/job-0002.xml
run 0 list ex/jobs
same <<'EOF'
#  JOB   DATE              TYPE  SAMPLES  LAB  SENSOR            FILE
0  1003  2024-05-21 07:45  1     1/3      0/1  TSS probe 1       job-1003.xml
1  1002  2024-04-15 06:00  65    3/3      1/3  Nutrient probe 2  job-0002.xml
2  1002  2024-04-15 06:00  65    3/3      1/3  Nutrient probe 2  job-1002.xml
3  1001  2024-03-04 08:15  1     2/2      4/4  Nutrient probe 2  job-1001.xml
3 files left out:
  d.xml: not a regular file
  job-2000.xml: fewer than 13 of the 14 job header attributes (--min lowers it)
  x.xml: not a job document
EOF
refuse 1 "ex/jobs/x.xml: not a job document (its top element is 'x')" requests ex/jobs/x.xml
rm ex/jobs/x.xml
# the # column is the INDEX of requests, also with --min
for min in 13 0; do
  "$JT" list ex/jobs --min $min --json >list.json
  for i in $(python3 -c 'import json; print(*range(len(json.load(open("list.json"))["jobs"])))'); do
    want=$(python3 -c "import json; print(json.load(open('list.json'))['jobs'][$i]['file'])")
    "$JT" requests ex/jobs "$i" --min $min --json | grep -qF "\"file\": \"$want\"" && ok || bad "requests ex/jobs $i --min $min is not $want"
  done
done
# dates past 2038 also where time_t has 32 bits
sed 's/date="2024-04-15T06:00/date="2050-04-15T06:00/' ex/jobs/job-1002.xml >ex/jobs/y2050.xml
run 0 list ex/jobs --file y2050.xml
has out "1002  2050-04-15 06:00"
rm ex/jobs/y2050.xml
run 1 list nodir
has err "jobtool list: nodir: No such file or directory"
run 2 list ex/jobs --min 15
run 2 list

# ---- requests, add-result, remove-result
fresh
run 0 requests ex/jobs 1
same <<'EOF'
job 1002, ex/jobs/job-1002.xml: 3 requests
#  SAMPLE  DATE              PARAMETER  PROCESS   LAB       STATE    METHOD
0  1002-1  2024-04-15 06:10  COD        313 mg/l  298 mg/l  entered  LCK 514
1  1002-2  2024-04-15 12:10  COD        287 mg/l  -         open     ISO 15705
2  1002-3  2024-04-15 18:10  COD        302 mg/l  -         open     ISO 15705
EOF
run 0 add-result ex/jobs/job-1002.xml 2 305.5 --unit mg/l --method "LCK 514" --time 2024-04-16T11:00:00+0100
has out "job 1002, request 2 (1002-3, COD): lab result 306 entered"
has ex/jobs/job-1002.xml 'done="1" default_method="ISO 15705" data_type="16" lab_time="2024-04-16T11:00:00+0100" lab_unit="mg/l" used_method="LCK 514"> 305.500000 <'
run 0 requests ex/jobs/job-1002.xml --json
python3 -c 'import json; r=json.load(open("out"))["requests"]; assert [(x["lab_value"], x["lab_text"]) for x in r]==[(298,"298"),(None,None),(305.5,"306")], r' && ok || bad "requests --json"
run 0 remove-result ex/jobs/job-1002.xml 0
run 0 requests ex/jobs/job-1002.xml
has out "0  1002-1  2024-04-15 06:10  COD        313 mg/l  -         open     ISO 15705"
has ex/jobs/job-1002.xml 'job_handling="98"'
run 1 add-result ex/jobs/job-1002.xml 3 1
has err "no request 3 (the job has 3)"
run 1 requests ex/jobs 3
has err "no job 3 (the directory lists 3)"
run 1 requests ex/jobs/none.xml
has err "none.xml: No such file or directory"
run 2 requests ex/jobs
run 2 add-result ex/jobs/job-1002.xml 0 1 --time yesterday
run 2 add-result ex/jobs/job-1002.xml x 1
printf '<job job_id="5">' >ex/jobs/bad.xml
refuse 1 "ex/jobs/bad.xml: not a job file: does not parse: " requests ex/jobs/bad.xml
run 0 requests ex/jobs/job-1003.xml
has out "job 1003, ex/jobs/job-1003.xml: 1 request"
# values and texts that would not read back, dates that do not exist
for v in nan -inf 1e400 1e39; do refuse 2 "VALUE must be a finite number" add-result ex/jobs/job-1002.xml 1 $v; done
refuse 2 "month 2 of 2023 has 28 days" add-result ex/jobs/job-1002.xml 1 1 --time 2023-02-29T10:00:00+0100
refuse 2 "month 4 of 2024 has 30 days" add-result ex/jobs/job-1002.xml 1 1 --time 2024-04-31T10:00:00Z
refuse 2 "no time 25:00" add-result ex/jobs/job-1002.xml 1 1 --time 2024-01-01T25:00:00Z
refuse 2 "no leap seconds" add-result ex/jobs/job-1002.xml 1 1 --time 2024-01-01T10:00:60Z
refuse 2 "--unit: character '<' (0x3C) at byte 2" add-result ex/jobs/job-1002.xml 1 1 --unit 'm<l'
refuse 2 "--method: character '&' (0x26) at byte 4" add-result ex/jobs/job-1002.xml 1 1 --method 'LCK&'
refuse 2 "--unit: character '\"' (0x22) at byte 1" add-result ex/jobs/job-1002.xml 1 1 --unit "\"'"
refuse 2 "--unit: character 0x0A at byte 2" add-result ex/jobs/job-1002.xml 1 1 --unit $'m\nl'
refuse 2 "--unit: byte 0xC3 at byte 2 is not valid UTF-8" add-result ex/jobs/job-1002.xml 1 1 --unit $'m\xc3'
refuse 2 "cannot be used here: the job file is rewritten in place" add-result - 1 1
run 0 add-result ex/jobs/job-1002.xml 1 -2.5 --unit 'µ"g' --time 2024-02-29T23:00:00Z
run 0 requests ex/jobs/job-1002.xml --json
python3 -c 'import json; r=json.load(open("out"))["requests"][1]; assert (r["lab_value"], r["lab_text"], r["lab_unit"], r["process_value"] > 287.19, r["sample_date"]) == (-2.5, "-2", "µ\"g", True, "2024-04-15T12:10:00+0100"), r' && ok || bad "quoted unit or raw values"
has ex/jobs/job-1002.xml 'lab_time="2024-03-01T00:00:00+0100"'

# ---- merge
fresh
"$JT" decode ex/sensorjobs/job-1003.sjb -o ex/jobs/job-1003.new.xml
run 0 merge ex/jobs/job-1003.xml ex/jobs/job-1003.new.xml
has out "ex/jobs/job-1003.xml: 6 measurements"
test -e ex/jobs/job-1003.new.xml && bad "merge kept News" || ok
run 0 list ex/jobs --file job-1003.xml
has out "1003  2024-05-21 07:45  1     3/3      0/3  TSS probe 1  job-1003.xml"
refuse 1 "jobtool merge: ex/jobs/gone.xml: No such file or directory" merge ex/jobs/job-1003.xml ex/jobs/gone.xml
run 2 merge ex/jobs/job-1003.xml
refuse 1 "jobtool merge: nodir/b.xml and ex/jobs/job-1001.xml: copy failed, no job element, or XML syntax error (result -2)" \
  merge nodir/b.xml ex/jobs/job-1001.xml
ln ex/jobs/job-1001.xml ex/hard.xml
refuse 1 "are the same file" merge ex/jobs/job-1001.xml ./ex/jobs/job-1001.xml
refuse 1 "are the same file" merge ex/jobs/job-1001.xml ex/hard.xml
refuse 1 "ex/jobs/job-1001.xml is job 1001, ex/jobs/job-1002.xml is job 1002: not merged (--force" merge ex/jobs/job-1001.xml ex/jobs/job-1002.xml
refuse 1 "jobtool merge: ex/jobs: Is a directory" merge ex/jobs/job-1001.xml ex/jobs
LC_ALL=C grep -q $'\xff' err && bad "merge printed a 0xFF byte" || ok
"$JT" decode ex/sensorjobs/job-1003.sjb -o ex/n.xml
refuse 0 "" merge --dry-run ex/jobs/job-1003.xml ex/n.xml
same <<'EOF'
sample 0 index 0: process from BASE with NEWS's value, lab from NEWS
sample 1 index 0: process from BASE with NEWS's value, lab from NEWS
sample 2 index 0: process from BASE with NEWS's value, lab from NEWS
would write 6 measurements in 3 samples to ex/jobs/job-1003.xml and delete ex/n.xml
dry run: no file changed
EOF
sed -i 's/job_type="1"/job_type="33"/' ex/n.xml
refuse 0 "" merge ex/jobs/job-1002.xml ex/n.xml --force --dry-run
has out "would replace ex/jobs/job-1002.xml with a copy of ex/n.xml (NEWS job_type has bit 0x20)"

# ---- format
fmt() { run "$4" format "$1" "$2"; printf '%s\n' "$3" >want; same want <out; }
fmt 0x8000 3.14159 " 3.14" 0
fmt 1026 1234567.891 1234567.89 0
fmt 1026 12345678901 "##.##" 0
fmt 386 0.41849 0.42 0
fmt 386 -12.345 -12.3 0
fmt 386 -inf "##.##" 0
fmt 386 1234.5 1230 0
fmt 0x0002 7.5 Error 1
run 2 format 1026
run 2 format 1026 seven

# ---- upload (one-shot server on the loopback address)
cat >server.py <<'EOF'
import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(1); s.settimeout(20)
open("port", "w").write(str(s.getsockname()[1]))
c, _ = s.accept(); c.settimeout(20); data = b""
while b"\r\n\r\n" not in data:
    data += c.recv(4096)
head, body = data.split(b"\r\n\r\n", 1)
n = int([l.split(b":")[1] for l in head.split(b"\r\n") if l.lower().startswith(b"content-length")][0])
while len(body) < n:
    body += c.recv(4096)
open("request", "wb").write(head + b"\r\n\r\n" + body)
c.sendall(b"HTTP/1.1 " + sys.argv[1].encode() + b" Done\r\nContent-Length: 0\r\n\r\n"); c.close()
EOF
for status in 201 500; do
  rm -f port; python3 server.py $status & srv=$!
  for _ in $(seq 50); do [ -s port ] && break; sleep 0.1; done
  want=0; [ $status = 500 ] && want=1
  run $want upload 127.0.0.1 "$(cat port)" /jobs/1001 ex/jobs/job-1001.xml --method POST \
    --header 'X-Controller: east' --timeout 10
  printf '%s\n' $status >want; same want <out
  wait $srv
  has request "POST /jobs/1001 HTTP/1.1"
  has request "X-Controller: east"
  has request 'job_id="1001"'
  has request "Host: 127.0.0.1:$(cat port)"$'\r'
  has request "Connection: close"$'\r'
done
rm -f port; python3 server.py 200 & srv=$!
for _ in $(seq 50); do [ -s port ] && break; sleep 0.1; done
"$JT" -v upload 127.0.0.1 "$(cat port)" /up - --header 'host: ctl' --header 'CONNECTION: keep-alive' \
  <ex/jobs/job-1001.xml >out 2>err || bad "upload -"
wait $srv
lacks request "Host: 127"
lacks request "Connection: close"
has request "host: ctl"
has err "sending standard input ($(stat -c %s ex/jobs/job-1001.xml) bytes) to 127.0.0.1:"
has err "the server answered 200"
refuse 1 "jobtool upload: 127.0.0.1:1: connect failed: Connection refused (result -3)" \
  upload 127.0.0.1 1 /x ex/jobs/job-1001.xml --timeout 2
run 1 upload 127.0.0.1 80 /x nofile
run 2 upload 127.0.0.1 80 /x ex/jobs/job-1001.xml --method GET
run 2 upload 127.0.0.1 99999 /x ex/jobs/job-1001.xml

# ---- help and usage
for c in decode encode check list requests add-result remove-result merge format upload; do
  run 0 "$c" --help
  has out "usage: jobtool $c"
done
run 0 --help
run 0 --version
has out "libTandelCntrl 1.0.0 (soname libTandelCntrl.so.1)"
run 2
run 2 frobnicate
run 2 check a.sjb --bogus
has err "--bogus"

# ---- descriptors run out: the job file after the listed directory, the
# lab result's temporary after the locked file and its stream. An emulator
# takes descriptors of its own; so does UBSan's vptr check, in the list.
if [ "$(head -c2 "$JT")" != '#!' ]; then
  fresh
  if ! ldd "$JT" 2>/dev/null | grep -q libubsan; then
    (exec 3>&- 4>&-; ulimit -n 4; exec "$JT" list ex/jobs) >out 2>err
    has err "jobtool list: ex/jobs: a job file or the directory could not be read (result -3)"
  fi
  (exec 3>&- 4>&-; ulimit -n 5; exec "$JT" add-result ex/jobs/job-1002.xml 2 1) >out 2>err
  has err "jobtool add-result: ex/jobs/job-1002.xml: job file cannot be written (result -6)"
fi

# ---- hostile names are plain names to every subcommand that takes a path
fresh
hostile='ex/d $(touch pwned) `touch pwned2` "q" '"'s'"
mkdir -p "$hostile"
cp ex/jobs/job-1002.xml "$hostile/job \$(id).xml"
cp ex/jobs/job-1003.xml "$hostile/news \`id\`.xml"
cp ex/sensorjobs/job-1001.sjb "$hostile/s \$(id).sjb"
run 0 check "$hostile/s \$(id).sjb"
run 0 decode "$hostile/s \$(id).sjb" -o "$hostile/out \$(id).xml"
run 0 encode "$hostile/out \$(id).xml" -o "$hostile/again;id.sjb"
cmp -s "$hostile/s \$(id).sjb" "$hostile/again;id.sjb" && ok || bad "re-encoded hostile file differs"
run 0 list "$hostile"
has out 'job $(id).xml'
run 0 requests "$hostile/job \$(id).xml"
run 0 add-result "$hostile/job \$(id).xml" 0 1.5 --time 2024-04-16T11:00:00+0100
run 0 remove-result "$hostile/job \$(id).xml" 0
run 0 merge --force "$hostile/job \$(id).xml" "$hostile/news \`id\`.xml"
if [ -e pwned ] || [ -e pwned2 ] || [ -e "$hostile/pwned" ]; then bad "a name was run as a command"; else ok; fi
[ "$(find "$hostile" -name '.*' | wc -l)" -eq 0 ] && ok || bad "temporaries left beside the hostile files"

# ---- three add-result calls at once on one file: none may lose another's result
fresh
for i in 0 1 2; do "$JT" add-result ex/jobs/job-1002.xml $i 10$i --time 2024-04-16T11:00:00+0100 >/dev/null 2>&1 & done
wait
"$JT" requests ex/jobs/job-1002.xml --json >out
python3 -c 'import json; r=json.load(open("out"))["requests"]; assert [x["lab_value"] for x in r]==[100,101,102], r' && ok || bad "concurrent add-result lost a result"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
