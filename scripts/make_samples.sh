#!/usr/bin/env bash
# Makes the sample streams under samples/ from ffmpeg's synthetic testsrc2
# pattern, piped as yuv4mpeg into Debian's encoders:
#   film_23976.m2v  mpeg2enc, DVD profile, 23.976 fps, 720x480, 72 frames
#   film_24.m2v     the same at 24 fps
#   pal_25.m2v      ffmpeg's mpeg2video encoder, 25 fps, 352x288, 25 frames
#                   (a stream to refuse)
# The film samples have B-pictures and GOPs of 15 (open after the first),
# progressive_sequence 0 and, for every picture, picture_structure 3 (frame
# picture), progressive_frame 1, top_field_first 1 and repeat_first_field 0.
# Film at 23.976 fps as other encoders code it, 48 frames each (2 s; a
# multiple of 4, so the pulldown cadence ends on a whole cycle):
#   ffmpeg_default.m2v         ffmpeg mpeg2video as it comes, 320x192:
#                              progressive_sequence 1, no B-pictures
#   ffmpeg_interlaced_bff.m2v  interlaced coding (field DCT and prediction),
#                              bottom field first: progressive_sequence 0,
#                              every picture progressive_frame 0 and
#                              top_field_first 0; B-pictures
#   ffmpeg_422.m2v             4:2:2 (chroma_format 2), progressive_sequence 1
#   mpeg2enc_generic.m2v       mpeg2enc's generic MPEG-2 (-f 3): progressive_sequence 1
#   mpeg1.m1v                  ffmpeg mpeg1video, 352x240 (a stream to refuse)
#   progressive_240.m2v        ffmpeg mpeg2video, 320x240, progressive_sequence 1:
#                              240 lines are 15 macroblock rows as a progressive
#                              sequence, 16 as an interlaced one (a stream to refuse)
# For conversions to other rates and for taking pulldown off, 48 frames each:
#   film_576.m2v       mpeg2enc, DVD profile, 23.976 fps, 720x576 (film for PAL)
#   pal_25_480.m2v     mpeg2enc, DVD profile, 25 fps, 720x480
#   film_720p.m2v      ffmpeg mpeg2video as it comes, 23.976 fps, 1280x720:
#                      progressive_sequence 1, no B-pictures
#   film_pulldown.m2v  mpeg2enc, DVD profile, 720x480, film coded with 3:2
#                      pulldown (-p): frame_rate_code 4, the flags cycling
#   ffmpeg_skipped.m2v ffmpeg mpeg2video, 23.976 fps, 320x192, 42 pictures:
#                      six frames left out (-skip_threshold), so GOPs lack
#                      pictures
# H.264 film as Debian's x264 codes it (one thread, so that every run gives
# the same bytes), 320x240, 23.976 fps, 48 frames, as frames only
# (frame_mbs_only_flag 1), B-pictures; the SPS's timing_info 1001/48000 (a
# clock tick a field), fixed_frame_rate_flag 1:
#   film_23976.264     x264's defaults: no picture timing SEI
#   film_hrd.264       with NAL HRD parameters (--nal-hrd vbr, a VBV of 2000
#                      kbit/s and 2000 kbit): a buffering period and picture
#                      timing SEI (delays only) in the stream
#   film_pulldown.264  x264 --pulldown 32: timing_info 1001/60000,
#                      pic_struct_present_flag 1, pic_struct 5 4 6 3 in
#                      display order
# The script checks every header that matters before it keeps a sample. With
# the same tool versions the output is the same byte for byte.
# Needs ffmpeg, mjpegtools (mpeg2enc) and x264 from Debian.
set -euo pipefail
cd "$(dirname "$0")/.."
describe() { scripts/headers.sh "$@"; }

for tool in ffmpeg mpeg2enc x264 od awk; do
  command -v "$tool" >/dev/null || { echo "make_samples: $tool not found" >&2; exit 1; }
done

readonly frames=72                  # 3 seconds of film
readonly short_frames=48            # 2 seconds
mkdir -p samples

# yuv4mpeg test pattern at the given rate on standard output, through a
# filter where one is given.
pattern() {  # size rate count [pixel format [filter]]
  local filter=()
  [ -z "${5:-}" ] || filter=(-vf "$5")
  ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=$1:rate=$2" "${filter[@]}" \
    -frames:v "$3" -pix_fmt "${4:-yuv420p}" -f yuv4mpegpipe -
}

# Keeps a sample only if each kind of header in it always reads as given
# (describe's lines without the offset, e.g. "seq 1 480": 23.976 fps, 480
# lines), no other kind but GOP headers occurs, there is one picture coding
# extension per frame where one is given, and the file is small enough.
check() {  # file frames max_KiB header_line...
  local file=$1 count=$2 max=$(($3 * 1024)) summary size pictures=0
  shift 3
  summary=$(describe "$file" | cut -d' ' -f2- | grep -vx gop)
  size=$(stat -c %s "$file")
  [[ " $* " == *" pic "* ]] && pictures=$count
  if [ "$(sort -u <<<"$summary")" != "$(printf '%s\n' "$@" | sort)" ] ||
    [ "$(grep -c '^pic ' <<<"$summary")" -ne "$pictures" ] || [ "$size" -gt "$max" ]; then
    echo "make_samples: $file is not the stream wanted ($size bytes, want at most $max):" >&2
    sort <<<"$summary" | uniq -c >&2
    exit 1
  fi
  echo "$file: $size bytes, $(grep -c '^seq ' <<<"$summary") sequence headers, $(grep -c '^pic ' <<<"$summary") frame pictures"
}

# ffmpeg's encoder on 23.976 fps film: the short pattern in the given size
# and pixel format, coded with the encoder's defaults but for the options
# given.
ffmpeg_film() {  # output size pixel_format encoder [encoder options...]
  pattern "$2" 24000/1001 "$short_frames" "$3" |
    ffmpeg -v error -nostdin -f yuv4mpegpipe -i - -c:v "$4" \
      -threads 1 -fflags +bitexact -flags +bitexact "${@:5}" -f "$4" -y "$1"
}
# mpeg2enc as a DVD encoder codes the pattern: -f 8 DVD profile, -I 0
# progressive frames, -a 2 4:3, -n the norm (n NTSC, p PAL: video_format and
# the colour description of the sequence display extension, which dvdauthor
# reads as the TV standard), -g/-G GOP of 15 pictures, -R 2 two B-pictures
# between reference pictures, -b peak kbit/s, then any other options (-F
# frame rate code: 1 = 23.976, 2 = 24, 3 = 25).
mpeg2enc_dvd() {  # output size rate count norm kbit/s [mpeg2enc options...]
  pattern "$2" "$3" "$4" |
    mpeg2enc -v 0 -f 8 -I 0 -a 2 -n "$5" -g 15 -G 15 -R 2 -b "$6" "${@:7}" -o "$1"
}
film() {  # output rate frame_rate_code
  mpeg2enc_dvd "$1" 720x480 "$2" "$frames" n 1200 -F "$3"
  check "$1" "$frames" 600 "seq $3 480" "seqext 0 1" "pic 3 1 0 1 1 1"
}

# Each picture of a stream in display order: its place (the number of
# pictures in the GOPs before its own plus its temporal_reference), then its
# top_field_first and repeat_first_field.
display_order() {  # file
  describe -t "$1" | awk '$2 == "gop" { before += count; count = 0 }
    $2 == "pic" { count++; print before + $9, $4, $5 }' | sort -n
}

film samples/film_23976.m2v 24000/1001 1
film samples/film_24.m2v 24 2

pattern 352x288 25 25 |
  ffmpeg -v error -nostdin -f yuv4mpegpipe -i - -c:v mpeg2video -b:v 600k -g 15 -bf 2 \
    -threads 1 -fflags +bitexact -flags +bitexact -f mpeg2video -y samples/pal_25.m2v
check samples/pal_25.m2v 25 600 "seq 3 288" "seqext 1 1" "pic 3 0 0 1 1 1"

# The header lines below: frame_rate_code 1 (23.976) and the vertical size;
# progressive_sequence and chroma_format (1 4:2:0, 2 4:2:2); picture_structure
# 3, then top_field_first, repeat_first_field, progressive_frame,
# frame_pred_frame_dct and chroma_420_type of every picture. -q:v 10 (a fixed
# quantiser) keeps the B-picture samples small.
ffmpeg_film samples/ffmpeg_default.m2v 320x192 yuv420p mpeg2video
check samples/ffmpeg_default.m2v "$short_frames" 150 "seq 1 192" "seqext 1 1" "pic 3 0 0 1 1 1"

ffmpeg_film samples/ffmpeg_interlaced_bff.m2v 320x192 yuv420p mpeg2video \
  -bf 2 -q:v 10 -flags +bitexact+ildct+ilme -top 0
check samples/ffmpeg_interlaced_bff.m2v "$short_frames" 150 "seq 1 192" "seqext 0 1" "pic 3 0 0 0 0 0"

ffmpeg_film samples/ffmpeg_422.m2v 320x192 yuv422p mpeg2video -bf 2 -q:v 10
check samples/ffmpeg_422.m2v "$short_frames" 150 "seq 1 192" "seqext 1 2" "pic 3 0 0 1 1 0"

# -f 3 generic MPEG-2, -F 1 23.976 fps, -b kbit/s (the generic profile has
# no default rate).
pattern 320x192 24000/1001 "$short_frames" |
  mpeg2enc -v 0 -f 3 -F 1 -b 400 -o samples/mpeg2enc_generic.m2v
check samples/mpeg2enc_generic.m2v "$short_frames" 150 "seq 1 192" "seqext 1 1" "pic 3 0 0 1 1 1"

ffmpeg_film samples/mpeg1.m1v 352x240 yuv420p mpeg1video
check samples/mpeg1.m1v "$short_frames" 150 "seq 1 240"

ffmpeg_film samples/progressive_240.m2v 320x240 yuv420p mpeg2video
check samples/progressive_240.m2v "$short_frames" 150 "seq 1 240" "seqext 1 1" "pic 3 0 0 1 1 1"

# For conversions to other rates and for taking pulldown off: 48 frames each.
# Film on a PAL DVD: 23.976 fps at 576 lines, as mpeg2enc's DVD profile codes it.
mpeg2enc_dvd samples/film_576.m2v 720x576 24000/1001 "$short_frames" p 700 -F 1
check samples/film_576.m2v "$short_frames" 200 "seq 1 576" "seqext 0 1" "pic 3 1 0 1 1 1"

# A 25 fps programme brought to NTSC size for an NTSC disc, its video_format
# NTSC (-n n): dvdauthor warns of a stream whose video_format is not the
# disc's ("attempt to update tv format from ntsc to pal").
mpeg2enc_dvd samples/pal_25_480.m2v 720x480 25 "$short_frames" n 700 -F 3
check samples/pal_25_480.m2v "$short_frames" 200 "seq 3 480" "seqext 0 1" "pic 3 1 0 1 1 1"

# 720-line film as ffmpeg codes it by default (a progressive sequence, no
# B-pictures), at the coarsest fixed quantiser to stay small.
ffmpeg_film samples/film_720p.m2v 1280x720 yuv420p mpeg2video -q:v 31
check samples/film_720p.m2v "$short_frames" 200 "seq 1 720" "seqext 1 1" "pic 3 0 0 1 1 1"

# Film coded with pulldown by mpeg2enc itself (-p): frame_rate_code 4
# (29.97), which mpeg2enc sets from the 23.976 fps input on its own, and in
# display order the pulldown flags (top_field_first, repeat_first_field)
# cycle 1 1, 0 0, 0 1, 1 0 from the first picture on, across GOPs. (mpeg2enc
# warns that it sets the frame rate code itself, even with -v 0.)
mpeg2enc_dvd samples/film_pulldown.m2v 720x480 24000/1001 "$short_frames" n 700 -p 2>&1 |
  { grep -v '^++ WARN: \[mpeg2enc\] 3:2 ' || true; } >&2
check samples/film_pulldown.m2v "$short_frames" 200 "seq 4 480" "seqext 0 1" \
  "pic 3 1 1 1 1 1" "pic 3 0 0 1 1 1" "pic 3 0 1 1 1 1" "pic 3 1 0 1 1 1"
display_order samples/film_pulldown.m2v | awk '
  $1 != NR - 1 || $2 $3 != substr("11000110", (NR - 1) % 4 * 2 + 1, 2) {
    print "make_samples: film_pulldown.m2v: picture " NR - 1 " reads " $0 > "/dev/stderr"; exit 1 }'

# Pictures missing from their GOPs: ffmpeg's mpeg2video leaves out an input
# frame that differs from the last picture it coded by less than
# -skip_threshold, but counts the frames left out in the temporal_reference of
# the pictures after them. The pattern stands still from frame 11 to 31 (the
# loop filter repeats one frame, setpts numbers the frames after it on); with
# the default rate control and GOP of 12, frames 26 to 31 are left out: the
# third GOP holds places 24, 25 and 32 to 35 (temporal_reference 0 1 8 9 10
# 11), the fourth places 36 to 47 (temporal_reference 6 to 17). 42 pictures,
# which a decoder shows one after another, 6 frames short.
pattern 320x192 24000/1001 "$short_frames" yuv420p "loop=loop=20:size=1:start=12,setpts=N/FRAME_RATE/TB" |
  ffmpeg -v error -nostdin -f yuv4mpegpipe -i - -c:v mpeg2video -skip_threshold 100 \
    -threads 1 -fflags +bitexact -flags +bitexact -f mpeg2video -y samples/ffmpeg_skipped.m2v
check samples/ffmpeg_skipped.m2v 42 150 "seq 1 192" "seqext 1 1" "pic 3 0 0 1 1 1"
places=$(display_order samples/ffmpeg_skipped.m2v | awk '
  NR > 1 && $1 != last + 1 { printf "%s-%s ", first, last }
  NR == 1 || $1 != last + 1 { first = $1 } { last = $1 } END { print first "-" last }')
[ "$places" = "0-25 32-47" ] ||
  { echo "make_samples: ffmpeg_skipped.m2v: pictures in places $places, want 0-25 32-47" >&2; exit 1; }
echo "samples/ffmpeg_skipped.m2v: pictures in places $places"

# H.264 film from x264, checked through ffmpeg's reading of the headers
# (scripts/avc_headers.sh). x264 tells the frames it coded on standard error
# even with --quiet.
x264_film() {  # output [x264 options...]
  pattern 320x240 24000/1001 "$short_frames" |
    x264 --quiet --no-progress --threads 1 "${@:2}" --demuxer y4m -o "$1" - 2>&1 |
    { grep -v -e '^encoded [0-9]* frames' -e '^$' || true; } >&2
}
# Keeps an H.264 sample only if every SPS reads as given (avc_headers.sh's sps
# line without "sps"), it has as many pictures as the MPEG-2 samples of 48,
# their pic_structs in display order cycle through those given (- for none),
# the output times of the HRD delays, where there are any, follow one another
# by the fields each picture shows (pic_struct 3 to 6: two or three ticks, -:
# a frame, two), and the file is small enough.
check_avc() {  # file max_KiB sps_line pic_struct...
  local file=$1 max=$(($2 * 1024)) sps=$3 size lines
  shift 3
  lines=$(scripts/avc_headers.sh "$file")
  size=$(stat -c %s "$file")
  if [ "$size" -gt "$max" ] || [ "$(sed -n 's/^sps //p' <<<"$lines" | sort -u)" != "$sps" ] ||
    ! awk -v want="$*" -v count="$short_frames" '
      BEGIN { cycle = split(want, structs, " "); split("- 3 4 5 6", kind, " "); split("2 2 2 3 3", ticks, " ")
        for (k in kind) fields[kind[k]] = ticks[k] }
      $1 != "pic" { next }
      $3 != structs[n % cycle + 1] { exit 1 }
      n && $4 != "-" && $4 - last != fields[shown] { exit 1 }
      { last = $4; shown = $3; n++ }
      END { exit n != count }' <<<"$lines"; then
    echo "make_samples: $file is not the stream wanted ($size bytes, want at most $max):" >&2
    awk '$1 == "sps" { print } $1 == "pic" { print "pic", $3 }' <<<"$lines" | uniq -c >&2
    exit 1
  fi
  echo "$file: $size bytes, $(grep -c '^sps ' <<<"$lines") sequence parameter sets, $(grep -c '^pic ' <<<"$lines") pictures"
}
# The sps lines: num_units_in_tick, time_scale, fixed_frame_rate_flag,
# pic_struct_present_flag, frame_mbs_only_flag, mb_adaptive_frame_field_flag,
# nal_hrd_parameters_present_flag.
x264_film samples/film_23976.264
check_avc samples/film_23976.264 100 "1001 48000 1 0 1 0 0" -
x264_film samples/film_hrd.264 --nal-hrd vbr --vbv-maxrate 2000 --vbv-bufsize 2000
check_avc samples/film_hrd.264 100 "1001 48000 1 0 1 0 1" -
x264_film samples/film_pulldown.264 --pulldown 32
check_avc samples/film_pulldown.264 100 "1001 60000 1 1 1 0 0" 5 4 6 3
