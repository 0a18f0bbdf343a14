#!/usr/bin/env bash
# End to end: ratefold on the sample streams, judged as a decoder (ffmpeg)
# shows them and by their own bytes; and films taken the whole way to a DVD.
#   tests/e2e_test.sh <ratefold> <source dir>
# Status 77 (skipped) when a tool is missing, a failure instead when CI=true.
set -uo pipefail
ratefold=$(realpath "$1")
samples=$(realpath "$2")/samples
describe() { "$samples/../scripts/headers.sh" "$@"; }
. "$(dirname "$0")/lib.sh"
for tool in ffmpeg ffprobe mplex dvdauthor mkvmerge mkvextract jq; do
  command -v "$tool" >/dev/null && continue
  [ "${CI:-}" != true ] || { echo "e2e: FAILED: $tool missing, and CI=true requires it" >&2; exit 1; }
  echo "e2e: SKIPPED: $tool is not installed (apt-get install ffmpeg mjpegtools dvdauthor mkvtoolnix jq)" >&2
  exit 77
done
TMPDIR=$(mktemp -d)
trap 'rm -rf "$TMPDIR"' EXIT
cd "$TMPDIR" || exit 1

hashes() { ffmpeg -v error -nostdin -i "$1" -fps_mode passthrough -f framemd5 - | grep -v '^#' | cut -d, -f6; }

# judge INPUT OUTPUT RATE FIELDS [PROGRESSIVE] prints why OUTPUT does not
# show INPUT's pictures at RATE frames/s, FIELDS fields a picture: the same
# decoded pictures, each 2 or 3 fields (2 + repeat_pict; 1 to 3 frames if
# PROGRESSIVE), progressive, starting on the other parity than the last ended
# on, FIELDS a frame all along within a field (a frame), the running time at
# RATE; progressive_sequence and chroma_420_type (6.3.10) from the bytes.
judge() {
  [ "$(hashes "$1")" = "$(hashes "$2")" ] || echo "pictures: the decoded pictures differ"
  ffprobe -v error -select_streams v:0 -of compact -show_entries \
    stream=time_base:frame=pkt_duration,interlaced_frame,top_field_first,repeat_pict "$2" |
    awk -F'[|=/]' -v want="$3" -v per="$4" -v progressive="${5:-0}" '
      function why(kind, text) { if (!(kind in told)) print kind ": " text; told[kind] }
      BEGIN { split(per, f, "/"); slack = (progressive ? 2 : 1) * f[2] }
      $1 == "stream" { unit = $3 / $4 }
      $1 != "frame" { next }
      !progressive && n && $7 != next_tff { why("parity", "frame " n " starts on the parity frame " n - 1 " ended on") }
      { shown = 2 + $9; next_tff = shown % 2 ? 1 - $7 : $7; fields += shown; n++; time += $3 }
      shown < 2 || shown > (progressive ? 6 : 3) || (progressive && shown % 2) { why("count", "frame " n - 1 " shows " shown " fields") }
      fields * f[2] - n * f[1] >= slack || n * f[1] - fields * f[2] >= slack { why("cadence", fields " fields for " n " frames") }
      $5 != 0 { why("interlaced", "frame " n - 1 " interlaced") }
      $3 !~ /^[0-9]+$/ { why("rate", "frame " n - 1 " has no duration") }
      END {
        split(want, w, "/")
        if (!n || fields * w[2] * 1000 != int(2 * time * unit * w[1] * 1000 + 0.5))
          why("rate", fields " fields in " time * unit " s, want " want " frames/s")
      }'
  describe "$2" | awk -v progressive="${5:-0}" '
    $2 == "seqext" { chroma = $4; seen = 1; if ($3 != progressive) ps = "progressive_sequence: " $3 " at byte " $1 }
    $2 == "pic" && $8 != (chroma == 1 ? $6 : 0) { c420 = "chroma_420_type: " $8 " at byte " $1 }
    END { print (seen ? ps : "progressive_sequence: no sequence extension") "\n" c420 }' | grep .
}

# Streams made here: by ffmpeg's encoders (NAME, lavfi SOURCE, OPTIONS), and
# from the samples by hand.
flip() {  # FILE KIND BYTE MASK: flips bits of the first header of that kind
  local at old
  at=$(($(describe "$1" | awk -v kind="$2" '$2 == kind { print $1; exit }') + $3))
  old=$(od -An -tu1 -j "$at" -N 1 "$1")
  printf '%b' "$(printf '\\0%03o' $((old ^ $4)))" | dd of="$1" bs=1 seek="$at" conv=notrunc status=none
}
while IFS='|' read -r name source options; do
  ffmpeg -v error -nostdin -f lavfi -i "$source" $options "$name" || fail "ffmpeg: $name not made"
done <<'EOF_ENCODED'
tc.m2v|testsrc2=size=320x192:rate=24000/1001|-frames:v 20 -c:v mpeg2video -g 9 -timecode 10:00:00:00 -f mpeg2video
film.ts|testsrc2=size=64x64:rate=24|-frames:v 4 -c:v mpeg2video -f mpegts
pal.h264|testsrc2=size=64x64:rate=25|-frames:v 4 -c:v libx264 -f h264
long.m2v|testsrc=size=128x96:rate=24000/1001|-frames:v 1500 -c:v mpeg2video -g 1500 -sc_threshold 1000000000 -strict experimental -f mpeg2video
bframes.m2v|testsrc2=size=320x192:rate=24000/1001|-frames:v 48 -c:v mpeg2video -bf 2 -g 12 -f mpeg2video
video.mpv|testsrc2=size=720x480:rate=30000/1001|-frames:v 30 -c:v mpeg2video -flags +ilme+ildct -top 1 -f mpeg2video
vfr.mpv|testsrc2=size=720x480:rate=24|-frames:v 120 -c:v mpeg2video -g 12 -bf 2 -aspect 4:3 -b:v 5M -maxrate 8M -bufsize 1835k -f mpeg2video
EOF_ENCODED
# Picture display extensions (two frame_centre_offsets each) become user
# data: a decoder finds no pan-scan offsets, and shows the same pictures.
perl -0777 -pe 's/(\x00\x00\x01\xb5[\x80-\x8f].{4})(?=\x00\x00\x01)/$1\x00\x00\x01\xb5\x70\x00\x80\x00\x20\x00\x08\x00\x02/gs' \
  "$samples/film_23976.m2v" >panscan.m2v
# temporal_references that mislead: a GOP of 1500 pictures (they wrap at
# 1024), films that lost a P-picture (a decoder shows the B-pictures after a
# lost reference before the reference before them).
cut_picture() {  # IN OUT TYPE N: OUT is IN without its Nth (from 0) picture of TYPE (2 is P)
  perl -0777 -e 'my ($type, $nth) = @ARGV; local $/; my $s = <STDIN>; my $k = 0;
    while ($s =~ /\x00\x00\x01\x00.(.)/gs) {
      next if ((ord($1) >> 3) & 7) != $type || $k++ != $nth;
      my $at = pos($s) - 6; pos($s) = $at + 4;
      $s =~ /\x00\x00\x01[\x00\xb3\xb7\xb8]/gs or die "no end";
      print substr($s, 0, $at), substr($s, pos($s) - 4); exit 0 }
    die "no such picture"' "$3" "$4" <"$1" >"$2"
}
cut_picture bframes.m2v lost_p.m2v 2 1
cut_picture "$samples/film_23976.m2v" lost_last_p.m2v 2 3  # I2 B0 B1 P5 ... P14: the fourth P ends GOP 1
# Time codes from 00:00:00:05 come back from a round trip, as every byte does.
perl -0777 -pe 's/\x00\x00\x01\xb8(....)/"\x00\x00\x01\xb8" . later($1)/gse;
  sub later { my $v = unpack("N", $_[0]);
    my $t = (((($v >> 26) & 31) * 60 + (($v >> 20) & 63)) * 60 + (($v >> 13) & 63)) * 24 + (($v >> 7) & 63) + 5;
    my ($p, $s, $m, $h) = ($t % 24, int($t / 24) % 60, int($t / 1440) % 60, int($t / 86400));
    pack("N", ($v & 0x8000007f) | $h << 26 | $m << 20 | 1 << 19 | $s << 13 | $p << 7) }' \
  "$samples/film_23976.m2v" >tc5.m2v

# Each stream (or earlier output) converted: status 0, the completion line,
# an output of its length named for the job, judged. (ffmpeg_skipped lacks
# pictures in some GOPs.)
tag() { case $1 in --to=25) echo _25i ;; --to=59.94) echo _60p ;; --undo) echo _24p ;; *) echo _30i ;; esac; }
while read -r option name rate fields progressive; do
  [ -e "$name" ] || cp "$samples/$name" .
  out=${name%.*}$(tag "$option").${name##*.}
  options=("$option") && [ "$option" != - ] || options=()
  ratefold_err=$("$ratefold" "${options[@]}" "$name" 2>&1)
  status=$?
  done_line="now working... $name end"
  [ "$option" != --undo ] || done_line="cadence breaks: 0"$'\n'"$done_line"
  [ $status -eq 0 ] && [ "${ratefold_err##*$'\r'}" = "$done_line" ] || fail "$name: $ratefold_err"
  [ "$(stat -c %s "$name")" = "$(stat -c %s "$out" 2>/dev/null)" ] || fail "$name: no output of its length"
  # Round trips: taking the pulldown off gives the input's pictures.
  original=$(sed 's/_30i\.\|_60p\./\./' <<<"$name")
  while read -r reason; do fail "$option $name: $reason"; done < <(judge "$original" "$out" "$rate" "$fields" "$progressive")
done <<'EOF_SAMPLES'
- film_23976.m2v 30000/1001 5/2 0
- film_24.m2v 30/1 5/2 0
- ffmpeg_default.m2v 30000/1001 5/2 0
- ffmpeg_interlaced_bff.m2v 30000/1001 5/2 0
- ffmpeg_422.m2v 30000/1001 5/2 0
- mpeg2enc_generic.m2v 30000/1001 5/2 0
- ffmpeg_skipped.m2v 30000/1001 5/2 0
--to=25 film_576.m2v 25/1 1001/480 0
--to=25 film_24.m2v 25/1 25/12 0
--to=29.97 pal_25_480.m2v 30000/1001 2400/1001 0
--to=59.94 film_720p.m2v 60000/1001 5/1 1
--undo film_pulldown.m2v 24000/1001 2/1 0
--undo film_23976_30i.m2v 24000/1001 2/1 0
--undo film_720p_60p.m2v 24000/1001 2/1 1
- panscan.m2v 30000/1001 5/2 0
- long.m2v 30000/1001 5/2 0
- lost_p.m2v 30000/1001 5/2 0
- lost_last_p.m2v 30000/1001 5/2 0
- tc.m2v 30000/1001 5/2 0
EOF_SAMPLES

# The judge fails the input itself, and outputs with one flag flipped.
[[ $(judge film_23976.m2v film_23976.m2v 30000/1001 5/2) == cadence* ]] || fail "judge: passed the input"
for case in "128 parity" "2 cadence" "1 chroma_420_type"; do
  cp film_23976_30i.m2v broken.m2v && flip broken.m2v pic 7 "${case% *}"
  [[ $(judge film_23976.m2v broken.m2v 30000/1001 5/2) == *"${case#* }"* ]] || fail "judge: passed ${case#* }"
done
cp film_720p_60p.m2v broken.m2v && flip broken.m2v pic 7 128  # three frames made two
[[ $(judge film_720p.m2v broken.m2v 60000/1001 5/1 1) == *cadence* ]] || fail "judge: passed a frame too few"

# Time codes as a decoder reads them: GOPs of 15 pictures start in frames 0,
# 19 (the fourth picture of a cadence starts a frame late), 37, 56 and 75; a
# stream whose time codes begin at 10:00:00:00 keeps them.
timecodes() { ffprobe -v error -show_entries frame_side_data=timecode -of csv=p=0 "$1" | grep . | tr '\n' ' '; }
[ "$(timecodes film_23976_30i.m2v)" = "00:00:00:00 00:00:00:19 00:00:01:07 00:00:01:26 00:00:02:15 " ] ||
  fail "time codes: $(timecodes film_23976_30i.m2v)"
[ "$(timecodes tc_30i.m2v)" = "10:00:00:00 10:00:00:11 10:00:00:22 " ] || fail "time code origin: $(timecodes tc_30i.m2v)"

panscan() { ffmpeg -nostdin -debug pict -v debug -i "$1" -f null - 2>&1 | grep -c '] pde ('; }
[ "$(panscan panscan.m2v)" -gt 72 ] && [ "$(panscan panscan_30i.m2v)" = 0 ] || fail "panscan: offsets still read"

# Refusals, the file named, no output left: not film at 24 or 23.976 (H.264
# too), fields repeated already, no video elementary stream at all.
rate='sequence frame rate is not 24/23.976'
not_stream='not an MPEG-2 or H.264 video elementary stream (take the video out of a container first: ffmpeg -i film.vob -map 0:v:0 -c copy -f mpeg2video film.m2v, or -f h264 film.264)'
cp "$samples/pal_25.m2v" "$samples/mpeg1.m1v" "$samples/progressive_240.m2v" .
cp "$samples/film_23976.m2v" field.m2v
flip field.m2v pic 6 2  # the first picture made a top field
ffmpeg -v error -nostdin -f mpegvideo -i "$samples/film_23976.m2v" -c copy -f dvd film.vob
printf 'not a stream\n' >text.m2v
while IFS='|' read -r option name message; do
  out=${name%.*}$(tag "$option").${name##*.} && options=("$option") && [ "$option" != - ] || options=()
  expect "$option $name" 1 "$message"$'\n'"now working... $name failed"$'\n' "$ratefold" "${options[@]}" "$name"
  [ ! -e "$out" ] || fail "$out: left behind"
done <<EOF_REFUSED
-|pal_25.m2v|$rate
-|mpeg1.m1v|can't treat MPEG-1 stream
-|progressive_240.m2v|can't treat progressive sequence of 240 lines
-|ffmpeg_422_30i.m2v|$rate
-|field.m2v|can't treat field structured picture
-|film.vob|$not_stream
-|film.ts|$not_stream
-|pal.h264|$rate
-|text.m2v|$not_stream
--to=25|film_576_25i.m2v|can't convert: picture 0 (in display order, from 0) already shows a field repeated: take the repeats off first (ratefold --undo)
EOF_REFUSED
[ -z "$(find . -name '.*' ! -name . | head -1)" ] || fail "temporary files left: $(find . -name '.*' ! -name .)"

"$ratefold" --info long_30i.m2v | grep -q '^  cadence: 3:2, no breaks$' || fail "long: --info sees breaks"
# --info counts each picture as its own sequence shows it (frames, then
# fields); ffmpeg loses one frame at the join.
cat "$samples/ffmpeg_default.m2v" "$samples/film_23976.m2v" >joined.mpv
fields=$("$ratefold" --info --json joined.mpv | sed -n 's/.*"fields": \([0-9]*\).*/\1/p')
probed=$(ffprobe -v error -of compact -show_entries frame=repeat_pict joined.mpv | awk -F= '/^frame/ { f += 2 + $2 } END { print f }')
[ "$probed" -le "${fields:-0}" ] && [ $((${fields:-0} - probed)) -le 3 ] ||
  fail "--info joined.mpv: $fields fields, ffprobe shows $probed"
"$ratefold" tc5.m2v 2>/dev/null && "$ratefold" --undo tc5_30i.m2v 2>/dev/null && cmp -s tc5.m2v tc5_30i_24p.m2v ||
  fail "time codes from 00:00:00:05: the round trip differs ($(timecodes tc5_30i_24p.m2v | cut -c1-40))"

# --info tells what a decoder shows: on every sample and output, its fields
# are the sum of 2 + repeat_pict over ffprobe's frames, its duration theirs,
# its text what its JSON says. info_check INFO_FILE PROBE_FILE prints the
# disagreements; it must find some between a film and its conversion.
info_check() {
  local json text
  json=$("$ratefold" --info --json "$1") || { echo "status $?"; return; }
  text=$("$ratefold" --info "$1")
  grep -q '"stream": null' <<<"$json" && return
  [[ $json == *'"stream": "MPEG-'$([ "${1##*.}" = m1v ] && echo 1 || echo 2)'"'* ]] || echo "stream: not the MPEG it is"
  ffprobe -v error -select_streams v:0 -of compact -show_entries stream=time_base:frame=pkt_duration,repeat_pict \
    "$2" | awk -F'[|=/]' -v json="$json" -v text="$text" '
      $1 == "stream" { unit = $3 / $4 }
      $1 == "frame" { fields += 2 + $5; time += $3 }
      END {
        match(json, /"fields": [0-9]+/); got = substr(json, RSTART + 10, RLENGTH - 10)
        match(json, /"duration": [0-9.]+/); seconds = substr(json, RSTART + 12, RLENGTH - 12)
        if (got != fields) print "fields: " got ", ffprobe shows " fields
        if (seconds - time * unit > 0.0015 || time * unit - seconds > 0.0015) print "duration: " seconds " s, ffprobe " time * unit
        match(text, /shown: [0-9]+ [a-z]+/); split(substr(text, RSTART, RLENGTH), shown, " ")
        if (shown[2] * (shown[3] == "frames" ? 2 : 1) != got) print "text: " shown[2] " " shown[3] ", json " got " fields"
        match(json, /"frame_pictures": [0-9]+/); frames = substr(json, RSTART + 18, RLENGTH - 18)
        if (json !~ /"MPEG-1"/ && text !~ ("progressive_sequence [01], " frames " frame pictures")) print "text: frame pictures"
      }'
}
# --pictures lists ffprobe's type, top_field_first and repeat_pict.
listed() {
  "$ratefold" --info --json --pictures "$1" |
    sed -n -E '2,$ s/.*"type": "(.)".*"top_field_first": ([01]).*"(fields|frames)": ([0-9]).*/\1 \2 \3 \4/p' |
    awk '{ print $1, $2, $3 == "frames" ? ($4 - 1) * 2 : $4 - 2 }'
}
probed() { ffprobe -v error -of compact=p=0:nk=1 -show_entries frame=pict_type,top_field_first,repeat_pict "$1" 2>/dev/null | grep . | tr '|' ' '; }
for file in *.m[12]v; do
  [ "$file" = field.m2v ] && continue  # a picture made a field by hand: no decoder shows it whole
  while read -r reason; do fail "--info $file: $reason"; done < <(info_check "$file" "$file")
  [ "$(listed "$file")" = "$(probed "$file" | sed 's/ $//')" ] || fail "--pictures $file: not as ffprobe shows it"
done
[ -n "$(info_check film_23976.m2v film_23976_30i.m2v)" ] || fail "--info: the check passed a film and its conversion"
"$ratefold" --info --json film_pulldown.m2v | grep -q '"cadence": "3:2", "cadence_breaks": 0.*"undo": {"job": "--undo", "output": "film_pulldown_24p.m2v", "refusal": null}' &&
  "$ratefold" --info --to 25 film_576.m2v | grep -qx '  ratefold --to 25: film_576_25i.m2v' &&
  "$ratefold" --info film_576_25i.m2v | grep -q '^  cadence: 2:2:2:2:2:2:2:2:2:2:2:3, no breaks$' &&
  "$ratefold" --info film_720p_60p.m2v | grep -q '^  cadence: frame repetition 3:2, no breaks$' &&
  "$ratefold" --info pal_25_480_30i.m2v | grep -q '^  cadence: irregular$' &&
  "$ratefold" --info --json pal_25_480_30i.m2v | grep -q '"cadence": "irregular", "cadence_breaks": null' ||
  fail "--info: a cadence not named"

# Timing. A hybrid of film, 30 pictures of video and film is three sections
# (edges within two pictures of 72 and 102). ratefold's times (of a stream
# described or written) are those mkvmerge finds in its flags. Pulldown taken
# off the hybrid, its times kept, every picture stays within half a field
# (and 1 ms of mkvmerge's rounding) of where it was shown.
mkv_times() {  # STREAM NAME [TIMESTAMPS]: mkvmerge's times of the stream's pictures (with the file given)
  mkvmerge -q -o "$2.mkv" ${3:+--timestamps "0:$3"} "$1" && mkvextract -q "$2.mkv" timestamps_v2 "0:$2.mkv.txt" &&
    grep -v '^#' "$2.mkv.txt" | sed '$d'  # the last line is where the last picture ends
}
near() {  # A B MS: where ratefold's times A (and the end) and mkvextract's B differ by more than MS
  paste <(grep -v '^#' "$1") <(grep -v '^#' "$2") |
    awk -v ms="$3" 'NF == 2 { d = $1 - $2; if (d > ms || -d > ms) { print NR ": " $1 " against " $2; exit } }'
  [ "$(grep -vc '^#' "$1")" = "$(($(grep -vc '^#' "$2") + 1))" ] ||
    echo "$(grep -vc '^#' "$1") times against $(grep -vc '^#' "$2")"
}
cat film_23976_30i.m2v video.mpv film_23976_30i.m2v >hybrid.mpv
"$ratefold" --info --json hybrid.mpv | jq -r '.sections[] | "\(.first) \(.last) \(.cadence)"' >sections.txt
awk 'NR == 1 && $1 == 0 && $3 == "3:2" && $2 >= 70 && $2 <= 73 { ok++ }
     NR == 2 && $3 == "two" && $2 >= 99 && $2 <= 103 { ok++ }
     NR == 3 && $3 == "3:2" && $2 == 173 { ok++ } END { exit !(ok == 3 && NR == 3) }' sections.txt ||
  fail "hybrid: sections $(tr '\n' ',' <sections.txt)"
for stream in film_23976_30i.m2v film_576_25i.m2v hybrid.mpv; do
  "$ratefold" --info --timestamps-out "$stream.txt" "$stream" >/dev/null &&
    mkv_times "$stream" own >own.txt || fail "$stream: no times"
  [ -z "$(near "$stream.txt" own.txt 1)" ] || fail "$stream: times not mkvmerge's: $(near "$stream.txt" own.txt 1)"
done
# Converting, the times are those of the stream written, as --info gives them.
while read -r option name out; do
  "$ratefold" "$option" --timestamps-out written.txt -o written.m2v "$name" 2>/dev/null && cmp -s written.m2v "$out" &&
    "$ratefold" --info --timestamps-out described.txt "$out" >/dev/null && cmp -s written.txt described.txt ||
    fail "$option --timestamps-out $name: not the times of the stream written"
done <<'EOF_WRITTEN'
--to=29.97 film_23976.m2v film_23976_30i.m2v
--to=25 film_576.m2v film_576_25i.m2v
--to=59.94 film_720p.m2v film_720p_60p.m2v
EOF_WRITTEN
expect "--undo of a hybrid" 1 "can't take pulldown off: picture 72 (in display order, from 0) is coded interlaced: video, not film (for a hybrid of film and video, --timestamps-out FILE keeps the timing of both)"$'\n'"now working... hybrid.mpv failed"$'\n' \
  "$ratefold" --undo hybrid.mpv
"$ratefold" --undo --timestamps-out kept.txt hybrid.mpv 2>/dev/null && mkv_times hybrid_24p.mpv kept kept.txt >kept_mkv.txt ||
  fail "--undo --timestamps-out of a hybrid: refused"
[ -z "$(near hybrid.mpv.txt kept_mkv.txt 9.4)" ] || fail "--undo of a hybrid: $(near hybrid.mpv.txt kept_mkv.txt 9.4)"
[ "$(hashes hybrid.mpv)" = "$(hashes hybrid_24p.mpv)" ] || fail "--undo of a hybrid: the decoded pictures differ"
grep -q '^41.708333$' kept.txt && "$ratefold" --info hybrid_24p.mpv | grep -q '^  cadence: none$' ||
  fail "--undo of a hybrid: not film at 23.976 with its repeats off"

# A film in a program stream to a DVD, as docs/dvd.md shows it, by files and
# through pipes (the same bytes); GOPs that lack pictures are mended on a pipe too.
ffmpeg -v error -nostdin -f mpegvideo -i "$samples/film_23976.m2v" -f lavfi \
  -i sine=frequency=440:sample_rate=48000 -map 0:v -map 1:a -c:v copy -c:a ac3 -shortest -f dvd film.mpg &&
  ffmpeg -v error -nostdin -i film.mpg -map 0:v:0 -c copy -f mpeg2video film.m2v &&
  ffmpeg -v error -nostdin -i film.mpg -map 0:a:0 -c copy -f ac3 film.ac3 &&
  "$ratefold" film.m2v 2>/dev/null || fail "dvd: could not make, take apart or convert film.mpg"
ffmpeg -v error -nostdin -i film_30i.m2v -i film.ac3 -map 0:v -map 1:a -c copy -f dvd film_file.vob &&
  ffmpeg -v error -nostdin -i film.mpg -map 0:v:0 -c copy -f mpeg2video - | "$ratefold" -o - - 2>/dev/null |
  tee film_piped.m2v | ffmpeg -v error -nostdin -f mpegvideo -i - -i film.ac3 -map 0:v -map 1:a -c copy -f dvd \
    film_pipe.vob || fail "dvd: the pipe chain failed"
cmp -s film_piped.m2v film_30i.m2v && cmp -s film_pipe.vob film_file.vob || fail "dvd: the pipe chain's bytes differ"
"$ratefold" -o - - <ffmpeg_skipped.m2v 2>/dev/null | cmp -s - ffmpeg_skipped_30i.m2v || fail "pipe: ffmpeg_skipped"
# author VIDEO MUXER FORMAT [WARNING]: VIDEO.m2v multiplexed (mplex, ffmpeg;
# "-": VIDEO.vob is there) and authored for a FORMAT disc; dvdauthor warns of
# WARNING, else of nothing: of the unconverted film's rate, not of cadences
# other than 3:2 (each picture stamped where its first field falls).
author() {
  case $2 in
    mplex) mplex -v 1 -f 8 -o "$1.vob" "$1.m2v" film.ac3 ;;
    ffmpeg) ffmpeg -v error -nostdin -i "$1.m2v" -i film.ac3 -map 0:v -map 1:a -c copy -f dvd "$1.vob" ;;
  esac >"$1.log" 2>&1 && (VIDEO_FORMAT=$3 dvdauthor -o "dvd_$1" -t "$1.vob" && VIDEO_FORMAT=$3 dvdauthor -o "dvd_$1" -T) \
    >>"$1.log" 2>&1 || fail "dvd $1: $(tail -3 "$1.log")"
  if [ -n "${4:-}" ]; then grep -Eq "^WARN.*$4" "$1.log" || fail "dvd $1: dvdauthor did not warn of $4"
  else ! grep -E '^(WARN|ERR)' "$1.log" || fail "dvd $1: dvdauthor warned"; fi
}
author film_pipe - NTSC
author film_30i mplex NTSC
author film mplex NTSC "frame rate"
author film_576_25i ffmpeg PAL
author pal_25_480_30i ffmpeg NTSC

# --timestamps-in: a 24 fps stream timed 40 pictures at 24 fps, 40 at 30, 40
# at 23.976, off the field grid (v2); from 0 (v1); from mkvextract; and a
# stream that lost a P-picture (flags for a guessed place mended from the
# plan). judge_times TIMES INPUT OUTPUT prints why OUTPUT does not show
# INPUT's pictures at TIMES at 29.97: each 2 or 3 fields, on the other parity
# than the last ended on, within a field of its time.
judge_times() {
  [ "$(hashes "$2")" = "$(hashes "$3")" ] || echo "pictures: the decoded pictures differ"
  ffprobe -v error -of compact=p=0:nk=1 -show_entries frame=top_field_first,repeat_pict "$3" | grep . |
    awk -F'|' '
      function why(kind, text) { if (!(kind in told)) print kind ": " text; told[kind] }
      NR == FNR { if (!/^#/) time[times++] = $1; next }
      n && $1 != next_tff { why("parity", "picture " n " starts on the parity picture " n - 1 " ended on") }
      { shown = 2 + $2; next_tff = shown % 2 ? 1 - $1 : $1 }
      shown < 2 || shown > 3 { why("count", "picture " n " shows " shown " fields") }
      { ideal = (time[n] - time[0]) * 60 / 1001; off = fields - ideal
        if (off > 1 || off < -1) why("time", "picture " n " starts at field " fields ", its time at " ideal)
        fields += shown; n++ }
      END { if (n != times) why("pictures", n " pictures for " times " times") }' "$1" -
}
times() {  # FIRST: the v2 times of the three runs from FIRST ms
  awk -v t="$1" 'BEGIN { print "# timestamp format v2"
    for (k = 0; k < 120; k++) {
      if (k < 40) at = k * 1000 / 24; else if (k < 80) at = 40000 / 24 + (k - 40) * 1000 / 30
      else at = 40000 / 24 + 40000 / 30 + (k - 80) * 1001 / 24
      printf "%.6f\n", t + at } }'
}
times 3.3 >vfr.txt && times 0 >vfr1_times.txt
printf '# timestamp format v1\nAssume 24\n80,119,23.976\n40,79,30\n' >vfr1.txt
mkvmerge -q -o vfr.mkv --timestamps 0:vfr.txt vfr.mpv && mkvextract vfr.mkv timestamps_v2 0:vfr_mkv.txt >/dev/null &&
  ffmpeg -v error -nostdin -i vfr.mkv -map 0:v:0 -c copy -f mpeg2video vfr_mkv.m2v || fail "vfr.mkv: not made"
[ "$(wc -l <vfr_mkv.txt)" = 122 ] || fail "mkvextract: $(wc -l <vfr_mkv.txt) lines, not a header, 120 times and an end"
sed '$d' vfr_mkv.txt >vfr_mkv_times.txt
pictures=$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 lost_p.m2v | tr -d ,)
awk -v n="$pictures" 'BEGIN { print "# timestamp format v2"  # 23.976 to the millisecond, then 30 fps
  for (k = 0; k < n; k++) { printf "%.0f\n", 7 + at; at += k < 20 ? 1001 / 24 : 1000 / 30 } }' >lost_p.txt
while read -r stamps name out times original; do
  "$ratefold" --timestamps-in "$stamps" -o "$out" "$name" 2>/dev/null || fail "--timestamps-in $stamps: refused"
  while read -r reason; do fail "--timestamps-in $stamps: $reason"; done < <(judge_times "$times" "$original" "$out")
done <<'EOF_TIMED'
vfr.txt vfr.mpv vfr_30i.m2v vfr.txt vfr.mpv
vfr1.txt vfr.mpv vfr1_30i.m2v vfr1_times.txt vfr.mpv
vfr_mkv.txt vfr_mkv.m2v vfr_mkv_30i.m2v vfr_mkv_times.txt vfr.mpv
lost_p.txt lost_p.m2v lost_p_timed.m2v lost_p.txt lost_p.m2v
EOF_TIMED
"$ratefold" -o classic.m2v vfr.mpv 2>/dev/null
[[ $(judge_times vfr.txt vfr.mpv classic.m2v) == time:* ]] || fail "judge_times: passed 3:2 for the times"
author vfr_30i ffmpeg NTSC
finish
