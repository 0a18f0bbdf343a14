#!/usr/bin/env bash
# What converting costs next to copying, in alternating pairs of runs (each
# output deleted before its run), every input page-cached:
#  1. ratefold on a 1 GiB stream against `dd bs=512K conv=fdatasync` copying
#     the same file (both take what they wrote to the disk before they end),
#     where the output cannot share the input's blocks (ext4, tmpfs: the
#     loop that writes every byte), and ratefold's peak resident memory for
#     a 1 MiB and a 1 GiB input;
#  2. --to 25 and --undo against the default job on the same kind of input;
#  3. reading standard input: `cat FILE | ratefold -o - -` against `cat FILE |
#     cat`, both into /dev/null;
#  5. (listed last, run before 4) with x264: an H.264 film (720p, 23.976
#     fps, x264 at CRF 18 with film grain, tiled to 1 GiB in whole copies)
#     against `dd bs=512K conv=fdatasync`, and ratefold's peak resident
#     memory for one copy and for 1 GiB of it;
#  4. where this machine can mount them (root, xfsprogs, btrfs-progs), on an
#     XFS and a btrfs image: ratefold against dd on an 8 Mb/s film (about one
#     4 KiB block in ten holds an edit), each followed by `sync -f` so that
#     what it wrote reaches the device, and the new room the output takes.
#
#   scripts/bench.sh [ratefold] [sample.m2v]
#
#   ratefold     the program to measure (default build/ratefold; build it as
#                Release: cmake -S . -B build -DCMAKE_BUILD_TYPE=Release)
#   sample.m2v   the stream tiled to 1 GiB in 1 to 3 (default
#                samples/film_24.m2v)
#   PAIRS=N      pairs of runs measured, after one pair to warm up (default 11)
#   BENCH_DIR=D  where the 1 GiB inputs and the outputs go (default a new
#                folder under ${TMPDIR:-/tmp}, removed at the end); needs 4 GiB
#   WRITE_MBPS=N for 4: the images' writes held to N MB/s (through the block
#                I/O controller of cgroups), as on a disk of that speed; by
#                default they go as fast as the disk under BENCH_DIR takes them
#
# Prints the medians and their ratios, and exits with status 1 if a target
# is missed:
#  1. CPU time (user + system) and wall time at most 1.2 times dd's,
#     ratefold's user time under 0.15 s per GiB, peak resident memory at
#     most 5 MiB;
#  2. --to 25 and --undo wall time at most 1.1 times the default job's;
#  3. the pipe's wall time at most 1.2 times cat's;
#  4. wall time at most half of dd's, new room at most the share of blocks
#     that hold an edit plus 5 points;
#  5. wall time at most 1.3 times dd's; peak resident memory for 1 GiB at
#     most 8 MiB more than for one copy (flat: a few pictures are held,
#     never the stream).
# Run it on a quiet machine: other work skews every figure.
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
fi
mounted=()
cleanup() {
  for mount in "${mounted[@]}"; do [ -z "$mount" ] || umount "$mount" || true; done
  [ -z "${loop:-}" ] || losetup -d "$loop" 2>/dev/null || true
  [ -n "${BENCH_DIR:-}" ] || rm -rf "$dir"
}
trap cleanup EXIT

readonly GiB=1073741824 MiB=1048576
missed=0

# tile SAMPLE OUT: the sample over and over, cut to exactly 1 GiB (a header
# cut at the end is kept as it is), into the page cache.
tile() {
  local piece=$2.tile
  : >"$piece"
  while [ "$(stat -c %s "$piece")" -lt $((16 * MiB)) ]; do cat "$1" >>"$piece"; done
  : >"$2"
  while [ "$(stat -c %s "$2")" -lt $GiB ]; do cat "$piece" >>"$2"; done
  truncate -s $GiB "$2"
  rm -f "$piece"
  cat "$2" >/dev/null
}

# Runs one command (a shell command line) with the files named in $remove
# deleted first; prints "wall user sys" in seconds, children included (bash's
# own timer, to the millisecond).
timed() {
  rm -f $remove
  local TIMEFORMAT='%3R %3U %3S'
  { time bash -c "$1" >/dev/null 2>&1; } 2>&1
}

# pairs NAME_A COMMAND_A NAME_B COMMAND_B: alternating pairs, the first to
# warm up, the order within a pair alternating; the times go to NAME.times.
measure() {
  : >"$dir/$1.times"
  : >"$dir/$3.times"
  local pair a b
  for pair in $(seq 0 "$pairs"); do
    if [ $((pair % 2)) -eq 0 ]; then
      a=$(timed "$2"); b=$(timed "$4")
    else
      b=$(timed "$4"); a=$(timed "$2")
    fi
    if [ "$pair" -gt 0 ]; then
      echo "$a" >>"$dir/$1.times"
      echo "$b" >>"$dir/$3.times"
    fi
  done
  rm -f $remove
}

# Median of one column (1 wall, 2 user, 3 sys, 4 user + sys) of NAME.times.
median() {
  awk -v c="$1" '{ print (c == 4 ? $2 + $3 : $c) }' "$dir/$2.times" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# verdict WHAT VALUE TARGET OK: prints one line and notes a miss.
verdict() {
  local state=ok
  [ "$4" = 1 ] || { state=MISSED; missed=1; }
  printf '%-34s %8s   target %-10s %s\n' "$1" "$2" "$3" "$state"
}

row() {  # NAME LABEL
  printf '%-20s %8.3f %8.3f %8.3f %10.3f\n' "$2" "$(median 1 "$1")" "$(median 2 "$1")" "$(median 3 "$1")" "$(median 4 "$1")"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
within() { awk -v v="$1" -v t="$2" 'BEGIN { exit !(v <= t) }' && echo 1 || echo 0; }

# Peak resident set size in KiB of one run.
peak_kib() {
  rm -f $remove
  /usr/bin/time -f '%M' -o "$dir/rss" "$@" >/dev/null 2>&1
  cat "$dir/rss"
}

header() {
  printf '\n%s; medians of %d alternating pairs\n' "$1" "$pairs"
  printf '%-20s %8s %8s %8s %10s\n' "" "wall s" "user s" "sys s" "user+sys s"
}

# --- 1. the loop that writes every byte, against dd ----------------------------
big=$dir/stream.m2v
small=$dir/small.m2v
tile "$sample" "$big"
head -c $MiB "$big" >"$small"
"$ratefold" "$small" 2>/dev/null || { echo "$ratefold fails on the sample" >&2; exit 2; }
out=$dir/stream_30i.m2v
remove="$out $dir/small_30i.m2v"
measure ratefold "'$ratefold' '$big'" dd "dd if='$big' of='$out' bs=512K conv=fdatasync"
header "1 GiB stream tiled from $sample in $dir ($(df --output=fstype "$dir" | tail -1))"
row ratefold ratefold
row dd "dd conv=fdatasync"
cpu=$(ratio "$(median 4 ratefold)" "$(median 4 dd)")
wall=$(ratio "$(median 1 ratefold)" "$(median 1 dd)")
verdict "CPU time ratio (user+sys)" "$cpu" "<= 1.2" "$(within "$cpu" 1.2)"
verdict "wall time ratio" "$wall" "<= 1.2" "$(within "$wall" 1.2)"
verdict "ratefold user time, s/GiB" "$(median 2 ratefold)" "< 0.15" "$(within "$(median 2 ratefold)" 0.1499)"
rss_small=$(peak_kib "$ratefold" "$small")
rss_big=$(peak_kib "$ratefold" "$big")
rss_dd=$(peak_kib dd if="$big" of="$out" bs=512K conv=fdatasync)
verdict "ratefold peak RSS, 1 MiB, MiB" "$(ratio "$rss_small" 1024)" "<= 5" "$(within "$rss_small" 5120)"
verdict "ratefold peak RSS, 1 GiB, MiB" "$(ratio "$rss_big" 1024)" "<= 5" "$(within "$rss_big" 5120)"
printf '%-34s %8s\n' "dd peak RSS, 1 GiB, MiB" "$(ratio "$rss_dd" 1024)"

# --- 2. the other jobs -----------------------------------------------------------
remove="$out $dir/stream_25i.m2v"
measure to25 "'$ratefold' --to 25 '$big'" default "'$ratefold' '$big'"
pulled=$dir/pulled.m2v
tile samples/film_pulldown.m2v "$pulled"
remove="$dir/pulled_24p.m2v $out"
measure undo "'$ratefold' --undo '$pulled'" default2 "'$ratefold' '$big'"
header "the other jobs (--undo on samples/film_pulldown.m2v tiled to 1 GiB)"
row default "default job"
row to25 "--to 25"
row undo "--undo"
to25=$(ratio "$(median 1 to25)" "$(median 1 default)")
undo=$(ratio "$(median 1 undo)" "$(median 1 default2)")
verdict "--to 25 wall over the default's" "$to25" "<= 1.1" "$(within "$to25" 1.1)"
verdict "--undo wall over the default's" "$undo" "<= 1.1" "$(within "$undo" 1.1)"
rm -f "$pulled"

# --- 3. standard input --------------------------------------------------------------
remove=""
measure pipe "cat '$big' | '$ratefold' -o - - >/dev/null" cat "cat '$big' | cat >/dev/null"
header "1 GiB through a pipe into /dev/null"
row pipe "cat | ratefold -o - -"
row cat "cat | cat"
pipe=$(ratio "$(median 1 pipe)" "$(median 1 cat)")
verdict "pipe wall time ratio" "$pipe" "<= 1.2" "$(within "$pipe" 1.2)"
rm -f "$big" "$small"

# --- 5. H.264 -------------------------------------------------------------------------
if ! command -v x264 >/dev/null || ! command -v ffmpeg >/dev/null; then
  printf '\nH.264 not measured: needs x264 and ffmpeg\n'
else
  film264=$dir/film264.piece
  ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=1280x720:rate=24000/1001 -frames:v 96 \
    -vf noise=alls=12:allf=t -pix_fmt yuv420p -f yuv4mpegpipe - |
    x264 --quiet --no-progress --demuxer y4m --preset veryfast --crf 18 -o "$film264" - 2>/dev/null
  avc=$dir/film.264
  # Whole copies: a stream cut inside a slice header is refused.
  : >"$avc"
  while [ "$(stat -c %s "$avc")" -lt $GiB ]; do cat "$film264" >>"$avc"; done
  cat "$avc" >/dev/null
  remove="$dir/film_30i.264"
  measure avc "'$ratefold' '$avc'" dd264 "dd if='$avc' of='$dir/film_30i.264' bs=512K conv=fdatasync"
  header "H.264: a 720p film tiled to $(awk -v b="$(stat -c %s "$avc")" 'BEGIN { printf "%.2f", b / 1073741824 }') GiB"
  row avc ratefold
  row dd264 "dd conv=fdatasync"
  wall=$(ratio "$(median 1 avc)" "$(median 1 dd264)")
  verdict "wall time ratio" "$wall" "<= 1.3" "$(within "$wall" 1.3)"
  rss_small=$(peak_kib "$ratefold" -o /dev/null "$film264")
  rss_big=$(peak_kib "$ratefold" -o /dev/null "$avc")
  verdict "peak RSS, 1 GiB over one copy, MiB" "$(ratio "$((rss_big - rss_small))" 1024)" "<= 8" \
    "$(within "$((rss_big - rss_small))" 8192)"
  rm -f "$avc" "$film264" $remove
fi

# --- 4. filesystems that share blocks ----------------------------------------------
film8=$dir/film8.m2v
if [ "$(id -u)" -ne 0 ] || ! command -v ffmpeg >/dev/null; then
  printf '\nno clone-capable filesystem measured: needs root (to mount) and ffmpeg (to make the 8 Mb/s film)\n'
else
  ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=720x480:rate=24000/1001 -frames:v 96 -c:v mpeg2video -g 12 \
    -bf 2 -b:v 8M -minrate 8M -maxrate 8M -bufsize 1835k -f mpeg2video "$film8"
  # The share of 4 KiB blocks that hold a header ratefold edits, from one
  # piece of the film (the tiles repeat it).
  share=$(scripts/headers.sh "$film8" | awk -v size="$(stat -c %s "$film8")" '
    $2 == "seq" { n = 8 } $2 == "seqext" { n = 10 } $2 == "pic" { n = 9 } $2 == "gop" { n = 8 }
    { blocks[int($1 / 4096)]; blocks[int(($1 + n - 1) / 4096)] }
    END { printf "%.1f", 100 * length(blocks) / (size / 4096) }')
  for fs in xfs btrfs; do
    if ! command -v "mkfs.$fs" >/dev/null; then
      printf '\n%s not measured: mkfs.%s missing\n' "$fs" "$fs"
      continue
    fi
    image=$dir/$fs.img
    mnt=$dir/$fs
    # A loop device that writes through to the disk, not to another page
    # cache.
    truncate -s 4G "$image" && "mkfs.$fs" -q "$image" >/dev/null 2>&1 && mkdir -p "$mnt" &&
      loop=$(losetup --direct-io=on -f --show "$image" 2>/dev/null) && mount "$loop" "$mnt" 2>/dev/null ||
      { printf '\n%s not measured: cannot mount an image here\n' "$fs"; continue; }
    mounted+=("$mnt")
    speed="as fast as the disk takes them"
    if [ -n "${WRITE_MBPS:-}" ]; then
      device=$(cat "/sys/block/${loop#/dev/}/dev")
      if echo "$device $((WRITE_MBPS * 1000000))" >/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device 2>/dev/null ||
        echo "$device wbps=$((WRITE_MBPS * 1000000))" >/sys/fs/cgroup/io.max 2>/dev/null; then
        speed="held to $WRITE_MBPS MB/s"
      else
        speed="as fast as the disk takes them (no I/O controller to hold them to $WRITE_MBPS MB/s)"
      fi
    fi
    tile "$film8" "$mnt/film.m2v"
    remove="$mnt/film_30i.m2v"
    # Each with its writes taken to the device: dd's are otherwise only
    # copies into the page cache, which the kernel writes out later.
    measure "clone_$fs" "'$ratefold' '$mnt/film.m2v' && sync -f '$mnt/.'" \
      "dd_$fs" "dd if='$mnt/film.m2v' of='$mnt/film_30i.m2v' bs=512K && sync -f '$mnt/.'"
    # The room of its own the output takes: its blocks that the input does
    # not share (the filesystem reports shared extents through FIEMAP).
    "$ratefold" "$mnt/film.m2v" 2>/dev/null
    sync -f "$mnt/."
    own=$(filefrag -v "$mnt/film_30i.m2v" | awk '$1 ~ /^[0-9]+:$/ && $NF !~ /shared/ { n += $6 } END { print n + 0 }')
    rm -f "$mnt/film_30i.m2v"
    header "$fs image: an 8 Mb/s film tiled to 1 GiB, ${share}% of its 4 KiB blocks hold an edit; writes $speed"
    row "clone_$fs" ratefold
    row "dd_$fs" "dd bs=512K"
    wall=$(ratio "$(median 1 "clone_$fs")" "$(median 1 "dd_$fs")")
    room=$(awk -v b="$own" 'BEGIN { printf "%.1f", 100 * b * 4096 / 1073741824 }')
    verdict "wall time ratio" "$wall" "<= 0.5" "$(within "$wall" 0.5)"
    verdict "new room, % of the output" "$room" "<= $(awk -v s="$share" 'BEGIN { print s + 5 }')" \
      "$(within "$room" "$(awk -v s="$share" 'BEGIN { print s + 5 }')")"
    umount "$mnt"
    mounted=("${mounted[@]/$mnt/}")
    if [ -n "${device:-}" ]; then  # the next loop device of that number goes free
      echo "$device 0" >/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device 2>/dev/null ||
        echo "$device wbps=max" >/sys/fs/cgroup/io.max 2>/dev/null || true
    fi
    losetup -d "$loop"
    rm -f "$image"
  done
fi
exit "$missed"
