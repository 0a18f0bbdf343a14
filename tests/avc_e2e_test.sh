#!/usr/bin/env bash
# End to end on H.264: ratefold on films coded by x264 and libx264, judged by
# ffmpeg and against x264's own --pulldown 32 stream of the same film.
#   tests/avc_e2e_test.sh <ratefold> <source dir>
# Status 77 (skipped) when a tool is missing, a failure instead when CI=true.
set -uo pipefail
ratefold=$(realpath "$1")
source_dir=$(realpath "$2")
. "$(dirname "$0")/lib.sh"
missing=
for tool in ffmpeg ffprobe x264 mkvmerge jq; do command -v "$tool" >/dev/null || missing=$tool; done
[ -n "$missing" ] || [[ $(ffmpeg -hide_banner -encoders 2>/dev/null) == *' libx264 '* ]] || missing="ffmpeg's libx264"
[ -z "$missing" ] || { [ "${CI:-}" != true ] || { echo "avc_e2e: FAILED: $missing missing, and CI=true requires it" >&2; exit 1; }
  echo "avc_e2e: SKIPPED: $missing is not installed (apt-get install ffmpeg x264 mkvtoolnix jq)" >&2 && exit 77; }
TMPDIR=$(mktemp -d)
trap 'rm -rf "$TMPDIR"' EXIT
cd "$TMPDIR" || exit 1

# Read once a file: its headers (scripts/avc_headers.sh), its pictures' hashes,
# and as a decoder shows it (each picture's duration, interlacing, field order).
headers() { [ -e "$1.headers" ] || "$source_dir/scripts/avc_headers.sh" "$1" >"$1.headers"; cat "$1.headers"; }
hashes() {
  [ -e "$1.md5" ] || ffmpeg -v error -nostdin -i "$1" -fps_mode passthrough -f framemd5 - | grep -v '^#' | cut -d, -f6 >"$1.md5"
  cat "$1.md5"
}
shown() {
  [ -e "$1.shown" ] || { ffprobe -v error -show_entries stream=field_order,r_frame_rate -of csv=p=0 "$1"
    ffprobe -v error -show_entries frame=pkt_duration,interlaced_frame,top_field_first,repeat_pict -of csv=p=0 "$1" |
      grep . | cut -d, -f1-4; } >"$1.shown"
  cat "$1.shown"
}
structs() { headers "$1" | awk '$1 == "pic" { print $3 }' | tr '\n' ' '; }
timing() { headers "$1" | grep '^sps' | sort -u; structs "$1"; }

# film OUTPUT SIZE RATE FRAMES ENCODER [OPTIONS...]: a test pattern coded.
film() {
  ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=$2:rate=$3" -frames:v "$4" -pix_fmt yuv420p \
    -f yuv4mpegpipe - | if [ "$5" = x264 ]; then
      x264 --quiet --no-progress --threads 1 "${@:6}" --demuxer y4m -o "$1" - 2>/dev/null
    else
      ffmpeg -v error -nostdin -f yuv4mpegpipe -i - -c:v libx264 "${@:6}" -f h264 -y "$1"
    fi || fail "$1: could not code the film"
}

# judge FILE RATE PER STRUCTS prints why FILE does not show at RATE fps, a
# reason a line: each SPS's tick half a frame, fixed_frame_rate_flag and
# pic_struct_present_flag 1; pic_structs of STRUCTS, PER ticks (fields) a
# picture within a field (a frame for 7, 8), each of 3 to 6 starting on the
# parity the one before ended on; HRD output times the ticks apart the
# pic_structs say; a decoder showing as many fields as they give.
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

# The films, each with x264's own --pulldown 32 stream (the anchor) where x264
# codes it (libx264 has no pulldown), and a job for each; x264's --pulldown
# euro (24 to 25 fps), double (frames twice, at 48 fps) and --pic-struct.
jobs=
while read -r name size rate frames encoder options; do
  film "$name.264" "$size" "$rate" "$frames" "$encoder" $options
  [ "$encoder" = x264 ] && film "${name}_anchor.264" "$size" "$rate" "$frames" x264 $options --pulldown 32
  jobs+="$name ${name}_30i $([ "$rate" = 24 ] && echo 30/1 || echo 30000/1001) 5/2 3_4_5_6 "
  jobs+="$([ "$encoder" = x264 ] && echo "${name}_anchor" || echo -) -"$'\n'
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
for pulldown in euro double; do film "$pulldown.264" 320x240 24 48 x264 --pulldown $pulldown; done
film struct0.264 320x240 24 48 x264 --pic-struct

# The judge passes x264's pulldown streams and fails the film, x264's 3:2 at
# 25 fps, and headers changed by hand for that reason alone: a pic_struct 4
# made 3 (the parity breaks, the fields stay as many), an output a tick late.
cp default_anchor.264 parity.264 && headers default_anchor.264 | awk '$1 == "pic" && $2 == 1 { $3 = 3 } 1' >parity.264.headers
cp hrd_anchor.264 late.264 && headers hrd_anchor.264 | awk '$1 == "pic" && $2 == 5 { $4++ } 1' >late.264.headers
while read -r name rate per structs verdict; do
  got=$(judge "$name.264" "$rate" "$per" "${structs//_/ }")
  case $verdict in
    pass) [ -z "$got" ] ;; fail) [ -n "$got" ] ;; *) [[ $got == "$verdict: "* && $got != *$'\n'* ]] ;;
  esac || fail "judge: $name at $rate should give $verdict: $got"
done <<'EOF'
default_anchor 30000/1001 5/2 3_4_5_6 pass
euro 25/1 25/12 3_4_5_6 pass
double 48/1 4/1 7_8 pass
struct0 24/1 2/1 0 pass
default 30000/1001 5/2 3_4_5_6 fail
default_anchor 25/1 25/12 3_4_5_6 fail
parity 30000/1001 5/2 3_4_5_6 parity
late 30000/1001 5/2 3_4_5_6 hrd
EOF

# Each job succeeds; its output decodes to the input's pictures, passes the
# judge, starts with the pic_structs STARTS and shows as LIKE does (an anchor:
# with its SPS timing and pic_structs; for MBAFF only it can say what to show).
# At its own times (--timestamps-in) film starts on two fields, as planned.
"$ratefold" --info --timestamps-out own.txt default.264 >/dev/null || fail "--info --timestamps-out: refused"
while read -r in out rate per structs like starts options; do
  err=$("$ratefold" $options "$in.264" 2>&1) && [ "${err##*[$'\r\n']}" = "now working... $in.264 end" ] && [ -s "$out.264" ] ||
    { fail "ratefold $options $in.264: $err"; continue; }
  [ "$(hashes "$in.264")" = "$(hashes "$out.264")" ] || fail "$out: the decoded pictures differ"
  while read -r reason; do fail "$out: $reason"; done < <(judge "$out.264" "$rate" "$per" "${structs//_/ }")
  [ "$starts" = - ] || [[ "$(structs "$out.264")" == "${starts//_/ } "* ]] || fail "$out: pic_structs $(structs "$out.264")"
  [ "$like" = - ] || [ "$(shown "$out.264")" = "$(shown "$like.264")" ] || fail "$out: not shown as $like"
  [[ $like != *_anchor ]] || [ "$(timing "$out.264")" = "$(timing "$like.264")" ] || fail "$out: not timed as $like"
done <<EOF
${jobs}film24 film24_25i 25/1 25/12 3_4_5_6 - - --to=25
default default_60p 60000/1001 5/1 7_8 - 8_7_8_7 --to=59.94
default timed 30000/1001 5/2 3_4_5_6 - 3_5_4_6_3 --timestamps-in=own.txt -o timed.264
default chain 30000/1001 5/2 3_4_5_6 default_anchor - --timestamps-out=t.txt -o chain.264
default_anchor default_anchor_24p 24000/1001 2/1 0 default - --undo
default_30i default_30i_24p 24000/1001 2/1 0 default - --undo
hrd_30i hrd_30i_24p 24000/1001 2/1 0 hrd - --undo
EOF

# To standard output from a pipe whose first read is short: the file's output.
{ head -c 5 default.264; sleep 0.2; tail -c +6 default.264; } | "$ratefold" -o - - 2>/dev/null |
  cmp -s - default_30i.264 || fail "a pipe: not the file's output"

# Refused, with a message of one line saying at least what is given, the file
# named and no output left: MBAFF frames shown as repeated frames, pictures
# repeating fields already, and H.265 (a VPS's first bytes).
printf '\0\0\0\1\100\1\14\1\377\377\1\140\0\0\3\0' >film.265
while read -r option name says; do
  before=$(ls -A)
  err=$("$ratefold" "$option" "$name" 2>&1)
  [ $? = 1 ] && [[ $err == *"$says"*$'\n'"now working... $name failed" && $err != *$'\n'*$'\n'* ]] || fail "$option $name: $err"
  [ "$(ls -A)" = "$before" ] || fail "$option $name: left $(comm -13 <(echo "$before") <(ls -A) | tr '\n' ' ')"
done <<'EOF'
--to=59.94 mbaff.264
--to=59.94 default_anchor.264 already
--to=29.97 film.265 HEVC
EOF

# --info and --pictures: H.264 named, the fields a decoder shows, the cadence
# named, each picture's type, top_field_first and fields as ffprobe has them.
for name in default default_30i film24_25i; do
  [[ $("$ratefold" --info "$name.264") == *H.264* ]] || fail "--info $name: refused, or H.264 not named"
  fields=$("$ratefold" --info --json "$name.264" | jq .fields)
  [ "$fields" = "$(shown "$name.264" | awk -F, 'NR > 1 { f += 2 + $4 } END { print f }')" ] || fail "--info $name: $fields fields"
done
"$ratefold" --info default_30i.264 | grep -q '^  cadence: 3:2, no breaks$' || fail "--info default_30i: cadence not 3:2"
# Twelve pictures, all still held for display order when the stream ends:
# --info's trial of --undo must see them all the same.
film short.264 320x240 24000/1001 12 x264 && "$ratefold" short.264 2>/dev/null
"$ratefold" --info short_30i.264 | grep -q '^  ratefold --undo: short_30i_24p.264$' || fail "--info short_30i: --undo refused"
listed=$("$ratefold" --info --json --pictures default_30i.264 |
  sed -n -E '2,$ s/.*"type": "(.)".*"top_field_first": ([01]).*"fields": ([0-9]).*/\1 \2 \3/p')
probed=$(ffprobe -v error -of csv=p=0 -show_entries frame=pict_type,top_field_first,repeat_pict default_30i.264 |
  grep . | awk -F, '{ print $1, $2, 2 + $3 }')
[ -n "$listed" ] && [ "$listed" = "$probed" ] || fail "--pictures default_30i: not as ffprobe shows it"

# The chain (t.txt from the jobs): --timestamps-out gives where each picture's
# first field falls (and maybe where the last ends); mkvmerge with them makes a
# Matroska file of the film's length (48 pictures at 23.976: 2.002 s), copied
# into MPEG-TS too.
span() {
  ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,duration_time -of csv=p=0 "$1" | awk -F, '
    $1 != "" && $1 != "N/A" { if (first == "" || $1 < first) first = $1; if ($1 + $2 > end) end = $1 + $2 }
    END { printf "%.3f\n", end - first }'
}
[ "$(head -1 t.txt)" = "# timestamp format v2" ] || fail "--timestamps-out: not a v2 file"
headers chain.264 | awk 'BEGIN { split("2 1 1 2 2 3 3 4 6", t, " ") } $1 == "sps" { tick = $2 / $3 * 1000; next }
  { printf "%.6f\n", at * tick; at += t[$3 + 1] } END { printf "%.6f\n", at * tick }' | paste - <(sed 1d t.txt) |
  awk -F'\t' '$2 == "" ? ++short > 1 : $1 - $2 > 0.001 || $2 - $1 > 0.001 { print NR ": " $0; exit 1 } END { if (NR < 2) exit 1 }' >times.txt ||
  fail "--timestamps-out: a picture's time (ours, theirs) $(cat times.txt)"
mkvmerge -q -o film.mkv --timestamps 0:t.txt chain.264 && ffmpeg -v error -nostdin -i film.mkv -c copy film.ts ||
  fail "mkvmerge or ffmpeg refused the chain"
[ "$(span film.mkv)" = 2.002 ] && [ "$(span film.ts)" = 2.002 ] ||
  fail "chain: the Matroska file is $(span film.mkv) s, the MPEG-TS $(span film.ts) s, not 2.002"
finish
