#!/usr/bin/env bash
# Runs the built program on files in a temporary folder and checks the exact
# bytes it writes to standard error, its exit status and the files it leaves.
#   cli_test.sh path/to/ratefold
set -u
ratefold=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
TMPDIR=$(mktemp -d)
trap 'rm -rf "$TMPDIR"' EXIT
cd "$TMPDIR" || exit 1

# A small 24 fps stream: sequence header (frame_rate_code 2, aspect 2) and
# extension (progressive_sequence 0, 4:2:0), a closed GOP with time code 0,
# one picture (temporal_reference 0) with its picture coding extension
# (top_field_first 1, repeat_first_field 0, chroma_420_type 1,
# progressive_frame 1), a slice and the sequence end code. Converted:
# frame_rate_code 5 (0x22 -> 0x25), repeat_first_field set (0x81 -> 0x83).
stream='000001b3 2d01e022 030d4820 000001b5 14820001 0000 000001b8 00080040
  00000100 000fff f8 000001b5 8fff f381 80 00000101 1122334455 000001b7'
from_hex() { printf "$(printf '%s' "$1" | tr -d ' \n' | sed 's/../\\x&/g')"; }
from_hex "$stream" >clip.m2v
from_hex "$(sed 's/e022/e025/; s/f381/f383/' <<<"$stream")" >expected.m2v
size=$(stat -c %s clip.m2v)
nl=$'\n'
done_line() { printf 'now working... %s end' "$1"; }
# The progress figure for D bytes done of S, truncated to hundredths.
percent() { printf 'now working... %3d.%02d %%\r' $(($1 * 100 / $2)) $(($1 * 10000 / $2 % 100)); }

expect "no arguments" 1 $'\nUSAGE: ratefold 24fps_mpeg2_video_stream[s] \n\n' "$ratefold"
head -c 100000 /dev/urandom >clip_30i.m2v  # a longer stale output is replaced
expect "one stream" 0 "$(percent 1 1)$(done_line clip.m2v)$nl" "$ratefold" clip.m2v
cmp -s clip_30i.m2v expected.m2v || fail "converted bytes"
: >empty.m2v
expect "empty input" 0 "$(done_line empty.m2v)$nl" "$ratefold" empty.m2v
[ -f empty_30i.m2v ] && [ ! -s empty_30i.m2v ] || fail "empty output"

# The second of three is missing: the first is complete, the third untouched.
cp clip.m2v a.m2v
cp clip.m2v c.m2v
expect "second missing" 1 "$(percent 1 1)$(done_line a.m2v)${nl}can't open missing.m2v$nl" \
  "$ratefold" a.m2v missing.m2v c.m2v
cmp -s a_30i.m2v expected.m2v && [ ! -e c_30i.m2v ] || fail "first output or third file"
mkdir somedir
mkfifo pipe
expect "directory as input" 1 "can't open somedir"$'\n' "$ratefold" somedir
expect "pipe as input, not waiting for a writer" 1 "can't open pipe"$'\n' timeout 10 "$ratefold" pipe

# Three reads, one progress line each.
{ cat clip.m2v; head -c $((1048577 - size)) /dev/zero | tr '\0' '\377'; } >long.m2v
expect "three reads" 0 "$(percent 524288 1048577)$(percent 1048576 1048577)$(percent 1 1)$(done_line long.m2v)$nl" \
  "$ratefold" long.m2v
[ "$(stat -c %s long_30i.m2v)" -eq 1048577 ] || fail "long output length"

# A stream ending inside a header loses it; one ending in the first bytes of
# a start code keeps them. The last progress line comes before either.
for tail in '\x00\x00\x01\xb3\x2d|' '\x00\x00\x01|\x00\x00\x01'; do
  { cat clip.m2v; printf "${tail%|*}"; } >cut.m2v
  expect "ends in ${tail%|*}" 0 "$(percent "$size" "$(stat -c %s cut.m2v)")$(done_line cut.m2v)$nl" \
    "$ratefold" cut.m2v
  cmp -s cut_30i.m2v <(cat expected.m2v; printf "${tail#*|}") || fail "output of a stream ending in ${tail%|*}"
done

# A refusal in the first chunk writes nothing (the streams refused are in the
# end-to-end test).
from_hex "${stream/e022/e023}" >pal.m2v
expect "25 fps" 1 $'sequence frame rate is not 24/23.976\n' "$ratefold" pal.m2v
[ ! -s pal_30i.m2v ] || fail "bytes written for a refused first chunk"

# Outputs that cannot or must not be written: a directory, a link to the
# input itself (which must stay whole), /dev/full, and a file-size limit
# with SIGXFSZ ignored.
mkdir blocked_30i.m2v
ln -s clip.m2v blocked.m2v
expect "output is a directory" 1 $'can\'t open output file\n' "$ratefold" blocked.m2v
cp clip.m2v self.m2v
ln -s self.m2v self_30i.m2v
expect "output is the input" 1 $'can\'t open output file\n' "$ratefold" self.m2v
cmp -s self.m2v clip.m2v || fail "input truncated"
ln -s /dev/full full_30i.m2v
ln -s clip.m2v full.m2v
expect "disk full" 1 $'can\'t write output file\n' "$ratefold" full.m2v
rm long_30i.m2v
(trap '' XFSZ; ulimit -f 100; expect "file size limit" 1 $'can\'t write output file\n' "$ratefold" long.m2v
  exit "${failures:-0}") || failures=$((${failures:-0} + $?))
finish
