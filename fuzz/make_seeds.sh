#!/usr/bin/env bash
# Writes the fuzz target's seed corpus into the folder given.
#   fuzz/make_seeds.sh OUT_DIR
# Every seed is two bytes that choose how reads split the stream (their low
# three bits pick the longest read: 1, 2, 5, 9, 64, 300, 4096 or 70,000
# bytes), then the stream. Seeds: pieces of the sample streams (samples/*.m2v, if made), and
# small hand-made streams for the cases a random walk finds late.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: fuzz/make_seeds.sh OUT_DIR}
mkdir -p "$out"

readonly piece_bytes=12288

# seed NAME SPLIT: the stream on standard input, behind split byte SPLIT.
seed() {
  { printf "\\x$(printf %02x "$2")\\x00"; cat; } >"$out/$1"
}

# Headers, as printf escapes (ISO/IEC 13818-2, 6.2.2 and 6.2.3).
sequence_header() {  # frame_rate_code: 720x480, 4:3
  printf '\x00\x00\x01\xb3\x2d\x01\xe0'; printf "\\x2$1"; printf '\x03\x0d\x48\x20'
}
sequence_extension() { printf '\x00\x00\x01\xb5\x14\x8a\x00\x01\x00\x00'; }
gop_header() { printf '\x00\x00\x01\xb8\x00\x08\x00\x40'; }
picture_header() {  # temporal_reference (0..255 here), picture_coding_type 1..3
  printf '\x00\x00\x01\x00'; printf "\\x$(printf %02x $(($1 >> 2)))"
  printf "\\x$(printf %02x $(((($1 & 3) << 6) | ($2 << 3) | 7)))"; printf '\xff\xf8'
}
coding_extension() {  # picture_structure 1..3
  printf '\x00\x00\x01\xb5\x8f\xff'; printf "\\xf$1"; printf '\xc1\x80'
}
slice() { printf '\x00\x00\x01\x01\x12\x34\x56\x78\x9a\xbc\xde\xf0\x11\x22'; }

film() {  # frame_rate_code pictures picture_structure
  sequence_header "$1"; sequence_extension; gop_header
  for ((p = 0; p < $2; ++p)); do
    picture_header "$p" $((p == 0 ? 1 : 3)); coding_extension "$3"; slice
  done
  printf '\x00\x00\x01\xb7'
}

for split in 0 1 2 3 4 5 6 7; do
  film 1 9 3 | seed "film_23976_split$split" "$split"
done
film 2 5 3 | seed film_24 3
film 3 2 3 | seed pal_25_refused 2
film 1 3 2 | seed field_picture_refused 3
head -c 300 /dev/zero | seed zeros 2
for _ in $(seq 40); do printf '\x00\x00\x01\x00'; done | seed back_to_back_pictures 3
{ film 2 2 3; printf '\x00\x00\x01'; } | seed ends_in_start_code_prefix 3
{ film 2 2 3; printf '\x00\x00\x01\xb5'; } | seed ends_in_unnamed_extension 3
{ film 2 2 3; printf '\x00\x00\x01\xb8\x00\x08\x00'; } | seed ends_in_gop_header 3

# Pieces of every sample: its start, with the sequence header, and a piece
# from the middle, which starts anywhere in coded data.
shopt -s nullglob
samples=(samples/*.m2v)
if [ ${#samples[@]} -eq 0 ]; then
  echo "make_seeds: no samples/*.m2v; hand-made seeds only" >&2
fi
for sample in "${samples[@]}"; do
  name=$(basename "$sample" .m2v)
  size=$(stat -c %s "$sample")
  head -c "$piece_bytes" "$sample" | seed "${name}_start" 3
  head -c $((size / 2 + piece_bytes)) "$sample" | tail -c "$piece_bytes" | seed "${name}_middle" 5
done
