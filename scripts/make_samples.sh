#!/usr/bin/env bash
# Makes the sample streams under samples/ from ffmpeg's synthetic testsrc2
# pattern, piped as yuv4mpeg into Debian's encoders:
#   film_23976.m2v  mpeg2enc, DVD profile, 23.976 fps, 720x480, 72 frames
#   film_24.m2v     the same at 24 fps
#   pal_25.m2v      ffmpeg's mpeg2video encoder, 25 fps, 352x288, 25 frames
#                   (a stream to refuse)
# The film samples have B-pictures and GOPs of 15 (open after the first),
# progressive_sequence 0 and, for every picture, picture_structure 3 (frame
# picture), progressive_frame 1, top_field_first 1 and repeat_first_field 0;
# the script checks that before it keeps them. With the same tool versions
# the output is the same byte for byte.
# Needs ffmpeg and mjpegtools (mpeg2enc) from Debian.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in ffmpeg mpeg2enc od awk; do
  command -v "$tool" >/dev/null || { echo "make_samples: $tool not found" >&2; exit 1; }
done

readonly frames=72                  # 3 seconds of film
readonly max_sample_bytes=614400    # 600 KiB
mkdir -p samples

# yuv4mpeg test pattern at the given rate on standard output.
pattern() {  # size rate count
  ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=$1:rate=$2" \
    -frames:v "$3" -pix_fmt yuv420p -f yuv4mpegpipe -
}

# Prints one line per header that matters, from the stream's bytes
# (ISO/IEC 13818-2 6.2.2.1, 6.2.2.3, 6.2.3, 6.2.3.1):
#   seq <frame_rate_code>
#   seqext <progressive_sequence>
#   pic <picture_structure> <top_field_first> <repeat_first_field> <progressive_frame>
#   gop
describe() {  # file
  od -An -v -tu1 -w1 "$1" | awk '
    { b[n++] = $1 }
    END {
      for (i = 0; i + 8 < n; i++) {
        if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue
        code = b[i + 3]; id = int(b[i + 4] / 16)
        if (code == 179) {                    # 0xB3 sequence header
          print "seq", b[i + 7] % 16
        } else if (code == 181 && id == 1) {  # 0xB5, sequence extension
          print "seqext", int(b[i + 5] / 8) % 2
        } else if (code == 181 && id == 8) {  # 0xB5, picture coding extension
          print "pic", b[i + 6] % 4, int(b[i + 7] / 128), int(b[i + 7] / 2) % 2, int(b[i + 8] / 128)
        } else if (code == 184) {             # 0xB8 group of pictures
          print "gop"
        }
      }
    }'
}

check_film() {  # file frame_rate_code
  local file=$1 code=$2 summary size
  summary=$(describe "$file")
  size=$(stat -c %s "$file")
  local bad=0
  [ "$(grep -c '^seq ' <<<"$summary")" -ge 1 ] || bad=1
  if grep '^seq ' <<<"$summary" | grep -qv "^seq $code\$"; then bad=1; fi
  if grep '^seqext ' <<<"$summary" | grep -qv '^seqext 0$'; then bad=1; fi
  [ "$(grep -c '^pic 3 1 0 1$' <<<"$summary")" -eq "$frames" ] || bad=1
  [ "$(grep -c '^pic ' <<<"$summary")" -eq "$frames" ] || bad=1
  [ "$size" -le "$max_sample_bytes" ] || bad=1
  if [ "$bad" -ne 0 ]; then
    echo "make_samples: $file is not the stream wanted ($size bytes):" >&2
    sort <<<"$summary" | uniq -c >&2
    exit 1
  fi
  echo "$file: $size bytes, $frames frame pictures in $(grep -c '^gop$' <<<"$summary") GOPs"
}

# mpeg2enc: -f 8 DVD profile, -F frame rate code (1 = 23.976, 2 = 24),
# -I 0 progressive frames, -a 2 4:3, -n n NTSC, -g/-G GOP of 15 pictures,
# -R 2 two B-pictures between reference pictures, -b peak kbit/s.
film() {  # output rate frame_rate_code
  pattern 720x480 "$2" "$frames" |
    mpeg2enc -v 0 -f 8 -F "$3" -I 0 -a 2 -n n -g 15 -G 15 -R 2 -b 1200 -o "$1"
  check_film "$1" "$3"
}

film samples/film_23976.m2v 24000/1001 1
film samples/film_24.m2v 24 2

pattern 352x288 25 25 |
  ffmpeg -v error -nostdin -f yuv4mpegpipe -i - -c:v mpeg2video -b:v 600k -g 15 -bf 2 \
    -threads 1 -fflags +bitexact -flags +bitexact -f mpeg2video -y samples/pal_25.m2v
if ! describe samples/pal_25.m2v | grep -qx 'seq 3'; then
  echo "make_samples: samples/pal_25.m2v has no 25 fps sequence header" >&2
  exit 1
fi
echo "samples/pal_25.m2v: $(stat -c %s samples/pal_25.m2v) bytes"
