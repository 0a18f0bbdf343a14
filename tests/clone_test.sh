#!/usr/bin/env bash
# Where the filesystem can share blocks (XFS and btrfs images mounted here:
# root, xfsprogs or btrfs-progs), the output starts as a clone of the input
# and only the blocks that change are written: the very bytes written whole
# elsewhere (-o onto another filesystem), the rest of its blocks shared.
# Status 77 (skipped), saying why, where no such filesystem can be mounted.
#   clone_test.sh path/to/ratefold <source dir>
set -u
ratefold=$(realpath "$1")
samples=$(realpath "$2")/samples
. "$(dirname "$0")/lib.sh"
TMPDIR=$(mktemp -d)
mounted=()
cleanup() {
  for dir in "${mounted[@]}"; do umount "$dir"; done
  rm -rf "$TMPDIR"
}
trap cleanup EXIT
cd "$TMPDIR" || exit 1
fallback=$TMPDIR/fallback
mkdir "$fallback"

# A film at 8 Mb/s: a picture every 40 KiB or so, each filled to the rate.
ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=720x480:rate=24000/1001 -frames:v 96 -c:v mpeg2video -g 12 \
  -bf 2 -b:v 8M -minrate 8M -maxrate 8M -bufsize 1835k -f mpeg2video film8.m2v || { echo "no ffmpeg" >&2; exit 77; }

# own_blocks FILE: its 4 KiB blocks that no other file shares, once on disk.
own_blocks() { sync -f "$(dirname "$1")/."; filefrag -v "$1" | awk '$1 ~ /^[0-9]+:$/ && $NF !~ /shared/ { n += $6 } END { print n + 0 }'; }

tried=0
for fs in xfs btrfs; do
  mkfs=mkfs.$fs
  command -v "$mkfs" >/dev/null || { echo "clone_test: $mkfs missing: $fs not tried" >&2; continue; }
  truncate -s 400M "$fs.img" && "$mkfs" -q "$fs.img" >/dev/null 2>&1 && mkdir "$fs" &&
    mount -o loop "$fs.img" "$fs" 2>/dev/null || { echo "clone_test: can't mount $fs here" >&2; continue; }
  mounted+=("$TMPDIR/$fs")
  tried=$((tried + 1))
  cd "$fs" || exit 1
  cp ../film8.m2v "$samples/film_24.m2v" "$samples/film_pulldown.m2v" "$samples/ffmpeg_skipped.m2v" .
  # A picture coding extension in the last block of the first read, then a
  # header cut by the read's end: that block is written once the next read
  # has made it whole.
  ff() { head -c "$1" /dev/zero | tr '\0' '\377'; }
  { printf '\x00\x00\x01\xb3\x2d\x01\xe0\x22\x03\x0d\x48\x20\x00\x00\x01\xb5\x14\x82\x00\x01\x00\x00'
    printf '\x00\x00\x01\xb8\x00\x08\x00\x40'
    ff $((522000 - 30))
    printf '\x00\x00\x01\x00\x00\x0f\xff\xf8\x00\x00\x01\xb5\x8f\xff\xf3\x81\x80'
    ff $((524285 - 522000 - 17))
    printf '\x00\x00\x01\x00\x00\x4f\xff\xf8\x00\x00\x01\xb5\x8f\xff\xf3\x81\x80'
    ff 10000; } >small.m2v
  while read -r option name out; do
    options=("$option") && [ "$option" != - ] || options=()
    "$ratefold" "${options[@]}" "$name" 2>/dev/null || fail "$fs $option $name: refused"
    "$ratefold" "${options[@]}" -o "$fallback/$out" "$name" 2>/dev/null || fail "$fs $option $name: refused by the fallback"
    cmp -s "$out" "$fallback/$out" || fail "$fs $option $name: not the bytes written whole"
    filefrag -v "$out" | grep -q shared || fail "$fs $option $name: no block shared with the input"
  done <<'EOF_JOBS'
- film8.m2v film8_30i.m2v
--to=25 film8.m2v film8_25i.m2v
- film_24.m2v film_24_30i.m2v
--undo film_pulldown.m2v film_pulldown_24p.m2v
- ffmpeg_skipped.m2v ffmpeg_skipped_30i.m2v
- small.m2v small_30i.m2v
EOF_JOBS
  # The 8 Mb/s film: about one block in ten holds an edit; under a fifth are its own.
  for out in film8_30i.m2v film8_25i.m2v; do
    own=$(own_blocks "$out")
    [ $((own * 4096 * 100)) -le $(($(stat -c %s "$out") * 20)) ] ||
      fail "$fs $out: $own blocks of its own for $(stat -c %s "$out") bytes"
  done
  # An input rewritten in place and grown while it is read (stopped after its
  # first read, in the 200 MiB of zero bytes): the output is the conversion
  # of the input as it was when the clone was made.
  cp film_24.m2v changing.m2v && truncate -s 200M changing.m2v && cat film_24.m2v >>changing.m2v
  cp changing.m2v "$fallback/changing.m2v"
  mkfifo progress
  "$ratefold" changing.m2v 2>progress &
  exec 3<progress
  IFS= read -r -d $'\r' -u 3 _
  if kill -STOP $! 2>/dev/null; then
    head -c "$(stat -c %s film_24.m2v)" /dev/zero |
      dd of=changing.m2v oflag=seek_bytes seek=$((200 << 20)) conv=notrunc status=none
    cat film_24.m2v >>changing.m2v
    kill -CONT $!
  else
    echo "clone_test: $fs: the run ended before the input could change" >&2
  fi
  cat <&3 >/dev/null
  wait $! || fail "$fs: refused the changing input"
  exec 3<&-
  "$ratefold" -o "$fallback/changing_30i.m2v" "$fallback/changing.m2v" 2>/dev/null
  cmp -s changing_30i.m2v "$fallback/changing_30i.m2v" || fail "$fs: not the conversion of the input as it was"
  rm -f changing.m2v changing_30i.m2v progress "$fallback"/changing*
  # A refusal found after the clone was made: nothing left, the earlier output kept.
  { cat film_24.m2v; printf '\x00\x00\x01\x00\x00\x0f\xff\xf8\x00\x00\x01\xb5\x8f\xff\xf1\x81\x80'; } >late.m2v
  printf 'earlier output' >late_30i.m2v
  "$ratefold" late.m2v 2>/dev/null && fail "$fs: a field picture was not refused"
  [ "$(cat late_30i.m2v)" = "earlier output" ] && [ -z "$(find . -name '.*' ! -name . ! -name '.snapshots')" ] ||
    fail "$fs: a refusal left something behind"
  # A crash right after the runs (XFS shut down, its log unwritten, mounted
  # again): each output, the clone's and one from a pipe, is there whole.
  if [ "$fs" = xfs ]; then
    "$ratefold" -o crash_30i.m2v film_24.m2v 2>/dev/null && "$ratefold" -o crash_piped.m2v - <film_24.m2v 2>/dev/null &&
      xfs_io -x -c shutdown . && cd .. && umount "$fs" && mount -o loop "$fs.img" "$fs" && cd "$fs" &&
      cmp -s crash_30i.m2v "$fallback/film_24_30i.m2v" && cmp -s crash_piped.m2v "$fallback/film_24_30i.m2v" ||
      fail "$fs: an output lost by a crash after the run: $(ls -l crash*)"
    cd "$TMPDIR/$fs" || exit 1
  fi
  cd .. || exit 1
done
[ "$tried" -gt 0 ] || { echo "clone_test: SKIPPED: no filesystem that shares blocks could be mounted here" >&2; exit 77; }
finish
