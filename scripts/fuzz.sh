#!/usr/bin/env bash
# Builds the scanner's libFuzzer target with clang (address and undefined-
# behaviour sanitizers) and runs it for a bounded time from the seed corpus.
#   scripts/fuzz.sh [SECONDS] [BUILD_DIR]        defaults: 60, build-fuzz
# Inputs it finds worth keeping stay in BUILD_DIR/fuzz-corpus for the next
# run; an input that fails is written to BUILD_DIR/fuzz-crashes/ and the
# script fails. Rerun one with: BUILD_DIR/fuzz/ratefold_scan_fuzz FILE
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=${2:-build-fuzz}

scripts/packages.sh install build fuzz
cmake -S . -B "$dir" -G "$(scripts/generator.sh "$dir")" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRATEFOLD_FUZZ=ON -DRATEFOLD_TESTS=OFF -DRATEFOLD_WERROR=ON >/dev/null
cmake --build "$dir" --target ratefold_scan_fuzz

rm -rf "$dir/fuzz-seeds"
fuzz/make_seeds.sh "$dir/fuzz-seeds"
mkdir -p "$dir/fuzz-corpus" "$dir/fuzz-crashes"
# New inputs go into the first folder named; -max_len bounds a stream to
# 64 KiB, -timeout fails an input that takes more than 10 s.
status=0
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$dir/fuzz/ratefold_scan_fuzz" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$dir/fuzz-crashes/" \
  "$dir/fuzz-corpus" "$dir/fuzz-seeds" >"$dir/fuzz.log" 2>&1 || status=$?
grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|Done |stat::(number_of_executed_units|average_exec_per_sec|new_units_added))' \
  "$dir/fuzz.log" || true
if [ "$status" -ne 0 ]; then
  tail -n 40 "$dir/fuzz.log" >&2
  echo "fuzz: failed with status $status; the input is in $dir/fuzz-crashes/, the log in $dir/fuzz.log" >&2
  exit 1
fi
