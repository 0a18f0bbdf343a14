#!/usr/bin/env bash
# The built program on files in a temporary folder: the exact bytes it writes
# to standard error, its exit status and the files it leaves.
#   cli_test.sh path/to/ratefold
set -u
ratefold=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
TMPDIR=$(mktemp -d)
trap 'rm -rf "$TMPDIR"' EXIT
mkdir "$TMPDIR/work" && cd "$TMPDIR/work" || exit 1

# A 24 fps stream of one picture (top_field_first 1, progressive_frame 1);
# converted: frame_rate_code 5 (0x22 -> 0x25), repeat_first_field set (0x81 -> 0x83).
stream='000001b3 2d01e022 030d4820 000001b5 14820001 000000 000001b8 00080040
  00000100 000fff f8 000001b5 8fff f381 80 00000101 1122334455 000001b7'
from_hex() { printf "$(printf '%s' "$1" | tr -d ' \n' | sed 's/../\\x&/g')"; }
from_hex "$stream" >clip.m2v
from_hex "$(sed 's/e022/e025/; s/f381/f383/' <<<"$stream")" >expected.m2v
size=$(stat -c %s clip.m2v)
nl=$'\n'
usage=$'\nUSAGE: ratefold 24fps_mpeg2_video_stream[s] \n\n'
done_line() { printf 'now working... %s end' "$1"; }
failed() { printf '%snow working... %s failed' "$1" "$2"; }
rate=$'sequence frame rate is not 24/23.976\n'
# The progress figure for D bytes done of S, truncated to hundredths.
percent() { printf 'now working... %3d.%02d %%\r' $(($1 * 100 / $2)) $(($1 * 10000 / $2 % 100)); }
# Nothing but the named files in the folder (no temporary file left over).
only() { [ "$(ls -A | sort | tr '\n' ' ')" = "$(printf '%s\n' "$@" | sort | tr '\n' ' ')" ] || fail "$what: left $(ls -A)"; }

expect "no arguments" 1 "$usage" "$ratefold"
help=$("$ratefold" --help 2>"$TMPDIR/help.err") && [ ! -s "$TMPDIR/help.err" ] &&
  [ "$(grep -c '^  -' <<<"$help")" -eq 11 ] || fail "--help: $help"
[[ $("$ratefold" --version 2>&1) =~ ^ratefold\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "--version"
# Conversions: status 0, the progress and completion lines for FILE, and
# OUTPUT the stream with EDITS. A longer stale output is replaced whole; "--"
# ends the options; --timestamps-in shows each picture at its timestamp, at
# 29.97 unless --to says otherwise; a link at the output name that leads to
# a regular file is replaced, and what it pointed to stays. Devices and
# FIFOs named with -o are written as streams, as -o - is: /dev/null,
# /dev/stdout into a pipe or a file (the /dev/stdout link stays, even as
# root), /dev/fd/3, a FIFO with a reader (not waited on for ever).
head -c 100000 /dev/urandom >clip_30i.m2v
cp -- clip.m2v -x.m2v && printf '# timestamp format v2\n0\n' >t.txt && mkfifo out.fifo
ln -s clip.m2v link.m2v && printf 'pointed to' >target && ln -s target link_30i.m2v
while read -r file output edits command; do
  expect "$command" 0 "$(percent 1 1)$(done_line "$file")$nl" timeout 10 sh -c "'$ratefold' $command"
  [ "$output" = - ] || from_hex "$(sed "$edits" <<<"$stream")" | cmp -s -- - "$output" || fail "$command: converted bytes"
  rm -f -- "$output"
done <<'EOF_CONVERTED'
clip.m2v clip_30i.m2v s/e022/e025/;s/f381/f383/ clip.m2v
-x.m2v -x_30i.m2v s/e022/e025/;s/f381/f383/ --to 30 -- -x.m2v
clip.m2v named.m2v s/e022/e025/;s/f381/f383/ -o named.m2v clip.m2v
link.m2v link_30i.m2v s/e022/e025/;s/f381/f383/ link.m2v
clip.m2v clip_30i.m2v s/e022/e024/ --timestamps-in t.txt clip.m2v
clip.m2v clip_30i.m2v s/e022/e025/ --to 30 --timestamps-in=t.txt clip.m2v
clip.m2v - - -o /dev/null clip.m2v
clip.m2v piped.m2v s/e022/e025/;s/f381/f383/ -o /dev/stdout clip.m2v | cat >piped.m2v
clip.m2v named.m2v s/e022/e025/;s/f381/f383/ -o /dev/stdout clip.m2v >named.m2v
clip.m2v fd3.m2v s/e022/e025/;s/f381/f383/ -o /dev/fd/3 clip.m2v 3>&1 >/dev/null | cat >fd3.m2v
clip.m2v fifo.m2v s/e022/e025/;s/f381/f383/ -o out.fifo clip.m2v & timeout 10 cat out.fifo >fifo.m2v; wait $!
EOF_CONVERTED
[ "$(cat target)" = "pointed to" ] || fail "the link was written through"
# (Put back if it was, as the system has it.)
[ -L /dev/stdout ] || { fail "-o /dev/stdout: the link was replaced"; rm -f /dev/stdout; ln -s /proc/self/fd/1 /dev/stdout; }
rm -- -x.m2v link.m2v target t.txt out.fifo

# Pipes: standard input to standard output gives the file's bytes, the
# progress counting bytes. A refusal part-way leaves the reader the bytes
# before the GOP being read, which wait until its flags are final.
expect "pipe" 0 "now working... $size bytes"$'\r'"now working... - end$nl" \
  sh -c "cat clip.m2v | '$ratefold' -o - - >piped.m2v"
cmp -s piped.m2v expected.m2v || fail "pipe: converted bytes"
{ cat clip.m2v; head -c 1048576 /dev/zero; from_hex '00000100 000fff f8 000001b5 8fff f181 80'; } >late.m2v
expect "pipe refused part-way" 1 "now working... 524286 bytes"$'\r'"now working... 1048574 bytes"$'\r'"$(failed \
  $'can\'t treat field structured picture\n' -)$nl" bash -c "set -o pipefail; cat late.m2v | '$ratefold' -o - - >part.m2v"
[ -s part.m2v ] && cmp -s part.m2v <(head -c "$(stat -c %s part.m2v)" expected.m2v) ||
  fail "pipe refused part-way: the bytes before the refusal"
# A terminal is refused as output, and as input at once, not waited on.
while IFS='|' read -r command message; do
  timeout 10 script -qec "'$ratefold' $command" /dev/null >tty.out 2>&1
  grep -q "^$message" tty.out && [ ! -e tty.m2v ] || fail "$command, a terminal: $(cat tty.out)"
done <<'EOF_TERMINAL'
-o - clip.m2v|can't write a stream to a terminal
-o /dev/tty clip.m2v|can't write a stream to a terminal
-o tty.m2v -|can't read a stream from a terminal
EOF_TERMINAL
rm -f piped.m2v part.m2v tty.out
# Closed standard streams get /dev/null: no file the run opens takes their numbers.
"$ratefold" -o closed.m2v - <clip.m2v 2>&- && cmp -s closed.m2v expected.m2v || fail "standard error closed"
cp clip.m2v closed.m2v && "$ratefold" closed.m2v <&- 2>&- && cmp -s closed_30i.m2v expected.m2v || fail "standard input and error closed"
rm -f closed.m2v closed_30i.m2v
# A GOP over the 64 MiB standard output holds back (a slice of random bytes
# without a zero) is let go as it stands: standard output gets a file's bytes.
{ from_hex "${stream% 000001b7}"; head -c 70M /dev/urandom | tr -d '\000'
  from_hex '00000100 004fff f8 000001b5 8fff f381 80 00000101 11 000001b7'; } >long_gop.m2v
"$ratefold" -o - long_gop.m2v >piped.m2v 2>/dev/null && "$ratefold" -o named.m2v long_gop.m2v 2>/dev/null &&
  cmp -s piped.m2v named.m2v || fail "a GOP over 64 MiB: standard output's bytes"
rm -f piped.m2v named.m2v long_gop.m2v

# The second of three is missing: the first is complete, the third untouched.
cp clip.m2v a.m2v && cp clip.m2v c.m2v && mkdir somedir && mkfifo pipe
expect "second missing" 1 "$(percent 1 1)$(done_line a.m2v)$nl$(failed $'can\'t open missing.m2v\n' missing.m2v)$nl" \
  "$ratefold" a.m2v missing.m2v c.m2v
cmp -s a_30i.m2v expected.m2v && [ ! -e c_30i.m2v ] || fail "first output or third file"

# Three reads, one progress line each.
{ cat clip.m2v; head -c $((1048577 - size)) /dev/zero | tr '\0' '\377'; } >long.m2v
expect "three reads" 0 "$(percent 524288 1048577)$(percent 1048576 1048577)$(percent 1 1)$(done_line long.m2v)$nl" \
  "$ratefold" long.m2v
[ "$(stat -c %s long_30i.m2v)" -eq 1048577 ] || fail "long output length"

# A stream ending inside a header or a start code keeps those bytes as they are.
for tail in '\x00\x00\x01\xb3\x2d' '\x00\x00\x01' '\x00\x00\x01\xb5\x8f\xff\xf3\x81'; do
  { cat clip.m2v; printf "$tail"; } >cut.m2v
  expect "ends in $tail" 0 "$(percent "$size" "$(stat -c %s cut.m2v)")$(done_line cut.m2v)$nl" "$ratefold" cut.m2v
  cmp -s cut_30i.m2v <(cat expected.m2v; printf "$tail") || fail "output of a stream ending in $tail"
done

# A refusal in a later chunk (a field picture after 1 MiB) leaves the earlier
# output as it was, and nothing else.
rm -f ./*_30i.m2v cut.m2v long.m2v
printf 'earlier output' >late_30i.m2v
what="field picture late"
expect "$what" 1 "$(percent 524288 1048601)$(percent 1048576 1048601)$(failed \
  $'can\'t treat field structured picture\n' late.m2v)$nl" "$ratefold" late.m2v
[ "$(cat late_30i.m2v)" = "earlier output" ] || fail "the earlier output was changed"
# Over a folder again: an earlier output taken as input leaves no output of its own.
expect "again" 1 "$(percent 1 1)$(done_line a.m2v)$nl$(failed "$rate" a_30i.m2v)$nl" "$ratefold" a.m2v a_30i.m2v
what="after a refusal" only a.m2v a_30i.m2v c.m2v clip.m2v expected.m2v late.m2v late_30i.m2v pipe somedir
rm -f late.m2v late_30i.m2v a_30i.m2v c.m2v

# --info: a file that cannot be read is reported, the others still described,
# their pictures listed (--pictures) after the description.
"$ratefold" --info --pictures missing.m2v clip.m2v >info.out 2>info.err
[ $? -eq 1 ] && [ "$(cat info.err)" = "can't open missing.m2v" ] && [ "$(sed -n '1p; $p' info.out)" = "clip.m2v: MPEG-2, \
720x480, 4:2:0, coded at 24 fps$nl  picture 0: coded 0, I, temporal_reference 0, top_field_first 1, repeat_first_field 0, \
progressive_frame 1, 2 fields, start 0.000000 s" ] || fail "--info of a missing file: $(cat info.err info.out)"
rm -f info.out info.err
# --info --json of a name not UTF-8 (a lone byte, an encoded surrogate,
# overlong forms, past U+10FFFF) after characters at the edges of UTF-8's
# ranges, which stay characters: os.fsencode gives the name's bytes back.
name=$'caf\xc3\xa9\xc2\x80\xc3\x80\xe0\xa0\x80\xed\x9f\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf \xe9 \xed\xa0\x80 \xc0\xaf \xe0\x80\xaf \xf0\x80\x80\xaf \xf4\x90\x80\x80 \xf0\x9f\x8e\x9e "\\x.m2v'
cp clip.m2v "$name"
"$ratefold" --info --json "$name" >info.out 2>/dev/null || fail "--info --json of a name not UTF-8: status"
if command -v python3 >/dev/null; then
  python3 -c 'import json, os, sys
d = json.loads(sys.stdin.buffer.read())
name = os.fsencode(sys.argv[1])
assert d["file"].startswith("caf\u00e9\u0080\u00c0\u0800\ud7ff\U00010000\U0010ffff ") and os.fsencode(d["file"]) == name and os.fsencode(d["convert"]["output"]) == name[:-4] + b"_30i.m2v", d' \
    "$name" <info.out || fail "--info --json of a name not UTF-8: python3: $(cat info.out)"
fi
rm -f info.out "$name"

# Refusals: status 1, the message, and the folder as it was (no stream at
# all; a FIFO as input or output is not waited on, a link to one stays; the
# input itself, by a link, by -o, or as standard output appended to it, is
# never written; past a file-size limit, the write fails: ratefold ignores
# SIGXFSZ). TIMESTAMPS go to t.txt; "@usage" stands for the usage lines,
# "@done" for a progress line at 100 %; FILE, if given, is named as failed.
v2='# timestamp format v2\n'
cat clip.m2v clip.m2v clip.m2v >three.m2v
from_hex "$(sed 's/e022/e029/' <<<"$stream")" >rate9.m2v
truncate -s 300M big.txt
: >empty.m2v
printf 'hello\n' >text.m2v
{ cat clip.m2v; head -c 300000 /dev/zero; } >big.m2v
ln -s clip.m2v dir.m2v && mkdir dir_30i.m2v
ln -s clip.m2v fifo.m2v && mkfifo fifo_30i.m2v
ln -s clip.m2v fifolink.m2v && ln -s fifo_30i.m2v fifolink_30i.m2v
cp clip.m2v self.m2v && ln -s self.m2v self_30i.m2v
: >t.txt && before=$(ls -A)
goes_with='--timestamps-in goes with the default job or --to\n@usage'
not_stream='not an MPEG-2 or H.264 video elementary stream (take the video out of a container first: ffmpeg -i film.vob -map 0:v:0 -c copy -f mpeg2video film.m2v, or -f h264 film.264)\n'
own="can't write the output onto its own input self.m2v\n"
while IFS='|' read -r what timestamps message file command; do
  printf '%b' "$timestamps" >t.txt
  message=$(printf '%b' "$message@") && message=${message%@}${file:+now working... $file failed$nl}
  message=${message//@usage/$usage} && message=${message//@done/$(percent 1 1)}
  expect "$what" 1 "$message" timeout 60 sh -c "ulimit -f 100; '$ratefold' $command"
  [ "$(ls -A)" = "$before" ] || fail "$what: left $(ls -A | tr '\n' ' ')"
done <<EOF_REFUSED
empty||$not_stream|empty.m2v|empty.m2v
text||$not_stream|text.m2v|text.m2v
directory as input||can't open somedir\n|somedir|somedir
pipe as input||can't open pipe\n|pipe|pipe
unknown option||unknown option --fast (ratefold --help lists them)\n@usage||clip.m2v --fast
no rate||--to takes 25, 29.97 or 30 (fields repeated) or 50, 59.94 or 60 (frames repeated), not 24\n@usage||--to 24 clip.m2v
options only||@usage||--undo
--undo|${v2}0\n|$goes_with||--undo --timestamps-in t.txt clip.m2v
--info|${v2}0\n|$goes_with||--info --timestamps-in t.txt clip.m2v
two streams|${v2}0\n|--timestamps-in names the timestamps of a single stream\n@usage||--timestamps-in t.txt clip.m2v a.m2v
no value|${v2}0\n|--timestamps-in needs a value\n@usage||clip.m2v --timestamps-in
missing|${v2}0\n|can't read missing.txt\n||--timestamps-in missing.txt clip.m2v
a folder|${v2}0\n|can't read somedir\n||--timestamps-in somedir clip.m2v
too large|${v2}0\n|big.txt is over 256 MiB: no timestamp file\n||--timestamps-in big.txt clip.m2v
no header|0\n|t.txt does not start with "# timestamp format v2" (or v1)\n||--timestamps-in t.txt clip.m2v
no number|${v2}0\nx\n|t.txt line 3 is not a number: "x"\n||--timestamps-in t.txt clip.m2v
backwards|${v2}10\n5\n|t.txt goes backwards at picture 1 (in display order, from 0): 5 ms after 10 ms\n||--timestamps-in t.txt clip.m2v
count|${v2}0\n40\n80\n|@donet.txt has 3 timestamps for 1 pictures\n|clip.m2v|--timestamps-in t.txt clip.m2v
range|# timestamp format v1\nAssume 25\n0,3,50\n|@donet.txt has a range up to picture 3 (from 0) for 1 pictures\n|clip.m2v|--timestamps-in t.txt clip.m2v
too short|${v2}0\n10\n50\n|@donet.txt: picture 0 (in display order, from 0) lasts 10 ms: shown as 2 or 3 fields at 29.97 fps, picture 1 would start more than a field from its timestamp\n|three.m2v|--timestamps-in t.txt three.m2v
too long|${v2}0\n100\n140\n|@donet.txt: picture 0 (in display order, from 0) lasts 100 ms: shown as 2 or 3 fields at 25 fps, picture 1 would start more than a field from its timestamp\n|three.m2v|--to 25 --timestamps-in t.txt three.m2v
no rate|${v2}0\n|can't show frame_rate_code 9 at its timestamps: --timestamps-in takes a stream at 23.976, 24, 25, 29.97, 30, 50, 59.94 or 60 fps\n|rate9.m2v|--timestamps-in t.txt rate9.m2v
output dir||can't open output file\nratefold: dir_30i.m2v: not a regular file\n|dir.m2v|dir.m2v
output fifo||can't open output file\nratefold: fifo_30i.m2v: not a regular file\n|fifo.m2v|fifo.m2v
output link to a fifo||can't open output file\nratefold: fifolink_30i.m2v: not a regular file\n|fifolink.m2v|fifolink.m2v
output link to the input||$own|self.m2v|self.m2v
-o the input||$own|self.m2v|--to 25 -o self.m2v self.m2v
-o - appended to the input||$own|self.m2v|--to 25 -o - self.m2v >>self.m2v
-o a missing folder||can't open output file\nratefold: missing/x.m2v: No such file or directory\n|clip.m2v|-o missing/x.m2v clip.m2v
-o /dev/full||can't write output file\nratefold: /dev/full: No space left on device\n|clip.m2v|-o /dev/full clip.m2v
file size limit||can't write output file\nratefold: big_30i.m2v: File too large\n|big.m2v|big.m2v
EOF_REFUSED
cmp -s self.m2v clip.m2v && [ -L fifolink_30i.m2v ] || fail "the input, or a link to a FIFO, changed"
rm -rf big.txt empty.m2v text.m2v t.txt three.m2v rate9.m2v dir.m2v dir_30i.m2v fifo.m2v fifo_30i.m2v fifolink.m2v fifolink_30i.m2v self.m2v \
  self_30i.m2v
# A full disk and a read-only folder: a small filesystem of their own where
# one can be mounted (root may write in any folder), else the folder's permissions.
mkdir small
reason=
if mount -t tmpfs -o size=64k tmpfs small 2>/dev/null; then
  expect "disk full" 1 "$(failed $'can\'t write output file\nratefold: small/big.m2v: No space left on device\n' big.m2v)$nl" \
    "$ratefold" -o small/big.m2v big.m2v
  [ -z "$(ls -A small)" ] || fail "disk full: left $(ls -A small)"
  mount -o remount,ro small && reason="Read-only file system"
elif [ "$(id -u)" != 0 ]; then
  chmod 555 small && reason="Permission denied"
fi
[ -z "$reason" ] || expect "read-only folder" 1 \
  "$(failed $'can\'t open output file\nratefold: small/x.m2v: '"$reason$nl" clip.m2v)$nl" "$ratefold" -o small/x.m2v clip.m2v
! mountpoint -q small || umount small
rm -rf small

# Durable outputs, seen through strace: the temporary file's bytes go to the
# disk before the rename, the folder after it. A failed flush of the file is a
# failed write (the earlier output stays); of the folder, it is reported.
# (LeakSanitizer cannot run under a tracer: a sanitizer build leaves it out.)
traced() { ASAN_OPTIONS=detect_leaks=0 strace "$@"; }
if strace -o /dev/null true 2>/dev/null; then
  traced -y -e trace=fdatasync,fsync,rename,renameat,renameat2 -o trace.log "$ratefold" clip.m2v 2>/dev/null
  [[ $(grep -v '^+++' trace.log | tr '\n' ' ') =~ ^fdatasync\([0-9]+\<[^\>]*/\.clip_30i\.m2v\.[[:alnum:]]{6}\>\)\ +=\ 0\ rename[a-z0-9]*\([^\)]*\"clip_30i\.m2v\"\)\ +=\ 0\ fsync\([0-9]+\<$PWD\>\)\ +=\ 0\ $ ]] ||
    fail "flushes: $(cat trace.log)"
  # The Nth CALL failing leaves KEPT as the output, and no timestamp file
  # (flushed after the stream).
  printf 'earlier output' >earlier
  while IFS='|' read -r call n kept kind file options; do
    cp earlier clip_30i.m2v
    what="call $n to $call failing" && expect "$what" 1 \
      "$(percent 1 1)$(failed "can't write $kind${nl}ratefold: $file: Input/output error$nl" clip.m2v)$nl" \
      traced -o /dev/null -e trace="$call" -e inject="$call":error=EIO:when="$n" "$ratefold" $options clip.m2v
    cmp -s clip_30i.m2v "$kept" || fail "$what: the output kept"
    only a.m2v big.m2v clip.m2v clip_30i.m2v earlier expected.m2v pipe somedir trace.log
  done <<'EOF_FLUSHES'
fdatasync|1|earlier|output file|clip_30i.m2v|
fsync|1|expected.m2v|output file|clip_30i.m2v|
fdatasync|2|expected.m2v|timestamps file|t.txt|--timestamps-out t.txt
EOF_FLUSHES
  rm -f clip_30i.m2v earlier trace.log
elif [ "${CI:-}" = true ]; then
  fail "strace missing or unable to trace, and CI=true requires it"
else
  echo "cli_test: strace missing or unable to trace: the flushes are not checked" >&2
fi

# A signal that ends a run part-way through a large (sparse) file leaves
# nothing but what was there before (no core file either), and the process
# ends as the signal ends it. One ignored at start (as nohup leaves SIGHUP)
# stays ignored: the SIGTERM after it ends the run. The run is under way at
# its first progress line; the FIFO stays open so that the progress lines
# never meet a closed pipe. The faults are left out: a sanitizer build
# reports them itself.
ulimit -c 0
truncate -s 1G huge.m2v && cat clip.m2v | dd of=huge.m2v conv=notrunc status=none
printf 'earlier output' >huge_30i.m2v
mkfifo progress
set -m  # its own process group, so that SIGINT is not ignored as in a background job
killed() {  # IGNORED SIGNAL...: a run on huge.m2v, IGNORED ("-": none) ignored from the start, sent each SIGNAL
  ([ "$1" = - ] || trap '' "$1"; exec "$ratefold" huge.m2v) 2>progress &
  exec 3<progress
  IFS= read -r -d $'\r' -u 3 _
  shift && for signal; do kill -s "$signal" $!; done
  wait $! 2>/dev/null
  status=$?
  exec 3<&-
  [ "$status" -eq $((128 + $(kill -l "$signal"))) ] || fail "$what: status $status"
  [ "$(cat huge_30i.m2v)" = "earlier output" ] || fail "$what: the earlier output was changed"
  only a.m2v big.m2v clip.m2v expected.m2v huge.m2v huge_30i.m2v pipe progress somedir
  rm -f .huge_30i.m2v.*  # so that each signal is judged alone
}
for signal in INT TERM HUP QUIT XCPU ALRM USR1 USR2 VTALRM PROF TRAP ABRT SYS PWR RTMIN RTMAX; do
  what="SIG$signal" killed - "$signal"
done
what="SIGUSR1 ignored at start" killed USR1 USR1 TERM
set +m
finish
