#!/usr/bin/env bash
# Runs the built program on files in a temporary folder and checks the exact
# bytes it writes to standard error, its exit status and the files it leaves.
#   cli_test.sh path/to/ratefold
set -u
ratefold=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

failures=0
passes=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { passes=$((passes + 1)); }

# run NAME EXPECTED_STATUS EXPECTED_STDERR ARGS...: runs ratefold with the
# arguments and compares status and standard error byte for byte.
run() {
  local name=$1 status=$2 expected=$3
  shift 3
  "$ratefold" "$@" 2>stderr.out >stdout.out
  local got=$?
  if [ "$got" -ne "$status" ]; then
    fail "$name: exit status $got, expected $status"
  elif ! cmp -s stderr.out <(printf '%s' "$expected"); then
    fail "$name: standard error differs"
    echo "  expected: $(printf '%s' "$expected" | od -c | head -5)"
    echo "  got:      $(od -c < stderr.out | head -5)"
  elif [ -s stdout.out ]; then
    fail "$name: wrote to standard output"
  else
    pass
  fi
}

# check NAME COMMAND...: one more condition about files.
check() {
  local name=$1
  shift
  if "$@"; then pass; else fail "$name"; fi
}

# A small 24 fps stream: sequence header (frame_rate_code 2, aspect 2) and
# extension (progressive_sequence 0, 4:2:0), a closed GOP with time code 0,
# one picture (temporal_reference 0) with its picture coding extension
# (top_field_first 1, repeat_first_field 0, chroma_420_type 1,
# progressive_frame 1), a slice and the sequence end code.
hex_stream='000001b3 2d01e022 030d4820 000001b5 14820001 0000 000001b8 00080040
  00000100 000fff f8 000001b5 8fff f381 80 00000101 1122334455 000001b7'
# The same after conversion: frame_rate_code 5 (0x22 -> 0x25), and
# repeat_first_field set on the first picture (0x81 -> 0x83).
hex_converted='000001b3 2d01e025 030d4820 000001b5 14820001 0000 000001b8 00080040
  00000100 000fff f8 000001b5 8fff f383 80 00000101 1122334455 000001b7'
from_hex() { printf "$(printf '%s' "$1" | tr -d ' \n' | sed 's/../\\x&/g')"; }

from_hex "$hex_stream" > clip.m2v
from_hex "$hex_converted" > expected.m2v
size=$(stat -c %s clip.m2v)

usage=$'\nUSAGE: ratefold 24fps_mpeg2_video_stream[s] \n\n'
run "no arguments" 1 "$usage"

run "one small stream" 0 $'now working... 100.00 %\rnow working... clip.m2v end\n' clip.m2v
check "converted bytes" cmp -s clip_30i.m2v expected.m2v

# A longer stale output is cut to the new stream's length.
head -c 100000 /dev/urandom > clip_30i.m2v
run "stale output" 0 $'now working... 100.00 %\rnow working... clip.m2v end\n' clip.m2v
check "stale output replaced" cmp -s clip_30i.m2v expected.m2v

# An empty input: no progress line, an empty output, the completion line.
: > empty.m2v
run "empty input" 0 $'now working... empty.m2v end\n' empty.m2v
check "empty output" test -f empty_30i.m2v -a ! -s empty_30i.m2v

# Several files; the second is missing: the first is complete, the third is
# never touched.
cp clip.m2v a.m2v
cp clip.m2v c.m2v
run "second file missing" 1 \
  $'now working... 100.00 %\rnow working... a.m2v end\ncan\'t open missing.m2v\n' \
  a.m2v missing.m2v c.m2v
check "first output complete" cmp -s a_30i.m2v expected.m2v
check "third file untouched" test ! -e c_30i.m2v

mkdir -p somedir
run "directory as input" 1 $'can\'t open somedir\n' somedir

# Three reads: one progress line per read, truncated hundredths.
{ from_hex "$hex_stream"; head -c $((1048577 - size)) /dev/zero | tr '\0' '\377'; } > long.m2v
run "progress over three reads" 0 \
  $'now working...  49.99 %\rnow working...  99.99 %\rnow working... 100.00 %\rnow working... long.m2v end\n' \
  long.m2v
check "long output same length" test "$(stat -c %s long_30i.m2v)" -eq 1048577

# The progress figure for D bytes done of S, truncated to hundredths.
percent() { printf '%3d.%02d' $(($1 * 100 / $2)) $(($1 * 10000 / $2 % 100)); }

# A stream ending inside a header loses exactly that header; one ending in
# the first bytes of a start code keeps them. Either way the last read's
# held-back bytes are not yet done when its progress line is printed.
{ from_hex "$hex_stream"; printf '\x00\x00\x01\xb3\x2d'; } > cut.m2v
run "ends inside a header" 0 "now working... $(percent "$size" $((size + 5))) %"$'\rnow working... cut.m2v end\n' cut.m2v
check "cut header dropped" cmp -s cut_30i.m2v expected.m2v
{ from_hex "$hex_stream"; printf '\x00\x00\x01'; } > prefix.m2v
run "ends in a start code" 0 "now working... $(percent "$size" $((size + 3))) %"$'\rnow working... prefix.m2v end\n' prefix.m2v
check "start code beginning kept" cmp -s prefix_30i.m2v <(cat expected.m2v; printf '\x00\x00\x01')

# Streams the converter refuses: 25 fps, its own output, a field picture.
from_hex "${hex_stream/e022/e023}" > pal.m2v
run "25 fps" 1 $'sequence frame rate is not 24/23.976\n' pal.m2v
check "nothing written for a refused first chunk" test ! -s pal_30i.m2v
run "own output" 1 $'sequence frame rate is not 24/23.976\n' clip_30i.m2v
from_hex "${hex_stream/f381/f181}" > field.m2v
run "field picture" 1 $'can\'t treat field structured picture\n' field.m2v

# The output cannot be created.
mkdir -p blocked_30i.m2v
cp clip.m2v blocked.m2v
run "output is a directory" 1 $'can\'t open output file\n' blocked.m2v

# The output name leads back to the input itself: it must not be truncated.
cp clip.m2v self.m2v
ln -s self.m2v self_30i.m2v
run "output is the input" 1 $'can\'t open output file\n' self.m2v
check "input kept whole" cmp -s self.m2v clip.m2v

# Disk full: the output is /dev/full.
ln -s /dev/full full_30i.m2v
cp clip.m2v full.m2v
run "disk full" 1 $'can\'t write output file\n' full.m2v

# A file-size limit below the output's size, with SIGXFSZ ignored by the
# caller: the short write is an error, never a success.
rm -f long_30i.m2v
( trap '' XFSZ; ulimit -f 100; run "file size limit" 1 $'can\'t write output file\n' long.m2v
  echo "$failures $passes" > counts )
read -r failures passes < counts

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
