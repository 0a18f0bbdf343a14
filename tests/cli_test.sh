#!/usr/bin/env bash
# Runs the built program on files in a temporary folder and checks the exact
# bytes it writes to standard error, its exit status and the files it leaves.
#   cli_test.sh path/to/ratefold
set -u
ratefold=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
TMPDIR=$(mktemp -d)
trap 'rm -rf "$TMPDIR"' EXIT
mkdir "$TMPDIR/work" && cd "$TMPDIR/work" || exit 1

# A small 24 fps stream: sequence header (frame_rate_code 2, aspect 2) and
# extension (progressive_sequence 0, 4:2:0), a closed GOP with time code 0,
# one picture (temporal_reference 0) with its picture coding extension
# (top_field_first 1, repeat_first_field 0, chroma_420_type 1,
# progressive_frame 1), a slice and the sequence end code. Converted:
# frame_rate_code 5 (0x22 -> 0x25), repeat_first_field set (0x81 -> 0x83).
stream='000001b3 2d01e022 030d4820 000001b5 14820001 000000 000001b8 00080040
  00000100 000fff f8 000001b5 8fff f381 80 00000101 1122334455 000001b7'
from_hex() { printf "$(printf '%s' "$1" | tr -d ' \n' | sed 's/../\\x&/g')"; }
from_hex "$stream" >clip.m2v
from_hex "$(sed 's/e022/e025/; s/f381/f383/' <<<"$stream")" >expected.m2v
size=$(stat -c %s clip.m2v)
nl=$'\n'
done_line() { printf 'now working... %s end' "$1"; }
failed() { printf '%snow working... %s failed' "$1" "$2"; }
not_stream="not an MPEG-2 or H.264 video elementary stream (take the video out of a container first: ffmpeg -i film.vob -map 0:v:0 -c copy -f mpeg2video film.m2v, or -f h264 film.264)$nl"
rate=$'sequence frame rate is not 24/23.976\n'
no_output=$'can\'t open output file\n'
# The progress figure for D bytes done of S, truncated to hundredths.
percent() { printf 'now working... %3d.%02d %%\r' $(($1 * 100 / $2)) $(($1 * 10000 / $2 % 100)); }
# Nothing but the named files in the folder (no temporary file left over).
only() { [ "$(ls -A | sort | tr '\n' ' ')" = "$(printf '%s\n' "$@" | sort | tr '\n' ' ')" ] || fail "$what: left $(ls -A)"; }

expect "no arguments" 1 $'\nUSAGE: ratefold 24fps_mpeg2_video_stream[s] \n\n' "$ratefold"
head -c 100000 /dev/urandom >clip_30i.m2v  # a longer stale output is replaced
expect "one stream" 0 "$(percent 1 1)$(done_line clip.m2v)$nl" "$ratefold" clip.m2v
cmp -s clip_30i.m2v expected.m2v || fail "converted bytes"

# Options: refused before any file is touched; "--" ends them, so a file
# whose name starts with "-" can be named; --help and --version on standard
# output.
usage=$'\nUSAGE: ratefold 24fps_mpeg2_video_stream[s] \n\n'
rm clip_30i.m2v
expect "unknown option" 1 "unknown option --fast (ratefold --help lists them)$nl$usage" "$ratefold" clip.m2v --fast
expect "no rate" 1 "--to takes 25, 29.97 or 30 (fields repeated) or 50, 59.94 or 60 (frames repeated), not 24$nl$usage" \
  "$ratefold" --to 24 clip.m2v
expect "options only" 1 "$usage" "$ratefold" --undo
[ ! -e clip_30i.m2v ] || fail "a file was touched before the options were refused"
cp -- clip.m2v -x.m2v
expect "--" 0 "$(percent 1 1)$(done_line -x.m2v)$nl" "$ratefold" --to 30 -- -x.m2v
cmp -s -- -x_30i.m2v expected.m2v || fail "-- -x.m2v: converted bytes"
help=$("$ratefold" --help 2>"$TMPDIR/help.err") && [ ! -s "$TMPDIR/help.err" ] &&
  [ "$(grep -c '^  -' <<<"$help")" -eq 11 ] || fail "--help: $help"
[[ $("$ratefold" --version 2>&1) =~ ^ratefold\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "--version"
rm -- -x.m2v -x_30i.m2v

# Pipes: standard input to standard output gives the file's bytes, and the
# progress counts bytes; -o names the output of a single stream. A refusal
# part-way leaves the reader with some of the bytes before it: all but those
# of the GOP being read, which wait until its flags are final.
expect "pipe" 0 "now working... $size bytes"$'\r'"now working... - end$nl" \
  sh -c "cat clip.m2v | '$ratefold' -o - - >piped.m2v"
cmp -s piped.m2v expected.m2v || fail "pipe: converted bytes"
expect "-o" 0 "$(percent 1 1)$(done_line clip.m2v)$nl" "$ratefold" -o named.m2v clip.m2v
cmp -s named.m2v expected.m2v || fail "-o: converted bytes"
{ cat clip.m2v; head -c 1048576 /dev/zero; from_hex '00000100 000fff f8 000001b5 8fff f181 80'; } >late.m2v
expect "pipe refused part-way" 1 "now working... 524286 bytes"$'\r'"now working... 1048574 bytes"$'\r'"$(failed \
  $'can\'t treat field structured picture\n' -)$nl" bash -c "set -o pipefail; cat late.m2v | '$ratefold' -o - - >part.m2v"
[ -s part.m2v ] && cmp -s part.m2v <(head -c "$(stat -c %s part.m2v)" expected.m2v) ||
  fail "pipe refused part-way: the bytes before the refusal"
if command -v script >/dev/null; then
  script -qec "'$ratefold' -o - clip.m2v" /dev/null >tty.out 2>&1
  grep -q "^can't write a stream to a terminal" tty.out || fail "terminal: $(cat tty.out)"
fi
# A terminal on standard input is refused at once, not waited on.
if command -v python3 >/dev/null; then
  python3 -c 'import pty, subprocess, sys
_, terminal = pty.openpty()
run = subprocess.run(sys.argv[1:], stdin=terminal, capture_output=True, timeout=10)
print(run.returncode, run.stderr.decode(), end="")' "$ratefold" -o tty.m2v - >tty.out 2>&1
  [ "$(cat tty.out)" = "1 $(failed $'can\'t read a stream from a terminal\n' -)" ] && [ ! -e tty.m2v ] ||
    fail "terminal on standard input: $(cat tty.out)"
fi
rm -f piped.m2v named.m2v late.m2v part.m2v tty.out
# Closed standard streams get /dev/null: no file the run opens takes their
# numbers (the output would get the progress lines, or the input them).
"$ratefold" -o closed.m2v - <clip.m2v 2>&- && cmp -s closed.m2v expected.m2v || fail "standard error closed"
cp clip.m2v closed.m2v
"$ratefold" closed.m2v <&- 2>&- && cmp -s closed_30i.m2v expected.m2v || fail "standard input and error closed"
rm -f closed.m2v closed_30i.m2v
# A GOP over the 64 MiB standard output holds back (random bytes without a
# zero byte in its first picture's slice) is let go as it stands, and what
# follows still flows: standard output gets the bytes a file gets.
{ from_hex "${stream% 000001b7}"; head -c 70M /dev/urandom | tr -d '\000'
  from_hex '00000100 004fff f8 000001b5 8fff f381 80 00000101 11 000001b7'; } >long_gop.m2v
"$ratefold" -o - long_gop.m2v >piped.m2v 2>/dev/null && "$ratefold" -o named.m2v long_gop.m2v 2>/dev/null &&
  cmp -s piped.m2v named.m2v || fail "a GOP over 64 MiB: standard output's bytes"
rm -f piped.m2v named.m2v long_gop.m2v

# Not a stream at all: nothing written, and the file is named.
: >empty.m2v
printf 'hello\n' >text.m2v
for what in empty text; do
  expect "$what" 1 "$(failed "$not_stream" $what.m2v)$nl" "$ratefold" $what.m2v
done
[ ! -e empty_30i.m2v ] && [ ! -e text_30i.m2v ] || fail "output left for a refused input"

# The second of three is missing: the first is complete, the third untouched.
cp clip.m2v a.m2v
cp clip.m2v c.m2v
expect "second missing" 1 "$(percent 1 1)$(done_line a.m2v)$nl$(failed $'can\'t open missing.m2v\n' missing.m2v)$nl" \
  "$ratefold" a.m2v missing.m2v c.m2v
cmp -s a_30i.m2v expected.m2v && [ ! -e c_30i.m2v ] || fail "first output or third file"
mkdir somedir
mkfifo pipe
expect "directory as input" 1 "$(failed $'can\'t open somedir\n' somedir)$nl" "$ratefold" somedir
expect "pipe as input, not waiting for a writer" 1 "$(failed $'can\'t open pipe\n' pipe)$nl" timeout 10 "$ratefold" pipe

# Three reads, one progress line each.
{ cat clip.m2v; head -c $((1048577 - size)) /dev/zero | tr '\0' '\377'; } >long.m2v
expect "three reads" 0 "$(percent 524288 1048577)$(percent 1048576 1048577)$(percent 1 1)$(done_line long.m2v)$nl" \
  "$ratefold" long.m2v
[ "$(stat -c %s long_30i.m2v)" -eq 1048577 ] || fail "long output length"

# A stream ending inside a header, or in the first bytes of a start code,
# keeps those bytes as they are. The last progress line comes before them.
for tail in '\x00\x00\x01\xb3\x2d' '\x00\x00\x01' '\x00\x00\x01\xb5\x8f\xff\xf3\x81'; do
  { cat clip.m2v; printf "$tail"; } >cut.m2v
  expect "ends in $tail" 0 "$(percent "$size" "$(stat -c %s cut.m2v)")$(done_line cut.m2v)$nl" "$ratefold" cut.m2v
  cmp -s cut_30i.m2v <(cat expected.m2v; printf "$tail") || fail "output of a stream ending in $tail"
done

# A refusal in a later chunk (a field picture after 1 MiB) leaves the
# earlier output as it was, byte for byte, and nothing else.
rm -f ./*_30i.m2v cut.m2v long.m2v
{ cat clip.m2v; head -c 1048576 /dev/zero; from_hex '00000100 000fff f8 000001b5 8fff f181 80'; } >late.m2v
printf 'earlier output' >late_30i.m2v
what="field picture late"
expect "$what" 1 "$(percent 524288 1048601)$(percent 1048576 1048601)$(failed \
  $'can\'t treat field structured picture\n' late.m2v)$nl" "$ratefold" late.m2v
[ "$(cat late_30i.m2v)" = "earlier output" ] || fail "the earlier output was changed"
# Running over a folder again: the earlier outputs are replaced whole, and
# an earlier output taken as input leaves no output of its own.
expect "again" 1 "$(percent 1 1)$(done_line a.m2v)$nl$(failed "$rate" a_30i.m2v)$nl" "$ratefold" a.m2v a_30i.m2v
what="after a refusal" only a.m2v a_30i.m2v c.m2v clip.m2v empty.m2v expected.m2v late.m2v late_30i.m2v pipe \
  somedir text.m2v
rm -f late.m2v late_30i.m2v empty.m2v text.m2v a_30i.m2v c.m2v

# --info: a file that cannot be read is reported, the others still are
# described, and the status says that one could not be.
"$ratefold" --info missing.m2v clip.m2v >info.out 2>info.err
[ $? -eq 1 ] && [ "$(cat info.err)" = "can't open missing.m2v" ] && grep -q '^clip.m2v: MPEG-2, 720x480' info.out ||
  fail "--info of a missing file: $(cat info.err info.out)"
rm -f info.out info.err
# --info --json of a name that is not UTF-8 (a lone byte, an encoded
# surrogate, an overlong form, past U+10FFFF, among characters that are):
# every line parses, and Python's os.fsencode gives the name's bytes back.
name=$'caf\xc3\xa9 \xe9 \xed\xa0\x80 \xc0\xaf \xf4\x90\x80\x80 \xf0\x9f\x8e\x9e "\\x.m2v'
cp clip.m2v "$name"
"$ratefold" --info --json "$name" >info.out 2>/dev/null || fail "--info --json of a name not UTF-8: status"
if command -v python3 >/dev/null; then
  python3 -c 'import json, os, sys
d = json.loads(sys.stdin.buffer.read())
name = os.fsencode(sys.argv[1])
assert os.fsencode(d["file"]) == name and os.fsencode(d["convert"]["output"]) == name[:-4] + b"_30i.m2v", d' \
    "$name" <info.out || fail "--info --json of a name not UTF-8: python3: $(cat info.out)"
fi
if command -v jq >/dev/null; then
  jq -e .file info.out >/dev/null || fail "--info --json of a name not UTF-8: jq: $(cat info.out)"
fi
rm -f info.out "$name"

# --timestamps-in: each picture at its timestamp, at 29.97 unless --to says
# otherwise, from a stream at any rate. Refused, with nothing written: other
# jobs and several streams, a file that cannot be read or is no timestamp
# file, timestamps for another count of pictures, a picture that cannot be
# shown near its time, a stream at no rate.
v2='# timestamp format v2\n'
printf "${v2}0\n" >t.txt
expect "--timestamps-in" 0 "$(percent 1 1)$(done_line clip.m2v)$nl" "$ratefold" --timestamps-in t.txt clip.m2v
from_hex "$(sed 's/e022/e024/' <<<"$stream")" | cmp -s - clip_30i.m2v || fail "--timestamps-in: converted bytes"
expect "--timestamps-in --to 30" 0 "$(percent 1 1)$(done_line clip.m2v)$nl" "$ratefold" --to 30 --timestamps-in=t.txt clip.m2v
from_hex "$(sed 's/e022/e025/' <<<"$stream")" | cmp -s - clip_30i.m2v || fail "--timestamps-in --to 30: converted bytes"
rm clip_30i.m2v
cat clip.m2v clip.m2v clip.m2v >three.m2v
from_hex "$(sed 's/e022/e029/' <<<"$stream")" >rate9.m2v
truncate -s 300M big.txt
# MESSAGE: "@usage" stands for the usage lines, "@done" for a progress line at 100 %.
goes_with='--timestamps-in goes with the default job or --to\n@usage'
while IFS='|' read -r what timestamps message command; do
  printf '%b' "$timestamps" >t.txt
  message=$(printf '%b' "$message") && [[ $message == *@usage ]] || message+=$nl
  message=${message//@usage/$usage} && message=${message//@done/$(percent 1 1)}
  expect "--timestamps-in: $what" 1 "$message" sh -c "'$ratefold' $command"
  what="--timestamps-in: $what" only a.m2v big.txt clip.m2v expected.m2v pipe rate9.m2v somedir t.txt three.m2v
done <<EOF_TIMESTAMPS
--undo|${v2}0\n|$goes_with|--undo --timestamps-in t.txt clip.m2v
--info|${v2}0\n|$goes_with|--info --timestamps-in t.txt clip.m2v
two streams|${v2}0\n|--timestamps-in names the timestamps of a single stream\n@usage|--timestamps-in t.txt clip.m2v a.m2v
no value|${v2}0\n|--timestamps-in needs a value\n@usage|clip.m2v --timestamps-in
missing|${v2}0\n|can't read missing.txt\n|--timestamps-in missing.txt clip.m2v
a folder|${v2}0\n|can't read somedir\n|--timestamps-in somedir clip.m2v
too large|${v2}0\n|big.txt is over 256 MiB: no timestamp file\n|--timestamps-in big.txt clip.m2v
no header|0\n|t.txt does not start with "# timestamp format v2" (or v1)\n|--timestamps-in t.txt clip.m2v
no number|${v2}0\nx\n|t.txt line 3 is not a number: "x"\n|--timestamps-in t.txt clip.m2v
backwards|${v2}10\n5\n|t.txt goes backwards at picture 1 (in display order, from 0): 5 ms after 10 ms\n|--timestamps-in t.txt clip.m2v
count|${v2}0\n40\n80\n|@donet.txt has 3 timestamps for 1 pictures\nnow working... clip.m2v failed\n|--timestamps-in t.txt clip.m2v
range|# timestamp format v1\nAssume 25\n0,3,50\n|@donet.txt has a range up to picture 3 (from 0) for 1 pictures\nnow working... clip.m2v failed\n|--timestamps-in t.txt clip.m2v
too short|${v2}0\n10\n50\n|@donet.txt: picture 0 (in display order, from 0) lasts 10 ms: shown as 2 or 3 fields at 29.97 fps, picture 1 would start more than a field from its timestamp\nnow working... three.m2v failed\n|--timestamps-in t.txt three.m2v
too long|${v2}0\n100\n140\n|@donet.txt: picture 0 (in display order, from 0) lasts 100 ms: shown as 2 or 3 fields at 25 fps, picture 1 would start more than a field from its timestamp\nnow working... three.m2v failed\n|--to 25 --timestamps-in t.txt three.m2v
no rate|${v2}0\n|can't show frame_rate_code 9 at its timestamps: --timestamps-in takes a stream at 23.976, 24, 25, 29.97, 30, 50, 59.94 or 60 fps\nnow working... rate9.m2v failed\n|--timestamps-in t.txt rate9.m2v
EOF_TIMESTAMPS
rm -f big.txt t.txt three.m2v rate9.m2v

# Outputs that must not be written, each refused at once (a FIFO is not
# waited on), with a line that names it and says why: beside the input a
# directory, a FIFO, a link to a FIFO (which stays); the input itself, by a
# link, by -o, or as standard output appended to it (which would grow
# without end). A failure to create or write the output names it with the
# system's reason.
no_write=$'can\'t write output file\n'
own() { printf "can't write the output onto its own input %s\n" "$1"; }
not_regular() { printf "%sratefold: %s: not a regular file\n" "$no_output" "$1"; }
ln -s clip.m2v dir.m2v && mkdir dir_30i.m2v
ln -s clip.m2v fifo.m2v && mkfifo fifo_30i.m2v
ln -s clip.m2v fifolink.m2v && ln -s fifo_30i.m2v fifolink_30i.m2v
cp clip.m2v self.m2v && ln -s self.m2v self_30i.m2v
# refused WHAT FILE MESSAGE COMMAND: status 1, MESSAGE and the line naming FILE.
refused() { expect "$1" 1 "$(failed "$3" "$2")$nl" timeout 10 sh -c "$4"; }
refused "output dir" dir.m2v "$(not_regular dir_30i.m2v)$nl" "'$ratefold' dir.m2v"
refused "output fifo" fifo.m2v "$(not_regular fifo_30i.m2v)$nl" "'$ratefold' fifo.m2v"
refused "output link to a fifo" fifolink.m2v "$(not_regular fifolink_30i.m2v)$nl" "'$ratefold' fifolink.m2v"
refused "output link to the input" self.m2v "$(own self.m2v)$nl" "'$ratefold' self.m2v"
refused "-o the input" self.m2v "$(own self.m2v)$nl" "'$ratefold' --to 25 -o self.m2v self.m2v"
refused "-o - appended to the input" self.m2v "$(own self.m2v)$nl" "ulimit -f 1024; '$ratefold' --to 25 -o - self.m2v >>self.m2v"
refused "-o a missing folder" clip.m2v "${no_output}ratefold: missing/x.m2v: No such file or directory$nl" \
  "'$ratefold' -o missing/x.m2v clip.m2v"
refused "-o /dev/full" clip.m2v "${no_write}ratefold: /dev/full: No space left on device$nl" \
  "'$ratefold' -o /dev/full clip.m2v"
cmp -s self.m2v clip.m2v && [ -L fifolink_30i.m2v ] || fail "the input, or a link to a FIFO, changed"
rm -rf dir.m2v dir_30i.m2v fifo.m2v fifo_30i.m2v fifolink.m2v fifolink_30i.m2v self.m2v self_30i.m2v
# A full disk and a read-only folder: a small filesystem of their own where
# one can be mounted (root may write in any folder), else the folder's
# permissions.
mkdir small
reason=
if mount -t tmpfs -o size=64k tmpfs small 2>/dev/null; then
  { cat clip.m2v; head -c 200000 /dev/zero; } >big.m2v
  expect "disk full" 1 "$(failed "${no_write}ratefold: small/big.m2v: No space left on device$nl" big.m2v)$nl" \
    "$ratefold" -o small/big.m2v big.m2v
  [ -z "$(ls -A small)" ] || fail "disk full: left $(ls -A small)"
  mount -o remount,ro small && reason="Read-only file system"
elif [ "$(id -u)" != 0 ]; then
  chmod 555 small && reason="Permission denied"
fi
[ -z "$reason" ] || expect "read-only folder" 1 "$(failed "${no_output}ratefold: small/x.m2v: $reason$nl" clip.m2v)$nl" \
  "$ratefold" -o small/x.m2v clip.m2v
! mountpoint -q small || umount small
rm -rf small big.m2v
# Devices and FIFOs named with -o are written as streams, as -o - is:
# /dev/null, /dev/stdout and /dev/fd/3 into a pipe (the /dev/stdout link
# stays, even as root), a FIFO with a reader; a terminal is refused.
mkfifo out.fifo
timeout 10 cat out.fifo >from_fifo.m2v &  # not for ever, if the FIFO is refused
# streamed WHAT COMMAND: status 0 and the usual lines.
streamed() { expect "-o $1" 0 "$(percent 1 1)$(done_line clip.m2v)$nl" timeout 10 bash -c "$2"; }
streamed /dev/null "'$ratefold' -o /dev/null clip.m2v"
streamed /dev/stdout "'$ratefold' -o /dev/stdout clip.m2v | cat >from_stdout.m2v"
streamed /dev/fd/3 "'$ratefold' -o /dev/fd/3 clip.m2v 3>&1 >/dev/null | cat >from_fd3.m2v"
streamed "a FIFO" "'$ratefold' -o out.fifo clip.m2v"
wait
for output in from_fifo.m2v from_stdout.m2v from_fd3.m2v; do
  cmp -s $output expected.m2v || fail "-o a stream: $output"
done
# (Put back if it was, as the system has it.)
[ -L /dev/stdout ] || { fail "-o /dev/stdout: the link was replaced"; rm -f /dev/stdout; ln -s /proc/self/fd/1 /dev/stdout; }
# Standard output redirected to a file: the link to it stays too, and the
# stream goes there, as with -o -.
"$ratefold" -o /dev/stdout clip.m2v >from_stdout.m2v 2>/dev/null && cmp -s from_stdout.m2v expected.m2v ||
  fail "-o /dev/stdout into a file"
[ -L /dev/stdout ] || { fail "-o /dev/stdout into a file: the link was replaced"; rm -f /dev/stdout; ln -s /proc/self/fd/1 /dev/stdout; }
if command -v script >/dev/null; then
  script -qec "'$ratefold' -o /dev/tty clip.m2v" /dev/null >tty.out 2>&1
  grep -q "^can't write a stream to a terminal" tty.out || fail "-o /dev/tty: $(cat tty.out)"
fi
rm -f out.fifo from_fifo.m2v from_stdout.m2v from_fd3.m2v tty.out
# A symbolic link at the output name that leads to a regular file is
# replaced; what it pointed to stays.
ln -s clip.m2v link.m2v
printf 'pointed to' >target && ln -s target link_30i.m2v
expect "output is a link" 0 "$(percent 1 1)$(done_line link.m2v)$nl" "$ratefold" link.m2v
[ ! -L link_30i.m2v ] && cmp -s link_30i.m2v expected.m2v && [ "$(cat target)" = "pointed to" ] ||
  fail "the link was written through, or not replaced"
rm -f link.m2v link_30i.m2v target

# A file-size limit: ratefold ignores SIGXFSZ itself, so that the write
# fails and is reported, and nothing is left behind.
{ cat clip.m2v; head -c 300000 /dev/zero; } >big.m2v
(failures=0; ulimit -f 100; expect "file size limit" 1 "$(failed "${no_write}ratefold: big_30i.m2v: File too large$nl" \
  big.m2v)$nl" \
  "$ratefold" big.m2v; exit "${failures:-0}") || failures=$((${failures:-0} + $?))
what="file size limit" only a.m2v big.m2v clip.m2v expected.m2v pipe somedir

# Durable outputs, seen through strace where it can trace: the temporary
# file's bytes go to the disk before the rename, and the folder after it. A
# failed flush of the file is a failed write (the earlier output stays); a
# failed flush of the folder is reported, the output having its name.
# (LeakSanitizer cannot run under a tracer: a sanitizer build leaves it out.)
traced() { ASAN_OPTIONS=detect_leaks=0 strace "$@"; }
if strace -o /dev/null true 2>/dev/null; then
  traced -y -e trace=fdatasync,fsync,rename,renameat,renameat2 -o trace.log "$ratefold" clip.m2v 2>/dev/null
  [[ $(grep -v '^+++' trace.log | tr '\n' ' ') =~ ^fdatasync\([0-9]+\<[^\>]*/\.clip_30i\.m2v\.[[:alnum:]]{6}\>\)\ +=\ 0\ rename[a-z0-9]*\([^\)]*\"clip_30i\.m2v\"\)\ +=\ 0\ fsync\([0-9]+\<$PWD\>\)\ +=\ 0\ $ ]] ||
    fail "flushes: $(cat trace.log)"
  printf 'earlier output' >earlier
  while read -r call kept; do
    cp earlier clip_30i.m2v
    expect "$call failing" 1 \
      "$(percent 1 1)$(failed $'can\'t write output file\nratefold: clip_30i.m2v: Input/output error\n' clip.m2v)$nl" \
      traced -o /dev/null -e trace="$call" -e inject="$call":error=EIO "$ratefold" clip.m2v
    cmp -s clip_30i.m2v "$kept" || fail "$call failing: the output kept"
    what="$call failing" only a.m2v big.m2v clip.m2v clip_30i.m2v earlier expected.m2v pipe somedir trace.log
  done <<'EOF_FLUSHES'
fdatasync earlier
fsync expected.m2v
EOF_FLUSHES
  # The timestamp file is flushed too, after the stream: failing, it is not
  # left, and the stream written before it is kept.
  rm -f clip_30i.m2v
  expect "timestamp file's fdatasync failing" 1 \
    "$(percent 1 1)$(failed $'can\'t write timestamps file\nratefold: t.txt: Input/output error\n' clip.m2v)$nl" \
    traced -o /dev/null -e trace=fdatasync -e inject=fdatasync:error=EIO:when=2 "$ratefold" --timestamps-out t.txt clip.m2v
  cmp -s clip_30i.m2v expected.m2v && [ ! -e t.txt ] || fail "timestamp file's fdatasync failing: the files left"
  rm -f clip_30i.m2v earlier trace.log
elif [ "${CI:-}" = true ]; then
  fail "strace missing or unable to trace, and CI=true requires it"
else
  echo "cli_test: strace missing or unable to trace: the flushes are not checked" >&2
fi

# A signal that ends the process part-way through a large file leaves
# nothing but what was there before, whichever it is (no core file either),
# and the process ends as the signal ends it. The input is sparse: 1 GiB
# that takes no room. The first progress line says the run is under way; the
# shell holds the FIFO open so that the progress lines never meet a closed
# pipe. The faults are left out: a sanitizer build reports them itself.
ulimit -c 0
truncate -s 1G huge.m2v && cat clip.m2v | dd of=huge.m2v conv=notrunc status=none
printf 'earlier output' >huge_30i.m2v
mkfifo progress
set -m  # its own process group, so that SIGINT is not ignored as in a background job
for signal in INT TERM HUP QUIT XCPU ALRM USR1 USR2 VTALRM PROF TRAP ABRT SYS PWR RTMIN RTMAX; do
  "$ratefold" huge.m2v 2>progress &
  exec 3<progress
  IFS= read -r -d $'\r' -u 3 first
  kill -s $signal $!
  wait $! 2>/dev/null
  status=$?
  exec 3<&-
  [ "$status" -eq $((128 + $(kill -l $signal))) ] || fail "SIG$signal: status $status, first line $first"
  [ "$(cat huge_30i.m2v)" = "earlier output" ] || fail "SIG$signal: the earlier output was changed"
  what="SIG$signal" only a.m2v big.m2v clip.m2v expected.m2v huge.m2v huge_30i.m2v pipe progress somedir
  rm -f .huge_30i.m2v.*  # so that each signal is judged alone
done
# One ignored at start (as nohup leaves SIGHUP) stays ignored: SIGUSR1, sent
# first, does not end the run; the SIGTERM after it does.
(trap '' USR1; exec "$ratefold" huge.m2v) 2>progress &
exec 3<progress
IFS= read -r -d $'\r' -u 3 first
kill -s USR1 $! && kill -s TERM $!
wait $! 2>/dev/null
status=$?
exec 3<&-
[ "$status" -eq $((128 + $(kill -l TERM))) ] || fail "SIGUSR1 ignored at start: status $status"
what="SIGUSR1 ignored at start" only a.m2v big.m2v clip.m2v expected.m2v huge.m2v huge_30i.m2v pipe progress somedir
set +m
finish
