#!/usr/bin/env bash
# End to end on H.264: ratefold on films coded by x264 and by ffmpeg's
# libx264, judged as a decoder (ffmpeg) shows them, by their headers as
# ffmpeg's trace_headers filter reads them (scripts/avc_headers.sh), against
# x264's own --pulldown 32 stream of the same film, and through mkvmerge
# and ffmpeg's MPEG-TS muxer.
#   tests/avc_e2e_test.sh <ratefold> <source dir>
# Status 77 (skipped) when a tool is missing, a failure instead when CI=true.
set -uo pipefail
ratefold=$(realpath "$1")
source_dir=$(realpath "$2")
. "$(dirname "$0")/lib.sh"
missing=
for tool in ffmpeg ffprobe x264 mkvmerge jq; do
  command -v "$tool" >/dev/null || missing=$tool
done
[ -n "$missing" ] || [[ $(ffmpeg -hide_banner -encoders 2>/dev/null) == *' libx264 '* ]] || missing="ffmpeg's libx264"
if [ -n "$missing" ]; then
  [ "${CI:-}" != true ] || { echo "avc_e2e: FAILED: $missing missing, and CI=true requires it" >&2; exit 1; }
  echo "avc_e2e: SKIPPED: $missing is not installed (apt-get install ffmpeg x264 mkvtoolnix jq)" >&2
  exit 77
fi
TMPDIR=$(mktemp -d)
trap 'rm -rf "$TMPDIR"' EXIT
cd "$TMPDIR" || exit 1

# Every file is read once (the streams are not written again): its headers
# (scripts/avc_headers.sh), its decoded pictures' hashes and what a decoder
# shows (shown) are kept.
headers() { [ -e "$1.headers" ] || "$source_dir/scripts/avc_headers.sh" "$1" >"$1.headers"; cat "$1.headers"; }
hashes() {
  [ -e "$1.md5" ] ||
    ffmpeg -v error -nostdin -i "$1" -fps_mode passthrough -f framemd5 - | grep -v '^#' | cut -d, -f6 >"$1.md5"
  cat "$1.md5"
}
# shown FILE: the stream's field_order and r_frame_rate, then every picture
# as a decoder shows it: its duration (in 1/1200000 s), interlaced_frame,
# top_field_first and repeat_pict.
shown() {
  [ -e "$1.shown" ] || {
    ffprobe -v error -show_entries stream=field_order,r_frame_rate -of csv=p=0 "$1"
    ffprobe -v error -show_entries frame=pkt_duration,interlaced_frame,top_field_first,repeat_pict -of csv=p=0 "$1" |
      grep . | cut -d, -f1-4
  } >"$1.shown"
  cat "$1.shown"
}
structs() { headers "$1" | awk '$1 == "pic" { print $3 }' | tr '\n' ' '; }

# film OUTPUT SIZE RATE FRAMES ENCODER [OPTIONS...]: the test pattern coded
# by x264 (on one thread) or ffmpeg's libx264 with the options given.
film() {
  ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=$2:rate=$3" -frames:v "$4" -pix_fmt yuv420p \
    -f yuv4mpegpipe - | if [ "$5" = x264 ]; then
      x264 --quiet --no-progress --threads 1 "${@:6}" --demuxer y4m -o "$1" - 2>/dev/null
    else
      ffmpeg -v error -nostdin -f yuv4mpegpipe -i - -c:v libx264 "${@:6}" -f h264 -y "$1"
    fi || fail "$1: could not code the film"
}

# judge FILE RATE PER STRUCTS prints why FILE does not show its pictures at
# RATE frames a second, a line a reason: every SPS's clock tick half a frame
# at RATE, fixed_frame_rate_flag and pic_struct_present_flag 1; every
# picture's pic_struct one of STRUCTS; PER clock ticks (fields) a picture
# within a field of the running count (a frame where frames are repeated:
# pic_struct 7, 8); every picture of pic_struct 3 to 6 starting on the other
# parity than the one before ended on; the HRD output times, where there are
# any, each picture's ticks after the one before; and a decoder showing as
# many fields (2 + repeat_pict a picture) as the pic_structs give.
judge() {
  { headers "$1"; shown "$1" | sed '1d; s/^/frame,/'; } | awk -F'[ ,]' -v rate="$2" -v per="$3" -v structs="$4" '
    function why(kind, text) { if (!(kind in told)) print kind ": " text; told[kind] }
    BEGIN {
      split(rate, r, "/"); split(per, p, "/"); slack = (structs ~ /[78]/ ? 2 : 1) * p[2]
      split("0 1 2 3 4 5 6 7 8 -", kind, " "); split("2 1 1 2 2 3 3 4 6 2", count, " ")
      for (k in kind) ticks[kind[k]] = count[k]
      split(structs, s, " "); for (k in s) allowed[s[k]]
    }
    $1 == "sps" && ($3 * r[2] != 2 * r[1] * $2 || $4 != 1 || $5 != 1) {
      why("sps", "num_units_in_tick " $2 ", time_scale " $3 ", fixed_frame_rate_flag " $4 ", pic_struct_present_flag " $5)
    }
    $1 == "pic" {
      if (!($3 in allowed)) why("pic_struct", "picture " $2 " has pic_struct " $3)
      start = $3 == 3 || $3 == 5 ? "top" : $3 == 4 || $3 == 6 ? "bottom" : ""
      if (start != "" && next_start != "" && start != next_start) why("parity", "picture " $2 " starts on the " start " field")
      next_start = start == "" || ticks[$3] % 2 == 0 ? start : start == "top" ? "bottom" : "top"
      if ($4 != "-" && $2 && $4 - output != ticks[last]) why("hrd", "picture " $2 " is output at tick " $4 ", the one before at " output)
      output = $4; last = $3; fields += ticks[$3]; pictures++
      if (fields * p[2] - pictures * p[1] >= slack || pictures * p[1] - fields * p[2] >= slack)
        why("cadence", fields " fields for " pictures " pictures")
    }
    $1 == "frame" { decoded += 2 + $5 }
    END { if (!pictures || decoded != fields) why("shown", "a decoder shows " decoded " fields, the pic_structs " fields) }'
}

# run NAME OUTPUT OPTION...: ratefold with the options on NAME, which must
# succeed with the completion line last and leave OUTPUT beside NAME.
run() {
  local name=$1 out=$2 err
  shift 2
  err=$("$ratefold" "$@" "$name" 2>&1) && [ "${err##*[$'\r\n']}" = "now working... $name end" ] && [ -s "$out" ] ||
    { fail "ratefold $* $name: $err"; return 1; }
}

# The default job on films as x264 and libx264 code them, 23.976 fps unless
# given: each output shows the input's pictures, judged as above, and as
# x264's own --pulldown 32 stream of the same film (the anchor) shows its
# pictures: the same fields, parity, durations and rate to a decoder, the
# same SPS timing and pic_structs. MBAFF (--tff): a decoder takes
# top_field_first from the pictures' field order counts, not from pic_struct,
# so only the anchor can say what it must show. libx264 has no anchor:
# x264's pulldown is its command's, not its library's.
while read -r name size rate frames encoder options; do
  film "$name.264" "$size" "$rate" "$frames" "$encoder" $options
  [ "$encoder" = x264 ] && film "${name}_anchor.264" "$size" "$rate" "$frames" x264 $options --pulldown 32
  out=${name}_30i.264
  run "$name.264" "$out" || continue
  [ "$(hashes "$name.264")" = "$(hashes "$out")" ] || fail "$name: the decoded pictures differ"
  while read -r reason; do fail "$name: $reason"; done < <(judge "$out" "$([ "$rate" = 24 ] && echo 30/1 || echo 30000/1001)" 5/2 "3 4 5 6")
  if [ "$encoder" = x264 ]; then
    [ "$(shown "$out")" = "$(shown "${name}_anchor.264")" ] || fail "$name: not shown as x264's --pulldown 32 stream"
    [ "$(headers "$out" | grep '^sps' | sort -u)" = "$(headers "${name}_anchor.264" | grep '^sps' | sort -u)" ] ||
      fail "$name: SPS timing $(headers "$out" | grep -m1 '^sps'), x264's $(headers "${name}_anchor.264" | grep -m1 '^sps')"
    [ "$(structs "$out")" = "$(structs "${name}_anchor.264")" ] || fail "$name: pic_structs $(structs "$out" | cut -c1-24)"
  fi
done <<'EOF'
default 320x240 24000/1001 48 x264
bframes0 320x240 24000/1001 48 x264 --bframes 0
pyramid 320x240 24000/1001 48 x264 --b-pyramid none
hrd 320x240 24000/1001 48 x264 --nal-hrd vbr --vbv-maxrate 2000 --vbv-bufsize 2000
mbaff 320x240 24000/1001 48 x264 --tff
slices 320x240 24000/1001 48 x264 --slices 4
hd 1920x1080 24000/1001 8 x264
film24 320x240 24 48 x264
libx264 320x240 24000/1001 48 ffmpeg
EOF
# The judge and the anchor as the test takes them: x264's --pulldown 32,
# --pulldown euro (24 to 25 fps, a field repeated in twelve pictures),
# --pulldown double (frames shown twice, at 48 fps) and --pic-struct
# (pic_struct 0) pass; the film itself, and x264's 3:2 taken for 25 fps, do
# not. x264's 3:2 shows the cadence written out here.
while read -r name rate per structs verdict options; do
  [ -e "$name.264" ] || film "$name.264" 320x240 24 48 x264 $options
  got=$(judge "$name.264" "$rate" "$per" "${structs//_/ }")
  [ "$verdict" = "$([ -z "$got" ] && echo pass || echo fail)" ] || fail "judge: $name at $rate should $verdict: $got"
done <<'EOF'
default_anchor 30000/1001 5/2 3_4_5_6 pass
default 30000/1001 5/2 3_4_5_6 fail
euro 25/1 25/12 3_4_5_6 pass --pulldown euro
default_anchor 25/1 25/12 3_4_5_6 fail
double 48/1 4/1 7_8 pass --pulldown double
struct0 24/1 2/1 0 pass --pic-struct
EOF
# It fails headers changed by hand: a picture's pic_struct 4 made 3 (the
# parity breaks, the fields stay as many), an HRD output time a tick late.
while read -r name kind program; do
  cp "$name.264" "forged_$kind.264" && headers "$name.264" | awk "$program" >"forged_$kind.264.headers"
  got=$(judge "forged_$kind.264" 30000/1001 5/2 "3 4 5 6")
  [[ $got == "$kind: "* && $got != *$'\n'* ]] || fail "judge: $kind changed by hand gives: $got"
done <<'EOF'
default_anchor parity $1 == "pic" && $2 == 1 { $3 = 3 } 1
hrd_anchor hrd $1 == "pic" && $2 == 5 { $4++ } 1
EOF
[ "$(shown default_anchor.264 | sed -n '1p; 2,9s/^\(40040\|60060\),//p' | tr '\n' ' ')" = \
  "tt,30000/1001 0,1,1 0,0,0 0,0,1 0,1,0 0,1,1 0,0,0 0,0,1 0,1,0 " ] ||
  fail "x264 --pulldown 32 shown as: $(shown default_anchor.264 | head -5 | tr '\n' ' ')"

# Standard output and a pipe in: the same bytes as the file's output.
"$ratefold" -o - default.264 2>/dev/null | cmp -s - default_30i.264 || fail "-o -: not the file's output"
# At its own times (--timestamps-in), film shows by 3:2 (starting on two
# fields, where the timeline's plan starts).
"$ratefold" --info --timestamps-out own.txt default.264 >/dev/null &&
  "$ratefold" --timestamps-in own.txt -o timed.264 default.264 2>/dev/null &&
  [[ $(structs timed.264) == "3 5 4 6 3 "* ]] || fail "--timestamps-in: pic_structs $(structs timed.264 | cut -c1-20)"
while read -r reason; do fail "--timestamps-in: $reason"; done < <(judge timed.264 30000/1001 5/2 "3 4 5 6")
"$ratefold" -o - - <default.264 2>/dev/null | cmp -s - default_30i.264 || fail "a pipe: not the file's output"

# The other jobs: 24 fps to 25 (a field repeated in twelve pictures), 23.976
# to 59.94 frames a second (frames shown three times and twice), and taking
# pulldown off: x264's own, and a round trip through ratefold, which gives
# the film's timing back as a decoder shows it (an input without picture
# timing SEI shows as one with pic_struct 0), and the HRD delays.
run film24.264 film24_25i.264 --to 25 &&
  while read -r reason; do fail "--to 25: $reason"; done < <(judge film24_25i.264 25/1 25/12 "3 4 5 6")
run default.264 default_60p.264 --to 59.94 &&
  while read -r reason; do fail "--to 59.94: $reason"; done < <(judge default_60p.264 60000/1001 5/1 "7 8") &&
  [[ $(structs default_60p.264) != "8 7 8 7 "* ]] && fail "--to 59.94: pic_structs $(structs default_60p.264 | cut -c1-16)"
for case in default_anchor default_30i hrd_30i; do
  film=${case%%_*}
  [ -e "$case.264" ] && run "$case.264" "${case}_24p.264" --undo || continue
  [ "$(hashes "$case.264")" = "$(hashes "${case}_24p.264")" ] || fail "--undo $case: the decoded pictures differ"
  [ "$(shown "${case}_24p.264")" = "$(shown "$film.264")" ] || fail "--undo $case: not shown as the film"
  while read -r reason; do fail "--undo $case: $reason"; done < \
    <(judge "${case}_24p.264" 24000/1001 2/1 0)
done

# Refused, with a message (one line, saying at least what is given), the
# file named and no output left: MBAFF frames shown as repeated frames, a
# stream whose pictures repeat fields already, one without timing in its VUI
# (x264's film with timing_info_present_flag cleared in its SPS), and HEVC.
perl -0777 -e 'local $/; my $s = <STDIN>; $s =~ /\x00\x00\x01\x67(.*?)(?=\x00\x00\x01)/s or die;
  my ($at, $nal, $length) = ($-[1], $1, length($1)); (my $rbsp = $nal) =~ s/\x00\x00\x03/\x00\x00/g;
  my $bits = unpack("B*", $rbsp); my $flag = $ARGV[0] - 8;  # from the NAL unit header on
  substr($bits, $flag, 66) eq "1" . unpack("B32", pack("N", 1001)) . unpack("B32", pack("N", 48000)) . "1" or die "timing";
  substr($bits, $flag, 66) = "0"; $bits =~ s/10*$//; $bits .= "1"; $bits .= "0" x (-length($bits) % 8);
  ($nal = pack("B*", $bits)) =~ s/\x00\x00(?=[\x00-\x03])/\x00\x00\x03/g;
  print substr($s, 0, $at), $nal, substr($s, $at + $length)' \
  "$(ffmpeg -hide_banner -nostats -nostdin -i default.264 -c copy -bsf:v trace_headers -f null - 2>&1 |
    sed -n 's/^\[trace_headers @ [^]]*\] \([0-9]*\) *timing_info_present_flag .*/\1/p' | head -1)" \
  <default.264 >untimed.264 || fail "untimed.264: could not clear the timing"
[ "$(headers untimed.264 | sed -n 's/^sps \([0-9]* [0-9]*\).*/\1/p')" = "0 0" ] &&
  [ "$(hashes untimed.264)" = "$(hashes default.264)" ] || fail "untimed.264: not the film without timing"
ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=64x64:rate=24000/1001 -frames:v 4 -c:v libx265 \
  -x265-params log-level=none -f hevc film.265 2>/dev/null ||
  printf '\0\0\0\1\100\1\14\1\377\377\1\140\0\0\3\0' >film.265  # where ffmpeg has no libx265: a VPS's first bytes
while read -r option name says; do
  options=("$option") && [ "$option" != - ] || options=()
  before=$(ls -A)
  err=$("$ratefold" "${options[@]}" "$name" 2>&1)
  status=$?
  [ $status = 1 ] && [ "$(wc -l <<<"$err")" = 2 ] && [ "$(tail -1 <<<"$err")" = "now working... $name failed" ] &&
    [[ $(head -1 <<<"$err") == *$says* ]] || fail "$option $name: status $status, $err"
  [ "$(ls -A)" = "$before" ] || fail "$option $name: left $(comm -13 <(echo "$before") <(ls -A) | tr '\n' ' ')"
done <<'EOF'
--to=59.94 mbaff.264
--to=59.94 default_anchor.264 already
- untimed.264 timing
- film.265 HEVC
EOF

# --info and --pictures: H.264 named, the fields a decoder shows, the cadence
# named, and each picture's type, top_field_first and fields as ffprobe shows
# them.
fields() { shown "$1" | awk -F, 'NR > 1 { f += 2 + $4 } END { print f }'; }
for name in default default_30i film24_25i; do
  json=$("$ratefold" --info --json "$name.264") && text=$("$ratefold" --info "$name.264") ||
    { fail "--info $name: refused"; continue; }
  [[ $text == *H.264* ]] || fail "--info $name: H.264 not named"
  [ "$(jq .fields <<<"$json")" = "$(fields "$name.264")" ] || fail "--info $name: $(jq .fields <<<"$json") fields"
done
"$ratefold" --info default_30i.264 | grep -q '^  cadence: 3:2, no breaks$' || fail "--info default_30i: cadence not 3:2"
listed=$("$ratefold" --info --json --pictures default_30i.264 |
  sed -n -E '2,$ s/.*"type": "(.)".*"top_field_first": ([01]).*"fields": ([0-9]).*/\1 \2 \3/p')
probed=$(ffprobe -v error -of csv=p=0 -show_entries frame=pict_type,top_field_first,repeat_pict default_30i.264 |
  grep . | awk -F, '{ print $1, $2, 2 + $3 }')
[ -n "$listed" ] && [ "$listed" = "$probed" ] || fail "--pictures default_30i: not as ffprobe shows it"

# The chains: the times of --timestamps-out are where each picture's first
# field falls (and, where there is one more, where the last picture ends);
# mkvmerge with them makes a Matroska file of the film's
# length (48 pictures at 23.976: 2.002 s), and ffmpeg copies it into MPEG-TS
# of that length too. span FILE: from the first picture to the end of the
# last one, in seconds, as ffprobe reads the packets.
span() {
  ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,duration_time -of csv=p=0 "$1" | awk -F, '
    $1 != "" && $1 != "N/A" { if (first == "" || $1 < first) first = $1; if ($1 + $2 > end) end = $1 + $2 }
    END { printf "%.3f\n", end - first }'
}
"$ratefold" --timestamps-out t.txt -o chain_30i.264 default.264 2>/dev/null && cmp -s chain_30i.264 default_30i.264 ||
  fail "--timestamps-out: refused, or not the same output"
headers default_30i.264 | awk -v ticks="2 1 1 2 2 3 3 4 6" '
  BEGIN { split(ticks, t, " ") } $1 == "sps" { tick = $2 / $3 * 1000; next }
  { printf "%.6f\n", at * tick; at += t[$3 + 1] } END { printf "%.6f\n", at * tick }' | paste - <(sed 1d t.txt) | awk -v header="$(head -1 t.txt)" '
  $2 == "" { short++; next }
  $1 - $2 > 0.001 || $2 - $1 > 0.001 { bad = "time " NR - 1 " is " $2 ", the picture starts at " $1 }
  END { if (header != "# timestamp format v2" || short > 1 || NR == 0) bad = "not a v2 file of a time a picture"
    if (bad) { print bad; exit 1 } }' >times.txt || fail "--timestamps-out: $(cat times.txt)"
mkvmerge -q -o film.mkv --timestamps 0:t.txt default_30i.264 && ffmpeg -v error -nostdin -i film.mkv -c copy film.ts ||
  fail "mkvmerge or ffmpeg refused the chain"
[ "$(span film.mkv)" = 2.002 ] && [ "$(span film.ts)" = 2.002 ] ||
  fail "chain: the Matroska file is $(span film.mkv) s, the MPEG-TS $(span film.ts) s, not 2.002"
finish
