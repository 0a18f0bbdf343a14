#!/usr/bin/env bash
# End to end under wine: the Windows build expands and sorts its wildcard
# arguments itself, converts in that order and writes the same bytes as the
# native build. Its standard error is in text mode, as in every console
# program there: each line ends in CR LF, the progress line in a bare CR.
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
win() { (cd "$TMPDIR/win" && "$source/scripts/wine-run.sh" "$arch" "$@"); }

# The sorted order: bytes compared after A..Z are mapped to a..z and nothing
# else, so digits, then '_', then letters; 10 before 9. The search itself
# ignores case (C.M2V matches *.m2v). 10.m2v takes several reads.
sorted=(10.m2v 9.m2v _z.m2v A.m2v b.m2v C.M2V "my clip.m2v" sub/a.m2v sub/b.m2v)
cat "$source/samples/film_24.m2v"{,,} >"$TMPDIR/long"
for side in win native; do
  mkdir -p "$TMPDIR/$side/sub"
  for i in "${!sorted[@]}"; do
    sample=$source/samples/$([ $((i % 2)) -eq 0 ] && echo film_24 || echo film_23976).m2v
    cp "$([ "$i" -eq 0 ] && echo "$TMPDIR/long" || echo "$sample")" "$TMPDIR/$side/${sorted[$i]}"
  done
done
(cd "$TMPDIR/native" && "$native" "${sorted[@]}" 2>../native.err)
expect "*.m2v sub\\*.m2v" 0 "$(perl -pe 's/\n/\r\n/g; s|sub/|sub\\|g' <"$TMPDIR/native.err")"$'\n' \
  win "$exe" '*.m2v' 'sub\*.m2v'
head -c 5000000 /dev/zero >"$TMPDIR/win/b_30i.m2v"  # a longer stale output is replaced
expect "b.m2v" 0 $'now working... 100.00 %\rnow working... b.m2v end\r\n' win "$exe" b.m2v
for name in "${sorted[@]}"; do
  out=${name%.*}_30i.${name##*.}
  cmp -s "$TMPDIR/native/$out" "$TMPDIR/win/$out" || fail "$out differs from the native build's"
done

# No match, a directory, an output that is the input itself (a hard link),
# and a quoted pattern: a batch file hands cmd's command line over byte for
# byte, so the argument's first raw byte is a double quote.
expect "*.x" 1 $'can\'t open *.x\r\n' win "$exe" '*.x'
expect "a directory" 1 $'can\'t open sub\r\n' win "$exe" sub
ln "$TMPDIR/win/A.m2v" "$TMPDIR/win/A_30i.m2v" -f
expect "output is the input" 1 $'can\'t open output file\r\n' win "$exe" A.m2v
cp "$exe" "$TMPDIR/win/rf.exe"
printf '@rf.exe "*.m2v"\r\n' >"$TMPDIR/win/quoted.bat"
expect '"*.m2v" from cmd' 1 $'can\'t open *.m2v\r\n' win cmd /c quoted.bat
finish
