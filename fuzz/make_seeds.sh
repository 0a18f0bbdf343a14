#!/usr/bin/env bash
# Writes the fuzz target's seed corpus into the folder given: of every sample
# stream, its start (with the sequence header) and a piece from the middle,
# each behind two bytes that choose how reads split it (fuzz/scan_fuzz.cpp).
#   fuzz/make_seeds.sh OUT_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: fuzz/make_seeds.sh OUT_DIR}
mkdir -p "$out"
for sample in samples/*.m[12]v; do
  name=$(basename "$sample")
  size=$(stat -c %s "$sample")
  for split in 0 3 6; do
    { printf "\\x0$split\\x00"; head -c 12288 "$sample"; } >"$out/${name}_start$split"
  done
  # The middle piece behind the sequence header that a stream must begin with.
  { printf '\x05\x00'; head -c 200 "$sample"; head -c $((size / 2 + 12288)) "$sample" | tail -c 12288; } \
    >"$out/${name}_middle"
done
# H.264: of every sample, its start, its start cut inside a slice, a copy with
# bits of its SPS flipped, and the whole stream with every slice cut to its
# header (so that all its pictures fit), behind a byte for every job.
avc_jobs=(00 0e 13 1c 25 2a)
for sample in samples/*.264; do
  name=$(basename "$sample")
  short="$out/${name}.short"  # slices (nal_unit_type 1 and 5, 7.3.1) cut to 40 bytes
  perl -0777 -ne 'for (split /(?=\x00\x00\x01)/) { next unless /^\x00\x00\x01/;
    my $type = ord(substr($_, 3, 1)) & 31; print $type == 1 || $type == 5 ? substr($_, 0, 40) : $_ }' "$sample" >"$short"
  for job in "${avc_jobs[@]}"; do
    { printf "\\x$job\\x00"; head -c 16384 "$sample"; } >"$out/${name}_start$job"
    { printf "\\x$job\\x07"; cat "$short"; } >"$out/${name}_short$job"
  done
  { printf '\x03\x00'; head -c 3000 "$sample"; } >"$out/${name}_cut"
  for at in 9 14 22; do
    { printf '\x01\x00'; head -c 4000 "$sample"; } >"$out/${name}_flip$at"
    printf '\xff' | dd of="$out/${name}_flip$at" bs=1 seek=$((at + 2)) conv=notrunc status=none
  done
  rm "$short"
done
