#!/usr/bin/env bash
# End-to-end checks of the converter on the sample streams, judged by an
# independent decoder (ffmpeg/ffprobe).
#   tests/e2e_test.sh <path to ratefold> <source dir>
# Exit status 0 all passed, 1 a check failed, 77 skipped because ffmpeg or
# ffprobe is missing (a failure instead when CI is "true").
set -uo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 <ratefold binary> <source dir>" >&2
  exit 1
fi
ratefold=$(realpath "$1")
samples=$(realpath "$2")/samples

for tool in ffmpeg ffprobe od awk dd; do
  if ! command -v "$tool" >/dev/null; then
    if [ "${CI:-}" = "true" ]; then
      echo "e2e: FAILED: $tool is not installed, and CI=true requires it" >&2
      exit 1
    fi
    echo "######################################################################" >&2
    echo "e2e: SKIPPED: $tool is not installed; install ffmpeg to run this test" >&2
    echo "######################################################################" >&2
    exit 77
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The converter runs from here, so an output written to the working folder
# instead of beside its input shows up.
mkdir "$work/cwd"

failures=0
fail() {
  echo "e2e: FAIL: $*" >&2
  failures=$((failures + 1))
}

# Runs the converter on one path from $work/cwd; sets status and err (the
# file holding its standard error).
run() {  # path
  err="$work/stderr.$RANDOM"
  (cd "$work/cwd" && "$ratefold" "$1") 2>"$err"
  status=$?
}

# One line per decoded frame, in the order the decoder outputs them, which is
# display order: <top_field_first> <repeat_pict>. The frame timestamps must
# rise along it (the last frame, flushed at the end of the stream, has none);
# if one does not, a line "out of display order" stands in for the frame.
frame_flags() {  # file
  ffprobe -v error -select_streams v:0 -show_entries \
    frame=best_effort_timestamp,top_field_first,repeat_pict -of default=noprint_wrappers=1 "$1" |
    awk -F= '
      function flush() {
        if (ts != "N/A" && seen && ts + 0 <= last) print "out of display order"
        else print tff, rp
        if (ts != "N/A") { last = ts + 0; seen = 1 }
      }
      $1 == "best_effort_timestamp" { if (n++) flush(); ts = $2; tff = rp = "?" }
      $1 == "top_field_first" { tff = $2 }
      $1 == "repeat_pict" { rp = $2 }
      END { if (n) flush() }'
}

stream_entry() {  # file entry
  ffprobe -v error -select_streams v:0 -show_entries "stream=$2" \
    -of default=noprint_wrappers=1:nokey=1 "$1"
}

frame_hashes() {  # file
  ffmpeg -v error -nostdin -i "$1" -fps_mode passthrough -f framemd5 - |
    awk -F', *' '!/^#/ { print $NF }'
}

gcd() {  # a b
  local a=$1 b=$2 t
  while [ "$b" -ne 0 ]; do t=$((a % b)); a=$b; b=$t; done
  echo "$a"
}

# Converts one film sample and checks the output against the input:
# name, length, frame rate, pulldown cadence and decoded pictures.
check_film() {  # sample expected_rate
  local name=$1 want_rate=$2
  local in="$work/$name.m2v" out="$work/${name}_30i.m2v"
  cp "$samples/$name.m2v" "$in" || { fail "$name: sample missing"; return; }

  run "$in"
  [ "$status" -eq 0 ] || fail "$name: status $status, stderr: $(cat "$err")"
  [ -f "$out" ] || { fail "$name: no output ${name}_30i.m2v beside the input"; return; }
  [ -z "$(ls -A "$work/cwd")" ] || fail "$name: files written to the working folder: $(ls "$work/cwd")"
  local in_size out_size
  in_size=$(stat -c %s "$in")
  out_size=$(stat -c %s "$out")
  [ "$in_size" -eq "$out_size" ] || fail "$name: output has $out_size bytes, input $in_size"

  # The input is film as mpeg2enc codes it: every frame top field first, no
  # repeated field. Without that the cadence below would prove nothing.
  local in_flags out_flags frames
  in_flags=$(frame_flags "$in")
  frames=$(wc -l <<<"$in_flags")
  [ "$frames" -ge 8 ] || fail "$name: ffprobe sees only $frames frames in the input"
  [ -z "$(grep -vx '1 0' <<<"$in_flags")" ] ||
    fail "$name: input frames not all top_field_first 1, repeat_pict 0"

  # Pulldown cadence in display order: (1,1) (0,0) (0,1) (1,0), repeating.
  out_flags=$(frame_flags "$out")
  local expected
  expected=$(awk -v n="$frames" 'BEGIN {
    split("1 1|0 0|0 1|1 0", cycle, "|")
    for (i = 0; i < n; i++) print cycle[i % 4 + 1] }')
  if [ "$out_flags" != "$expected" ]; then
    fail "$name: top_field_first/repeat_pict cadence wrong (frame: got | want):"
    paste -d'|' <(echo "$out_flags") <(echo "$expected") | awk '{ print NR - 1 ": " $0 }' |
      head -20 >&2
  fi

  # Frame rate. The stream's avg_frame_rate is what the sequence header says;
  # it does not depend on the repeated fields. The rate at which pictures are
  # shown is the number of displayed frames (fields / 2, each frame giving
  # 2 + repeat_pict fields) over the film's running time (its frames at the
  # input rate): with the 3:2 pulldown both are the new rate.
  local in_rate out_rate
  in_rate=$(stream_entry "$in" avg_frame_rate)
  out_rate=$(stream_entry "$out" avg_frame_rate)
  [ "$out_rate" = "$want_rate" ] ||
    fail "$name: ffprobe avg_frame_rate of the output is $out_rate, want $want_rate"
  local fields num den g
  fields=$(awk '{ f += 2 + $2 } END { print f + 0 }' <<<"$out_flags")
  num=$((fields * ${in_rate%/*}))
  den=$((2 * frames * ${in_rate#*/}))
  g=$(gcd "$num" "$den")
  [ "$((num / g))/$((den / g))" = "$want_rate" ] ||
    fail "$name: $fields fields for $frames frames at $in_rate show $((num / g))/$((den / g)) frames/s, want $want_rate"

  # The pictures themselves are untouched.
  local in_hashes out_hashes
  in_hashes=$(frame_hashes "$in")
  out_hashes=$(frame_hashes "$out")
  [ "$(wc -l <<<"$in_hashes")" -eq "$frames" ] ||
    fail "$name: ffmpeg decoded $(wc -l <<<"$in_hashes") frames of the input, ffprobe $frames"
  [ "$in_hashes" = "$out_hashes" ] || fail "$name: decoded pictures differ from the input's"
}

# The run must stop with status 1 and exactly this message, and write
# nothing: the refusal comes in the first chunk.
check_refused() {  # what path message
  local what=$1 path=$2 message=$3
  run "$path"
  [ "$status" -eq 1 ] || fail "$what: status $status, want 1"
  local got
  got=$(cat "$err"; echo .)
  got=${got%.}
  [ "$got" = "$message" ] ||
    fail "$what: stderr $(printf '%q' "$got"), want $(printf '%q' "$message")"
  local out="${path%.m2v}_30i.m2v"
  if [ -f "$out" ] && [ -s "$out" ]; then
    fail "$what: $(stat -c %s "$out") bytes written to ${out##*/}"
  fi
}

# Offset in the file of byte 6 of the first picture coding extension
# (00 00 01 B5, then an identifier byte with bit 7 set), which holds
# picture_structure in its low two bits (ISO/IEC 13818-2 6.2.3.1). The first
# one follows the first picture header, near the start of the stream.
first_picture_structure_offset() {  # file
  od -An -v -tu1 -w1 -N 65536 "$1" | awk '
    { b[NR - 1] = $1 }
    NR >= 5 && b[NR - 5] == 0 && b[NR - 4] == 0 && b[NR - 3] == 1 && b[NR - 2] == 181 && b[NR - 1] >= 128 {
      print NR - 5 + 6; exit }'
}

set_byte() {  # file offset value
  printf "\\$(printf '%03o' "$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

byte_at() {  # file offset
  od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' '
}

check_film film_23976 30000/1001
check_film film_24 30/1

rate_message=$'sequence frame rate is not 24/23.976\n'
cp "$samples/pal_25.m2v" "$work/pal_25.m2v"
check_refused "25 fps stream" "$work/pal_25.m2v" "$rate_message"
for name in film_23976_30i film_24_30i; do
  if [ -f "$work/$name.m2v" ]; then
    check_refused "converted $name again" "$work/$name.m2v" "$rate_message"
  fi
done

# A field picture: the first picture made a top field (picture_structure 1).
field="$work/field.m2v"
cp "$samples/film_23976.m2v" "$field"
offset=$(first_picture_structure_offset "$field")
if [ -z "$offset" ]; then
  fail "no picture coding extension found in film_23976.m2v"
else
  old=$(byte_at "$field" "$offset")
  set_byte "$field" "$offset" $(((old & ~3) | 1))
  [ "$(( $(byte_at "$field" "$offset") & 3 ))" -eq 1 ] || fail "could not patch picture_structure"
  check_refused "field picture" "$field" $'can\'t treat field structured picture\n'
fi

if [ "$failures" -ne 0 ]; then
  echo "e2e: $failures check(s) failed" >&2
  exit 1
fi
echo "e2e: all checks passed"
