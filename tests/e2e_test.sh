#!/usr/bin/env bash
# End-to-end checks of the converter on the sample streams, judged by an
# independent decoder (ffmpeg/ffprobe) and by the stream's own bytes, and a
# film taken the whole way to a DVD (mplex, dvdauthor).
#   tests/e2e_test.sh <path to ratefold> <source dir>
# Exit status 0 all passed, 1 a check failed, 77 skipped because ffmpeg or
# ffprobe is missing, or everything else passed but mplex or dvdauthor is
# missing (either is a failure instead when CI is "true").
set -uo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 <ratefold binary> <source dir>" >&2
  exit 1
fi
ratefold=$(realpath "$1")
source_dir=$(realpath "$2")
samples=$source_dir/samples
# shellcheck source=tests/lib.sh
. "$source_dir/tests/lib.sh"

# Prints the tools among its arguments that are not installed.
missing() {  # tool...
  local tool
  for tool; do command -v "$tool" >/dev/null || echo "$tool"; done
}

skip() {  # missing_tools note
  local tools=${1//$'\n'/ }
  if [ "${CI:-}" = "true" ]; then
    echo "e2e: FAILED: $tools not installed, and CI=true requires it ($2)" >&2
    exit 1
  fi
  echo "######################################################################" >&2
  echo "e2e: SKIPPED: $tools not installed ($2)" >&2
  echo "######################################################################" >&2
  exit 77
}

lacking=$(missing ffmpeg ffprobe od awk dd)
[ -z "$lacking" ] || skip "$lacking" "apt-get install ffmpeg"

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

output_of() {  # path: the name ratefold writes beside it
  local dir=${1%/*} base=${1##*/}
  case $base in
    *.*) echo "$dir/${base%.*}_30i.${base##*.}" ;;
    *) echo "$1_30i" ;;
  esac
}

frame_hashes() {  # file
  ffmpeg -v error -nostdin -i "$1" -fps_mode passthrough -f framemd5 - |
    awk -F', *' '!/^#/ { print $NF }'
}

# The judge: prints why OUTPUT, made from INPUT, does not show the input's
# film by 3:2 pulldown at WANT frames per second, one reason a line (each
# kind of fault once); prints nothing when it does. A decoder shows the
# stream as fields: a frame gives 2 + repeat_pict of them, the first on the
# top line when top_field_first is 1, then alternating: T B [T] or B T [B].
#  - pictures: ffmpeg decodes the same pictures from both, as many as
#    ffprobe shows;
#  - cadence: after every frame, the fields shown are 2.5 a frame within
#    one field: 5/2 times the frames in all, and every frame shown within a
#    field of its film time (3:2 pulldown, or 2:3:3:2);
#  - parity: each frame starts on the parity opposite to the one the frame
#    before ended on;
#  - interlaced: every frame is shown as progressive (interlaced_frame 0,
#    that is progressive_frame 1);
#  - rate: the frames shown (fields / 2) over the running time that ffmpeg
#    gives the stream (the sum of its frame durations, which follow the
#    sequence header's frame rate and repeat_pict) make WANT per second;
#  - progressive_sequence, from the bytes: 0 in every sequence extension.
#    A decoder hardly shows it: ffprobe's field_order and interlaced_frame
#    follow progressive_frame too, and only a repeated field gives it away
#    (repeat_pict 2 or 4 instead of 1).
#  - chroma_420_type, from the bytes: progressive_frame in a 4:2:0 stream,
#    0 otherwise (ISO/IEC 13818-2 6.3.10).
judge() {  # input output want_rate
  local in_hashes out_hashes shown
  in_hashes=$(frame_hashes "$1")
  out_hashes=$(frame_hashes "$2")
  shown=$(grep -c . <<<"$out_hashes")
  [ "$in_hashes" = "$out_hashes" ] ||
    echo "pictures: the decoded pictures differ from the input's ($shown frames, input $(grep -c . <<<"$in_hashes"))"
  ffprobe -v error -select_streams v:0 -show_entries \
    stream=time_base:frame=best_effort_timestamp,top_field_first,repeat_pict,interlaced_frame,pkt_duration,duration \
    -of default "$2" | awk -F= -v want="$3" -v shown="$shown" '
      function why(kind, text) { if (!(kind in told)) print text; told[kind] }
      $0 == "[FRAME]" { ts = dur = tff = rp = il = "" }
      $1 == "best_effort_timestamp" && $2 != "N/A" { ts = $2 }
      $1 == "top_field_first" { tff = $2 }
      $1 == "repeat_pict" { rp = $2 }
      $1 == "interlaced_frame" { il = $2 }
      ($1 == "pkt_duration" || $1 == "duration") && $2 != "N/A" { dur = $2 }
      $1 == "time_base" { split($2, tb, "/") }
      $0 == "[/FRAME]" {
        frame = "frame " n + 0 " (top_field_first " tff ", repeat_pict " rp ")"
        if (ts != "") {
          if (seen && ts + 0 <= last) why("order", "order: frame " n " out of display order")
          last = ts + 0; seen = 1
        }
        if (n && tff != next_tff) why("parity", "parity: " frame " starts on the parity frame " n - 1 " ended on")
        next_tff = rp % 2 ? 1 - tff : tff
        fields += 2 + rp; n++
        if (2 * fields - 5 * n > 1 || 5 * n - 2 * fields > 1)
          why("cadence", "cadence: " fields " fields shown for the " n " frames up to " frame ", want 2.5 a frame")
        if (il != 0) why("interlaced", "interlaced: " frame " shown as interlaced_frame " il)
        if (dur == "") why("duration", "rate: " frame " has no duration")
        time += dur
      }
      END {
        if (n != shown) print "pictures: ffprobe shows " n " frames, ffmpeg decodes " shown
        if (!n || !time) exit
        num = fields * tb[2]; den = 2 * time * tb[1]
        a = num; b = den
        while (b) { t = a % b; a = b; b = t }
        if (num / a "/" den / a != want)
          print "rate: " fields " fields show " num / a "/" den / a " frames/s, want " want
      }'
  describe "$2" | awk '
    function why(kind, text) { if (!(kind in told)) print text; told[kind] }
    $2 == "seqext" {
      chroma = $4; seqext = 1
      if ($3 != 0) why("ps", "progressive_sequence: 1 in the sequence extension at byte " $1)
    }
    $2 == "pic" && $8 != (chroma == 1 ? $6 : 0) {
      why("c420", "chroma_420_type: " $8 " with progressive_frame " $6 " and chroma_format " chroma " at byte " $1)
    }
    END { if (!seqext) print "progressive_sequence: no sequence extension" }'
}

# Converts one sample and judges the output; the run itself must end with
# status 0 and the completion line, the output lie beside the input and
# have its length.
check_converted() {  # sample want_rate
  local in="$work/$1" out
  out=$(output_of "$in")
  cp "$samples/$1" "$in" || { fail "$1: sample missing"; return; }
  run "$in"
  [ "$status" -eq 0 ] || fail "$1: status $status, stderr: $(cat "$err")"
  local said
  said=$(cat "$err"; echo .)
  said=${said%.}
  [ "${said##*$'\r'}" = "now working... $in end"$'\n' ] ||
    fail "$1: no completion line at the end of stderr: $(printf '%q' "$said")"
  [ -f "$out" ] || { fail "$1: no output ${out##*/} beside the input"; return; }
  [ -z "$(ls -A "$work/cwd")" ] || fail "$1: files written to the working folder: $(ls "$work/cwd")"
  [ "$(stat -c %s "$in")" -eq "$(stat -c %s "$out")" ] ||
    fail "$1: output has $(stat -c %s "$out") bytes, input $(stat -c %s "$in")"
  local reason
  while IFS= read -r reason; do
    fail "$1: $reason"
  done < <(judge "$in" "$out" "$2")
}

# The run must stop with status 1 and exactly this message line, and write
# nothing: the refusal comes in the first chunk.
check_refused() {  # what path message
  local what=$1 path=$2 message=$3$'\n' out got
  run "$path"
  [ "$status" -eq 1 ] || fail "$what: status $status, want 1"
  got=$(cat "$err"; echo .)
  got=${got%.}
  [ "$got" = "$message" ] ||
    fail "$what: stderr $(printf '%q' "$got"), want $(printf '%q' "$message")"
  out=$(output_of "$path")
  if [ -s "$out" ]; then
    fail "$what: $(stat -c %s "$out") bytes written to ${out##*/}"
  fi
}

# Flips bits of one byte: BYTE bytes after the start code of the Nth header
# of a kind, as describe names it ("pic 2": the second picture coding
# extension).
flip() {  # file kind n byte mask
  local at old
  at=$(describe "$1" | awk -v kind="$2" -v n="$3" '$2 == kind && ++seen == n { print $1; exit }')
  [ -n "$at" ] || { echo "no $2 $3 in ${1##*/}" >&2; return 1; }
  at=$((at + $4))
  old=$(od -An -tu1 -j "$at" -N 1 "$1" | tr -d ' ')
  printf '%b' "$(printf '\\0%03o' $((old ^ $5)))" | dd of="$1" bs=1 seek="$at" conv=notrunc status=none
}

# --- conversions: every sample that ratefold must convert, and the frame
# rate its output must show.
while read -r sample rate; do
  check_converted "$sample" "$rate"
done <<'EOF'
film_23976.m2v 30000/1001
film_24.m2v 30/1
ffmpeg_default.m2v 30000/1001
ffmpeg_interlaced_bff.m2v 30000/1001
ffmpeg_422.m2v 30000/1001
mpeg2enc_generic.m2v 30000/1001
EOF

# --- the judge itself: a conversion that passed, broken one way at a time,
# must fail for the reason given (and the input as it is, too).
base="$work/film_23976.m2v"
if [ ! -f "$(output_of "$base")" ] || [ -n "$(judge "$base" "$(output_of "$base")" 30000/1001)" ]; then
  fail "judge: no passing conversion of film_23976.m2v to break"
else
  while IFS='|' read -r what kind n byte mask reason; do
    broken="$work/broken.m2v"
    if [ "$kind" = input ]; then cp "$base" "$broken"; else cp "$(output_of "$base")" "$broken"; fi
    if [ "$kind" = input ] || flip "$broken" "$kind" "$n" "$byte" "$mask"; then
      said=$(judge "$base" "$broken" 30000/1001 2>/dev/null)
      grep -q "^$reason: " <<<"$said" ||
        fail "judge: passed $what for $reason; it said: ${said:-nothing}"
    else
      fail "judge: could not make $what"
    fi
  done <<'EOF'
the unconverted input|input||||cadence
frame_rate_code back to 23.976|seq|1|7|5|rate
progressive_sequence set again|seqext|1|5|8|progressive_sequence
the first picture's top_field_first flipped|pic|1|7|128|parity
the first picture's repeat_first_field flipped|pic|1|7|2|cadence
the second picture's progressive_frame cleared|pic|2|8|128|interlaced
the first picture's chroma_420_type flipped|pic|1|7|1|chroma_420_type
a byte of the first picture's slices flipped|pic|1|400|255|pictures
EOF
fi

# --- refusals
rate_message='sequence frame rate is not 24/23.976'
while IFS='|' read -r what sample message; do
  cp "$samples/$sample" "$work/$sample"
  check_refused "$what" "$work/$sample" "$message"
done <<EOF
25 fps stream|pal_25.m2v|$rate_message
MPEG-1 stream|mpeg1.m1v|can't treat MPEG-1 stream
240-line progressive sequence|progressive_240.m2v|can't treat progressive sequence of 240 lines
EOF
for converted in "$work"/*_30i.*; do
  if [ -s "$converted" ]; then
    check_refused "${converted##*/} converted again" "$converted" "$rate_message"
  fi
done

# A field picture: the first picture made a top field (picture_structure 1).
field="$work/field.m2v"
cp "$samples/film_23976.m2v" "$field"
flip "$field" pic 1 6 2 && check_refused "field picture" "$field" "can't treat field structured picture"

# --- from a film in a program stream to a DVD, as the README shows it: the
# video and the audio taken out without re-encoding, the video converted,
# both multiplexed for DVD (mplex -f 8) and authored (dvdauthor). dvdauthor
# must take the converted film without a warning or an error, and, so that
# this check can fail, warn about the frame rate of the unconverted one.
dvd_lacking=$(missing mplex dvdauthor)
if [ -z "$dvd_lacking" ]; then
  dvd="$work/dvd"
  mkdir "$dvd"
  # The film as it might come: the 720x480 23.976 fps sample with a 48 kHz
  # AC-3 tone, in a DVD program stream.
  ffmpeg -v error -nostdin -f mpegvideo -i "$samples/film_23976.m2v" \
    -f lavfi -i sine=frequency=440:sample_rate=48000 -map 0:v -map 1:a \
    -c:v copy -c:a ac3 -ac 2 -shortest -f dvd "$dvd/film.mpg" ||
    fail "dvd: could not make the program stream"
  (
    cd "$dvd" &&
      ffmpeg -v error -nostdin -i film.mpg -map 0:v:0 -c copy -f mpeg2video film.m2v &&
      ffmpeg -v error -nostdin -i film.mpg -map 0:a:0 -c copy -f ac3 film.ac3
  ) || fail "dvd: could not take the video and the audio out of film.mpg"
  run "$dvd/film.m2v"
  [ "$status" -eq 0 ] || fail "dvd: ratefold status $status: $(cat "$err")"
  for video in film_30i film; do
    (
      cd "$dvd" &&
        mplex -v 1 -f 8 -o "${video}_dvd.mpg" "$video.m2v" film.ac3 &&
        VIDEO_FORMAT=NTSC dvdauthor -o "dvd_$video" -t "${video}_dvd.mpg" &&
        VIDEO_FORMAT=NTSC dvdauthor -o "dvd_$video" -T
    ) >"$dvd/$video.log" 2>&1
    echo "$?" >"$dvd/$video.status"
  done
  if [ "$(cat "$dvd/film_30i.status")" -ne 0 ] || [ ! -s "$dvd/dvd_film_30i/VIDEO_TS/VTS_01_1.VOB" ]; then
    fail "dvd: the converted film made no DVD (status $(cat "$dvd/film_30i.status")): $(tail -5 "$dvd/film_30i.log")"
  fi
  if grep -E '^(WARN|ERR)' "$dvd/film_30i.log" >&2; then
    fail "dvd: dvdauthor warned about the converted film (above)"
  fi
  grep -Eq '^(WARN|ERR).*frame rate' "$dvd/film.log" ||
    fail "dvd: no frame rate warning for the unconverted 23.976 fps film: $(grep -E 'WARN|ERR' "$dvd/film.log")"
fi

if [ "$failures" -ne 0 ]; then
  echo "e2e: $failures check(s) failed" >&2
  exit 1
fi
[ -z "$dvd_lacking" ] ||
  skip "$dvd_lacking" "apt-get install mjpegtools dvdauthor; every other check passed, the DVD chain did not run"
echo "e2e: all checks passed"
