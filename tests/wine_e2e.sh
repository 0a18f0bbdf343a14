#!/usr/bin/env bash
# End to end under wine: the Windows build expands and sorts its wildcards
# itself, converts in that order and writes the native build's bytes; its
# standard error is in text mode (lines end in CR LF, the progress line in a
# bare CR); names in any script reach it whole; a failure leaves nothing.
#   tests/wine_e2e.sh win32|win64 <ratefold.exe> <native ratefold> <source dir>
# The wine prefix comes from scripts/wine-run.sh ($RATEFOLD_WINE_DIR).
set -uo pipefail
arch=$1
exe=$(realpath "$2")
native=$(realpath "$3")
source=$(realpath "$4")
. "$source/tests/lib.sh"
TMPDIR=$(mktemp -d)
trap 'rm -rf "$TMPDIR"' EXIT
# C.UTF-8 gives the ANSI code page 1252 (a message names 日本 as ?? and é as
# byte E9), and Unix file names in UTF-8.
win() { (cd "$TMPDIR/win${dir:+/$dir}" && LC_ALL=C.UTF-8 "$source/scripts/wine-run.sh" "$arch" "$@"); }
crlf() { perl -pe 's/\n/\r\n/g'; }

# Sorted by bytes with A..Z mapped to a..z: digits, '_', letters; 10 before
# 9. The search ignores case (C.M2V matches *.m2v). 10.m2v takes several reads.
cat "$source/samples/film_24.m2v"{,,} >"$TMPDIR/long"
put() {  # NAME...: the files on both sides, the first of several reads, the others samples in turn
  local side i files=("$TMPDIR/long" "$source/samples/film_23976.m2v" "$source/samples/film_24.m2v")
  for side in win native; do
    for ((i = 1; i <= $#; ++i)); do
      mkdir -p "$(dirname "$TMPDIR/$side/${!i}")" && cp "${files[i == 1 ? 0 : 1 + i % 2]}" "$TMPDIR/$side/${!i}"
    done
  done
}
sorted=(10.m2v 9.m2v _z.m2v A.m2v b.m2v C.M2V "my clip.m2v" sub/a.m2v sub/b.m2v)
put "${sorted[@]}"
(cd "$TMPDIR/native" && "$native" "${sorted[@]}" 2>../native.err)
expect "*.m2v sub\\*.m2v" 0 "$(perl -pe 's/\n/\r\n/g; s|sub/|sub\\|g' <"$TMPDIR/native.err")"$'\n' \
  win "$exe" '*.m2v' 'sub\*.m2v'
head -c 5000000 /dev/zero >"$TMPDIR/win/b_30i.m2v"  # a longer stale output is replaced
expect "b.m2v" 0 $'now working... 100.00 %\rnow working... b.m2v end\r\n' win "$exe" b.m2v
for name in "${sorted[@]}"; do
  out=${name%.*}_30i.${name##*.}
  cmp -s "$TMPDIR/native/$out" "$TMPDIR/win/$out" || fail "$out differs from the native build's"
done

# No match, a directory, an output that is the input (a hard link), a quoted
# pattern (a batch file hands cmd's command line over byte for byte).
expect "*.x" 1 $'can\'t open *.x\r\nnow working... *.x failed\r\n' win "$exe" '*.x'
expect "a directory" 1 $'can\'t open sub\r\nnow working... sub failed\r\n' win "$exe" sub
ln "$TMPDIR/win/A.m2v" "$TMPDIR/win/A_30i.m2v" -f
expect "output is the input" 1 $'can\'t write the output onto its own input A.m2v\r\nnow working... A.m2v failed\r\n' \
  win "$exe" A.m2v
cp "$exe" "$TMPDIR/win/rf.exe"
printf '@rf.exe "*.m2v"\r\n' >"$TMPDIR/win/quoted.bat"
expect '"*.m2v" from cmd' 1 $'can\'t open *.m2v\r\nnow working... *.m2v failed\r\n' win cmd /c quoted.bat

# A refused stream: the native build's lines in CR LF; an earlier output
# stays byte for byte, none appears where there was none.
cp "$source/samples/pal_25.m2v" "$TMPDIR/win/"
head -c 3000 /dev/urandom >"$TMPDIR/earlier"
cp "$TMPDIR/earlier" "$TMPDIR/win/pal_25_30i.m2v"
printf 'hello\n' >"$TMPDIR/win/text.m2v"
for name in pal_25.m2v text.m2v; do
  cp "$TMPDIR/win/$name" "$TMPDIR/native/$name"
  (cd "$TMPDIR/native" && "$native" "$name" 2>../native.err)
  expect "refused $name" 1 "$(crlf <"$TMPDIR/native.err")"$'\n' win "$exe" "$name"
done
cmp -s "$TMPDIR/earlier" "$TMPDIR/win/pal_25_30i.m2v" || fail "the earlier output of a refused stream changed"
[ ! -e "$TMPDIR/win/text_30i.m2v" ] || fail "an output for a refused stream"

# Names the ANSI code page lacks. Typed, 日本.m2v is that file alone, not a
# pattern ?? that also matches ab.m2v. Matching *.m2v they sort by their
# ANSI bytes (?? before letters), then their own: 中国 (three reads) first.
names=(中国.m2v 日本.m2v ab.m2v é.m2v)
put "${names[@]/#/names/}"
(cd "$TMPDIR/native/names" && "$native" "${names[@]}" 2>../names.err)
dir=names expect "日本.m2v typed" 0 $'now working... 100.00 %\rnow working... ??.m2v end\r\n' win "$exe" 日本.m2v
cmp -s "$TMPDIR/native/names/日本_30i.m2v" "$TMPDIR/win/names/日本_30i.m2v" || fail "日本_30i.m2v differs"
[ ! -e "$TMPDIR/win/names/ab_30i.m2v" ] || fail "日本.m2v was taken for a pattern"
rm -f "$TMPDIR/win/names/"*_30i.m2v
dir=names expect "*.m2v over names in any script" 0 \
  "$(perl -pe 's/中国|日本/??/g; s/é/\xE9/g' <"$TMPDIR/native/names.err" | crlf)"$'\n' win "$exe" '*.m2v'
for name in "${names[@]}"; do
  out=${name%.*}_30i.m2v
  cmp -s "$TMPDIR/native/names/$out" "$TMPDIR/win/names/$out" || fail "names/$out differs from the native build's"
done

left=$(find "$TMPDIR/win" -name '.*')
[ -z "$left" ] || fail "temporary files left: $left"
finish
