#!/usr/bin/env bash
# End to end under wine: the Windows build expands its wildcard arguments
# itself, converts in the sorted order, and writes the same bytes as the
# native build.
#   tests/wine_e2e.sh win32|win64 <ratefold.exe> <native ratefold> <source dir>
# The wine prefix comes from scripts/wine-run.sh ($RATEFOLD_WINE_DIR).
#
# Standard error of the Windows build is in the C runtime's text mode, as in
# every console program there: each line feed the program prints goes out as
# CR LF, while the progress line's bare CR stays as it is. The expected texts
# below are therefore the native ones with LF turned into CR LF.
set -uo pipefail

if [ $# -ne 4 ]; then
  echo "usage: $0 win32|win64 <ratefold.exe> <native ratefold> <source dir>" >&2
  exit 2
fi
arch=$1
exe=$(realpath "$2")
native=$(realpath "$3")
source=$(realpath "$4")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
checks=0
check() {  # check NAME COMMAND...
  checks=$((checks + 1))
  "${@:2}" || { echo "wine e2e ($arch): FAIL: $1" >&2; failures=$((failures + 1)); }
}
same_bytes() {  # same_bytes NAME EXPECTED_FILE ACTUAL_FILE
  check "$1 differs: $(od -c "$3" | head -4)" cmp -s "$2" "$3"
}
# run_win ARGS...: ratefold.exe in the Windows folder; leaves its status in
# $status and its standard error in $work/win.err.
run_win() {
  (cd "$work/win" && "$source/scripts/wine-run.sh" "$arch" "$@" 2>"$work/win.err" >/dev/null)
  status=$?
}

# --- the input streams ------------------------------------------------------------
# Names in the order the directory happens to list them, and the order the
# program must sort them into: bytes compared after A..Z are mapped to a..z
# and nothing else, so digits come first, then '_', then letters; 10 before 9.
# The search itself ignores case: C.M2V matches *.m2v. "long" is one sample
# three times over, so that it takes several reads.
samples=$source/samples
declare -A stream_of=(
  [b.m2v]=film_23976 [A.m2v]=film_24 [C.M2V]=film_24 [_z.m2v]=film_23976 [9.m2v]=film_24
  [10.m2v]=long ["my clip.m2v"]=film_23976 [sub/b.m2v]=film_24 [sub/a.m2v]=film_23976)
sorted=(10.m2v 9.m2v _z.m2v A.m2v b.m2v C.M2V "my clip.m2v" sub/a.m2v sub/b.m2v)
cat "$samples/film_24.m2v" "$samples/film_24.m2v" "$samples/film_24.m2v" >"$work/long.m2v"
cp "$samples/film_24.m2v" "$samples/film_23976.m2v" "$work/"
for side in win native; do
  mkdir -p "$work/$side/sub"
  for name in "${!stream_of[@]}"; do
    cp "$work/${stream_of[$name]}.m2v" "$work/$side/$name"
  done
done

# --- two patterns: each expanded and sorted by the program, in its place ----------
run_win "$exe" '*.m2v' 'sub\*.m2v'
check "*.m2v sub\\*.m2v: exit status $status" [ "$status" -eq 0 ]
(cd "$work/native" && "$native" "${sorted[@]}" 2>"$work/native.err" >/dev/null)
perl -pe 's/\n/\r\n/g; s|sub/|sub\\|g' <"$work/native.err" >"$work/expected.err"
order=$(tr '\r' '\n' <"$work/win.err" | sed -n 's/^now working\.\.\. \(.*\) end$/\1/p' |
  paste -sd ' ')
check "conversion order: $order" [ "$order" = "$(echo "${sorted[*]}" | tr / '\\')" ]
same_bytes "standard error of *.m2v sub\\*.m2v" "$work/expected.err" "$work/win.err"
for name in "${sorted[@]}"; do
  out=${name%.*}_30i.${name##*.}
  same_bytes "$out against the native build's" "$work/native/$out" "$work/win/$out"
done

# --- a pattern that matches nothing ---------------------------------------------------
run_win "$exe" '*.x'
check "*.x: exit status $status" [ "$status" -eq 1 ]
printf "can't open *.x\r\n" >"$work/expected.err"
same_bytes "standard error of *.x" "$work/expected.err" "$work/win.err"

# --- a quoted pattern is not expanded ------------------------------------------------
# A batch file hands cmd's command line over byte for byte: the argument's
# first raw byte is a double quote.
rm "$work"/win/*_30i.*
cp "$exe" "$work/win/rf.exe"
printf 'rf.exe "*.m2v"\r\n' >"$work/win/quoted.bat"
run_win cmd /c quoted.bat
check "\"*.m2v\" from cmd: exit status $status" [ "$status" -eq 1 ]
printf "can't open *.m2v\r\n" >"$work/expected.err"
same_bytes 'standard error of "*.m2v" from cmd' "$work/expected.err" "$work/win.err"

if [ "$failures" -ne 0 ]; then
  echo "wine e2e ($arch): $failures of $checks checks failed" >&2
  exit 1
fi
echo "wine e2e ($arch): all $checks checks passed"
