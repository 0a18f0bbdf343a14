#!/usr/bin/env bash
# What converting costs next to copying: ratefold on a page-cached 1 GiB
# stream against `dd bs=512K` copying the same file, in alternating pairs of
# runs (each output deleted before its run), and ratefold's peak resident
# memory for a 1 MiB and a 1 GiB input.
#
#   scripts/bench.sh [ratefold] [sample.m2v]
#
#   ratefold     the program to measure (default build/ratefold; build it as
#                Release: cmake -S . -B build -DCMAKE_BUILD_TYPE=Release)
#   sample.m2v   the stream tiled to 1 GiB (default samples/film_24.m2v)
#   PAIRS=N      pairs of runs measured, after one pair to warm up (default 11)
#   BENCH_DIR=D  where the 1 GiB input and the outputs go (default a new
#                folder under ${TMPDIR:-/tmp}, removed at the end); needs 2 GiB
#
# Prints the medians and their ratios, and exits with status 1 if a target
# is missed: CPU time (user + system) at most 1.4 times dd's, wall time at
# most 1.2 times, ratefold's user time under 0.15 s per GiB, peak resident
# memory at most 5 MiB. Run it on a quiet machine: other work skews both.
set -euo pipefail
cd "$(dirname "$0")/.."

ratefold=$(realpath "${1:-build/ratefold}")
sample=$(realpath "${2:-samples/film_24.m2v}")
pairs=${PAIRS:-11}
[ -x "$ratefold" ] || { echo "no program at $ratefold: build it first" >&2; exit 2; }
[ -s "$sample" ] || { echo "no sample at $sample" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs GNU time: apt-get install time" >&2; exit 2; }

if [ -n "${BENCH_DIR:-}" ]; then
  dir=$BENCH_DIR
  mkdir -p "$dir"
else
  dir=$(mktemp -d "${TMPDIR:-/tmp}/ratefold-bench.XXXXXX")
  trap 'rm -rf "$dir"' EXIT
fi

readonly GiB=1073741824 MiB=1048576
big=$dir/stream.m2v
small=$dir/small.m2v
out=$dir/stream_30i.m2v  # ratefold's output name; dd writes the same file

# The sample over and over, cut to exactly 1 GiB (a header cut at the end is
# dropped by ratefold, which makes no measurable difference).
tile=$dir/tile.m2v
: >"$tile"
while [ "$(stat -c %s "$tile")" -lt $((16 * MiB)) ]; do cat "$sample" >>"$tile"; done
: >"$big"
while [ "$(stat -c %s "$big")" -lt $GiB ]; do cat "$tile" >>"$big"; done
truncate -s $GiB "$big"
head -c $MiB "$big" >"$small"
rm -f "$tile"
cat "$big" >/dev/null  # into the page cache
"$ratefold" "$small" 2>/dev/null || { echo "$ratefold fails on the sample" >&2; exit 2; }

# Runs one command with its output deleted first; prints "wall user sys" in
# seconds (bash's own timer, to the millisecond).
timed() {
  rm -f "$out"
  local TIMEFORMAT='%3R %3U %3S'
  { time "$@" >/dev/null 2>&1; } 2>&1
}

# Peak resident set size in KiB of one run.
peak_kib() {
  rm -f "${out}" "$dir/small_30i.m2v"
  /usr/bin/time -f '%M' -o "$dir/rss" "$@" >/dev/null 2>&1
  cat "$dir/rss"
}

run_ratefold() { timed "$ratefold" "$big"; }
run_dd() { timed dd if="$big" of="$out" bs=512K; }

: >"$dir/ratefold.times"
: >"$dir/dd.times"
for pair in $(seq 0 "$pairs"); do
  # The first pair only warms up; the order within a pair alternates.
  if [ $((pair % 2)) -eq 0 ]; then
    r=$(run_ratefold); d=$(run_dd)
  else
    d=$(run_dd); r=$(run_ratefold)
  fi
  if [ "$pair" -gt 0 ]; then
    echo "$r" >>"$dir/ratefold.times"
    echo "$d" >>"$dir/dd.times"
  fi
done
rm -f "$out"

# Median of one column ($1: 1 wall, 2 user, 3 sys, 4 user + sys) of a file.
median() {
  awk -v c="$1" '{ print (c == 4 ? $2 + $3 : $c) }' "$2" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

rf_wall=$(median 1 "$dir/ratefold.times"); dd_wall=$(median 1 "$dir/dd.times")
rf_user=$(median 2 "$dir/ratefold.times"); dd_user=$(median 2 "$dir/dd.times")
rf_sys=$(median 3 "$dir/ratefold.times"); dd_sys=$(median 3 "$dir/dd.times")
rf_cpu=$(median 4 "$dir/ratefold.times"); dd_cpu=$(median 4 "$dir/dd.times")
rss_small=$(peak_kib "$ratefold" "$small")
rss_big=$(peak_kib "$ratefold" "$big")
rss_dd=$(peak_kib dd if="$big" of="$out" bs=512K)
rm -f "$out" "$dir/small_30i.m2v"

awk -v pairs="$pairs" -v sample="$sample" \
    -v rw="$rf_wall" -v ru="$rf_user" -v rs="$rf_sys" -v rc="$rf_cpu" \
    -v dw="$dd_wall" -v du="$dd_user" -v ds="$dd_sys" -v dc="$dd_cpu" \
    -v rss1="$rss_small" -v rss2="$rss_big" -v rssd="$rss_dd" '
function verdict(ok) { if (!ok) missed = 1; return ok ? "ok" : "MISSED" }
BEGIN {
  printf "1 GiB stream tiled from %s, page-cached; medians of %d alternating pairs\n", sample, pairs
  printf "%-14s %8s %8s %8s %10s\n", "", "wall s", "user s", "sys s", "user+sys s"
  printf "%-14s %8.3f %8.3f %8.3f %10.3f\n", "ratefold", rw, ru, rs, rc
  printf "%-14s %8.3f %8.3f %8.3f %10.3f\n", "dd bs=512K", dw, du, ds, dc
  printf "CPU time ratio (user+sys)  %5.2f   target <= 1.4   %s\n", rc / dc, verdict(rc / dc <= 1.4)
  printf "wall time ratio            %5.2f   target <= 1.2   %s\n", rw / dw, verdict(rw / dw <= 1.2)
  printf "ratefold user time         %5.3f s/GiB   target < 0.15   %s\n", ru, verdict(ru < 0.15)
  printf "ratefold peak RSS, 1 MiB   %5.2f MiB   target <= 5   %s\n", rss1 / 1024, verdict(rss1 <= 5120)
  printf "ratefold peak RSS, 1 GiB   %5.2f MiB   target <= 5   %s\n", rss2 / 1024, verdict(rss2 <= 5120)
  printf "dd peak RSS, 1 GiB         %5.2f MiB\n", rssd / 1024
  exit missed
}'
