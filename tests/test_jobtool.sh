#!/bin/bash
# jobtool end to end on temporary copies of the bundled examples, which must
# be what the generator writes now. Usage: test_jobtool.sh JOBTOOL MKEXAMPLES SOURCE_DIR HTTP_ONCE
# (bash, coreutils, diff, find and jq: it runs on the target as well)
set -uo pipefail
JT=$1 MK=$2 SRC=$3 DATA=$3/tests/data HTTP_ONCE=$4
export TZ=CET-1 LC_ALL=C
unset LOGTRACE_LEVEL
work=$(mktemp -d "${TMPDIR:-/tmp}/jobtool.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
failed=0
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
run() { local want=$1; shift; timeout 60 "$JT" "$@" >out 2>err; local got=$?; [ $got = "$want" ] || { bad "jobtool $* exited $got"; cat err; }; }
has() { grep -qF -- "$2" "$1" || { bad "$1 lacks '$2'"; cat "$1"; }; }
file() { diff -u "$DATA/jobtool_$1" out || bad "out is not jobtool_$1"; }
json() { [ -s out ] && jq -e "$1" out >/dev/null || bad "json: $1: $(cat out)"; } # jq 1.6 passes no input
fresh() { rm -rf ex && cp -r "$SRC/examples" ex; }
snap() { find ex -printf '%p %m %s\n' | sort; find ex -type f -exec md5sum {} + | sort; }
said() {
  case $1 in
  -) ;;
  '!err') ! grep -qF -- "$2" err || bad "jobtool ${argv[*]}: err has '$2'" ;;
  once) [ "$(grep -cF -- "$2" err)" = 1 ] || bad "jobtool ${argv[*]}: err has '$2' not once: $(cat err)" ;;
  =out) [ "$(cat out)" = "$2" ] || bad "jobtool ${argv[*]} printed '$(cat out)'" ;;
  gone) [ ! -e "$2" ] || bad "jobtool ${argv[*]}: $2 is there" ;;
  file | json) $1 "$2" ;;
  *) has "$1" "$2" ;;
  esac
}
# cases NAME: the rows of jobtool_NAME.tsv in order: exit status (with *: files under ex/ may change);
# TEXT is in FILE (out, err, a path), or !err lacks it, =out is it, gone: no file TEXT, file: out is
# the data file TEXT, json: out passes the jq test TEXT; jobtool's arguments. All fields are %b escaped.
cases() {
  while IFS=$'\t' read -r -u 3 rc where text args; do
    IFS=$'\t' read -ra argv <<<"$args"
    for i in "${!argv[@]}"; do printf -v "argv[$i]" '%b' "${argv[i]}"; done
    printf -v text '%b' "$text"; before=$(snap)
    run "${rc%\*}" "${argv[@]}"
    said "$where" "$text"
    [ "$rc" != "${rc%\*}" ] || [ "$(snap)" = "$before" ] || bad "jobtool ${argv[*]} changed files"
  done 3<"$DATA/jobtool_$1.tsv"
}

# rows NAME: the rows of jobtool_NAME.tsv, each on a fresh copy of the examples that its fixture (a
# fix_ function, or -) prepares: exit status, with u: run as an unprivileged user (skipped unless
# root and that user can run jobtool), f: files limited to 1 KiB, o: standard output is /dev/full; fixture; WHERE and TEXT as in
# cases; what the row changes under ex/, each file's type, mode and checksum compared before and
# after: = nothing; ~PATH content changed, mode kept (~PATH:MODE: mode now MODE); -PATH gone;
# +PATH:MODE new; then jobtool's arguments ('' is an empty one). All fields are %b escaped.
state() {
  find ex -mindepth 1 -printf '%y %m %p\n' | while read -r y m p; do
    [ "$y" = f ] && m="$m $(md5sum <"$p" | cut -c1-32)"
    printf '%s %s\t%s\n' "$y" "$m" "$p"
  done
}
runas() {
  local want=$1 how=$2; shift 2
  case $how in
  u) timeout 60 setpriv --reuid=65534 --regid=65534 --clear-groups "$JT" "$@" >out 2>err ;;
  f) (trap '' XFSZ; ulimit -f 1; exec timeout 60 "$JT" "$@") >out 2>err ;;
  o) timeout 60 "$JT" "$@" >/dev/full 2>err ;;
  esac
  local got=$?; [ $got = "$want" ] || { bad "jobtool $* exited $got"; cat err; }
}
rows() {
  while IFS=$'\t' read -r -u 3 rc fix where text change args; do
    IFS=$'\t' read -ra argv <<<"$args"
    for i in "${!argv[@]}"; do printf -v "argv[$i]" '%b' "${argv[i]}"; [ "${argv[i]}" != "''" ] || argv[i]=; done
    printf -v text '%b' "$text"; printf -v change '%b' "$change"
    [ "${rc%u}" = "$rc" ] || [ -n "$asuser" ] || continue
    fresh; [ "$fix" = - ] || "fix_$fix"
    local -A before=() after=() named=()
    while IFS=$'\t' read -r st p; do before[$p]=$st; done < <(state)
    if [ "${rc#[0-9]}" ]; then runas "${rc%?}" "${rc#[0-9]}" "${argv[@]}"; else run "$rc" "${argv[@]}"; fi
    while IFS=$'\t' read -r st p; do after[$p]=$st; done < <(state)
    said "$where" "$text"
    for tok in ${change#=}; do
      p=${tok:1} mode=; [[ $tok = [~+]*:* ]] && p=${p%:*} mode=${tok##*:}
      b=${before[$p]:-} a=${after[$p]:-}; named[$p]=1
      case $tok in
      '~'*) [ -n "$a" ] && [ "$a" != "$b" ] && [ "$(cut -d' ' -f2 <<<"$a")" = "${mode:-$(cut -d' ' -f2 <<<"$b")}" ] ;;
      -*) [ -n "$b" ] && [ -z "$a" ] ;;
      +*) [ -z "$b" ] && [ "$(cut -d' ' -f2 <<<"$a")" = "$mode" ] ;;
      *) true ;;
      esac || bad "jobtool ${argv[*]}: $tok: '$b' -> '$a'"
    done
    for p in "${!before[@]}" "${!after[@]}"; do
      [ -n "${named[$p]:-}" ] || [ "${before[$p]:-}" = "${after[$p]:-}" ] || bad "jobtool ${argv[*]} changed $p"
    done
  done 3<"$DATA/jobtool_$1.tsv"
}
news() { "$JT" decode ex/sensorjobs/job-1003.sjb -o ex/n.xml 2>/dev/null; }
fix_news() { news; }
fix_entered() { "$JT" decode ex/sensorjobs/job-1002.sjb -o ex/n.xml 2>/dev/null; }
fix_enteredcopy() { fix_entered; sed -i 's/job_type="65"/job_type="97"/' ex/n.xml; }
fix_nomethod() { sed -i 's/ default_method="DIN EN 872"//' ex/jobs/job-1003.xml; }
fix_emptydir() { mkdir ex/none; }
fix_kept() { fix_entered; sed -i '5d' ex/n.xml; }
fix_kill() { news; sed -i 's/job_handling="0"/job_handling="256"/' ex/n.xml; }
fix_copy() { news; sed -i 's/job_type="1"/job_type="33"/' ex/n.xml; }
fix_newsstays() { mkdir ex/in; "$JT" decode ex/sensorjobs/job-1003.sjb -o ex/in/n.xml; chmod 777 ex/jobs; chmod 666 ex/jobs/job-1003.xml; }
fix_empty() { : >ex/n.xml; }
fix_fifo() { mkfifo ex/jobs/fifo.xml; }
fix_latin1() {
  local u=$'\xfc' s=$'\xdf' # bytes in the patterns: the target's sed may know no \x escapes
  sed -e "s/name=\"Nutrient probe 2\"/name=\"Pr${u}fstand\"/" -e "s/used_method=\"LCK 514\"/used_method=\"Me$s\"/" ex/jobs/job-1002.xml >ex/jobs/m$'\xfc'ller.xml
  cp ex/sensorjobs/job-1001.sjb ex/s$'\xe9'.sjb
}
fix_bom() { printf '\xef\xbb\xbf' | cat - ex/jobs/job-1001.xml >ex/jobs/bom.xml; }
fix_broken() { printf 'x<job/>' >ex/jobs/broken.xml; }
fix_old() { sed -i -e 's/ date="2024-04-15T06:00:00+0100"/ date="1998-06-01T08:00:00+0200"/' -e 's/date="2024-04-15T06:10:00+0100"/date="1995-01-15T10:00:00+0100"/' ex/jobs/job-1002.xml; }
fix_noname() { sed -i 's/ name="TSS probe 1"//' ex/jobs/job-1003.xml; }
fix_link() { ln -s sensorjobs/job-1002.sjb ex/out.sjb; }
fix_dangling() { ln -s nowhere.sjb ex/out.sjb; }
fix_tss() { "$JT" add-result ex/jobs/job-1003.xml 0 3.5 --unit g/l --time 2024-05-22T09:00:00+0100 >/dev/null; }
fix_y2050() { sed -i 's/date="2024-03-04T08:30:00+0100"/date="2050-03-04T08:30:00+0100"/' ex/jobs/job-1001.xml; }
fix_unusable() { sed -i 's/> 7.850000 </> nan </' ex/jobs/job-1001.xml; }
fix_nosamples() { sed -e '/<sample\|<\/sample\|_measurement/d' -e 's/job_id="1003"/job_id="999"/' ex/jobs/job-1003.xml >ex/jobs/job-0999.xml; }
fix_novalue() { sed -i -e 's|> 8.020000 </lab_measurement>|/>|' -e 's|> 0.418000 </process_measurement>|/>|' ex/jobs/job-1001.xml; }

"$MK" gen >/dev/null 2>&1 || bad "mkexamples failed"
diff -r -x "*.c" "$SRC/examples" gen || bad "examples/ differ from the generator: cmake --build build --target examples"

fresh
head -c 100 ex/sensorjobs/job-1002.sjb >short.sjb
cp ex/sensorjobs/job-1003.sjb crc.sjb && printf '\0\0' | dd of=crc.sjb bs=1 seek=288 conv=notrunc 2>/dev/null
: >empty.sjb; printf '<job job_id="1"><sample/>' >broken.xml; printf '<x/>' >x.xml; printf '<job job_id="5">' >bad.xml
ln ex/jobs/job-1001.xml ex/hard.xml
cases cases
for f in never.xml e.sjb b.sjb x.sjb; do [ ! -e $f ] || bad "a failed jobtool left $f"; done
[ -z "$(find . -name '.*.*' -o -name '.jobapi-*')" ] || bad "temporary files left: $(find . -name '.*.*' -o -name '.jobapi-*')"
cmp again.sjb ex/sensorjobs/job-1001.sjb || bad "encode of the decoded job differs"
"$JT" decode ex/sensorjobs/job-1003.sjb | cmp - crc.xml || bad "a CRC error changed the decoded job"
"$JT" decode ex/sensorjobs/job-1001.sjb 2>err >/dev/null; [ -s err ] && bad "decode wrote to stderr without -v"
"$JT" decode - <ex/sensorjobs/job-1001.sjb | "$JT" encode - -o - | cmp - ex/sensorjobs/job-1001.sjb || bad "decode - | encode - -o -"
"$JT" decode ex/sensorjobs/job-1001.sjb >/dev/full 2>err; [ $? = 1 ] && has err "jobtool decode: standard output: No space left on device" || bad "decode >/dev/full"
# output files keep their mode; new ones get 666 less the umask
cp d.xml o600.xml && touch o640.sjb && chmod 600 o600.xml && chmod 640 o640.sjb
run 0 encode o600.xml -o o640.sjb && run 0 encode o600.xml -o new.sjb
[ "$(stat -c %a o600.xml o640.sjb new.sjb | tr '\n' ' ')" = "600 640 666 " ] || bad "modes: $(stat -c '%n %a' o600.xml o640.sjb new.sjb)"
cmp o640.sjb ex/sensorjobs/job-1001.sjb || bad "encode -o over a file"

"$JT" decode ex/sensorjobs/job-1002.sjb -o ex/jobs/job-2000.xml 2>/dev/null
mkdir ex/jobs/d.xml; cp x.xml ex/jobs; cp ex/jobs/job-1002.xml ex/jobs/job-0002.xml
run 0 list ex/jobs && file list_skipped.txt
run 0 list ex/jobs --min 0 && has out "1002  2024-04-15 06:00  65    3/3      0/3  -                 job-2000.xml"
rm ex/jobs/x.xml
for min in 13 0; do # the # column is the INDEX of requests
  "$JT" list ex/jobs --min $min --json >out
  while read -r i f; do
    "$JT" requests ex/jobs "$i" --min $min --json | grep -F "\"file\": \"$f\"" >/dev/null || bad "requests ex/jobs $i --min $min is not $f"
  done < <(jq -r '.jobs | to_entries[] | "\(.key) \(.value.file)"' out)
done
sed 's/date="2024-04-15T06:00/date="2050-04-15T06:00/' ex/jobs/job-1002.xml >ex/jobs/y2050.xml
run 0 list ex/jobs --file y2050.xml && has out "1002  2050-04-15 06:00"

fresh
cases results
"$JT" decode ex/sensorjobs/job-1003.sjb | sed 's/job_type="1"/job_type="33"/' >ex/n33.xml
cases merge

chmod 755 "$work" # the unprivileged rows read the examples
asuser=; [ "$(id -u)" = 0 ] && setpriv --reuid=65534 --regid=65534 --clear-groups "$JT" --version >/dev/null 2>&1 && asuser=1
[ -n "$asuser" ] || echo "note: rows for an unprivileged user skipped (not root, or that user cannot run $JT)"
rows rows
rows compare
# the plot draws, and the README's plot of the examples is what compare makes of them
fresh
"$JT" compare ex/jobs --svg - 2>/dev/null >plot.svg
cmp -s plot.svg "$SRC/doc/compare-examples.svg" || bad "doc/compare-examples.svg is not what 'jobtool compare examples/jobs --svg' makes"
if command -v rsvg-convert >/dev/null; then
  rsvg-convert plot.svg -o plot.png 2>err && [ ! -s err ] || bad "rsvg-convert: $(cat err)"
else
  echo "note: rsvg-convert is not installed: the plot was not drawn"
fi

# upload to a one-shot server that answers STATUS
serve() {
  rm -f port; "$HTTP_ONCE" "$1" & srv=$!
  for _ in $(seq 50); do [ -s port ] && break; sleep 0.1; done
}
serve 500
run 1 upload 127.0.0.1 "$(cat port)" /jobs/1001 ex/jobs/job-1001.xml --method POST --header 'X-Controller: east' --timeout 10
wait $srv
[ "$(cat out)" = 500 ] || bad "upload printed $(cat out)"
for h in "POST /jobs/1001 HTTP/1.1" "X-Controller: east" 'job_id="1001"' "Host: 127.0.0.1:$(cat port)"$'\r' "Connection: close"$'\r'; do has request "$h"; done
serve 201
"$JT" -v upload 127.0.0.1 "$(cat port)" /up - --header 'host: ctl' --header 'CONNECTION: keep-alive' <ex/jobs/job-1001.xml >out 2>err || bad "upload -"
wait $srv
grep -qe "Host: 127" -e "Connection: close" request && bad "upload added a header the caller gave"
has request "PUT /up HTTP/1.1"
has err "sending standard input ($(stat -c %s ex/jobs/job-1001.xml) bytes) to 127.0.0.1:"
has err "the server answered 201"
serve 101 # informational: not an answer to the upload
run 1 upload 127.0.0.1 "$(cat port)" /up ex/jobs/job-1001.xml
wait $srv
has err "jobtool upload: 127.0.0.1:$(cat port) answered 101 (informational, not an answer to the upload)"
serve silent # errno is told only where it is the system's reason
run 1 upload 127.0.0.1 "$(cat port)" /up ex/jobs/job-1001.xml --timeout 1
wait $srv
[ "$(cat err)" = "jobtool upload: 127.0.0.1:$(cat port): no answer within the timeout (result -5)" ] || bad "upload to a silent server: $(cat err)"

# descriptors run out (emulators and UBSan's vptr check take some of their own;
# grep reads to the end: an early exit would fail the pipe under pipefail)
if [ "$(head -c2 "$JT")" != '#!' ]; then
  if ! ldd "$JT" 2>/dev/null | grep libubsan >/dev/null; then
    (exec 3>&- 4>&-; ulimit -n 4; exec "$JT" list ex/jobs) >out 2>err
    has err "jobtool list: ex/jobs: a job file or the directory could not be read (result -3)"
  fi
  (exec 3>&- 4>&-; ulimit -n 5; exec "$JT" add-result ex/jobs/job-1002.xml 2 1 --force) >out 2>err
  has err "jobtool add-result: ex/jobs/job-1002.xml: job file cannot be written: Too many open files (result -6)"
fi

# names are plain names to every subcommand that takes a path
fresh
h='ex/d $(touch pwned) `touch pwned2` "q" '"'s'"
mkdir -p "$h" && cp ex/jobs/job-1002.xml "$h/job \$(id).xml" && cp ex/jobs/job-1002.xml "$h/news \`id\`.xml" && cp ex/sensorjobs/job-1001.sjb "$h/s \$(id).sjb"
cases hostile
cmp "$h/s \$(id).sjb" "$h/again;id.sjb" || bad "re-encoded hostile file differs"
[ -e pwned ] || [ -e pwned2 ] || [ -e "$h/pwned" ] && bad "a name was run as a command"
[ -z "$(find "$h" -name '.*')" ] || bad "temporaries left beside the hostile files"

# three add-result calls at once on one file: none may lose another's result
for i in 0 1 2; do "$JT" add-result ex/jobs/job-1002.xml $i 10$i --force --time 2024-04-16T11:00:00+0100 >/dev/null 2>&1 & done
wait
run 0 requests ex/jobs/job-1002.xml --json && json '[.requests[].lab_value] == [100, 101, 102]'
[ "$failed" -eq 0 ]
