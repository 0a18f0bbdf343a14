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
  # A piece of the middle, behind the sequence header that a stream must
  # begin with.
  { printf '\x05\x00'; head -c 200 "$sample"; head -c $((size / 2 + 12288)) "$sample" | tail -c 12288; } \
    >"$out/${name}_middle"
done
