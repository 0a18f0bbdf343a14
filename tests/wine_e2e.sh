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
wine_run=$source/scripts/wine-run.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
checks=0
fail() {
  echo "wine e2e ($arch): FAIL: $*" >&2
  failures=$((failures + 1))
}
check() {  # check NAME COMMAND...
  local name=$1
  shift
  checks=$((checks + 1))
  "$@" || fail "$name"
}
crlf() { perl -pe 's/\n/\r\n/g'; }
same_bytes() {  # same_bytes NAME EXPECTED_FILE ACTUAL_FILE
  checks=$((checks + 1))
  if ! cmp -s "$2" "$3"; then
    fail "$1 differs"
    echo "  expected: $(od -c "$2" | head -4)" >&2
    echo "  actual:   $(od -c "$3" | head -4)" >&2
  fi
}
status_is() {  # status_is NAME EXPECTED ACTUAL
  checks=$((checks + 1))
  [ "$2" -eq "$3" ] || fail "$1: exit status $3, expected $2"
}

# --- the input streams ----------------------------------------------------------
# The 24 and 23.976 fps sample streams; one of them three times over, so that
# it takes several reads. Without the samples, a tiny stream made here: a
# sequence header (24 fps, frame_rate_code 2), a GOP header, one picture
# header with its picture coding extension (a frame picture), one slice.
mkdir "$work/streams"
tiny='000001b3 2d01e022 030d4820 000001b8 00080040 00000100 000fff f8
  000001b5 8fff f380 80 00000101 1122334455 000001b7'
printf "$(printf '%s' "$tiny" | tr -d ' \n' | sed 's/../\\x&/g')" >"$work/streams/tiny"
if [ -f "$source/samples/film_24.m2v" ] && [ -f "$source/samples/film_23976.m2v" ]; then
  cp "$source/samples/film_24.m2v" "$work/streams/a"
  cp "$source/samples/film_23976.m2v" "$work/streams/b"
  cat "$work/streams/a" "$work/streams/a" "$work/streams/a" >"$work/streams/long"
else
  echo "wine e2e ($arch): no sample streams, using a tiny stream only" >&2
  for s in a b long; do cp "$work/streams/tiny" "$work/streams/$s"; done
fi

# Names in the order the directory happens to list them, and the order the
# program must sort them into: bytes compared after A..Z are mapped to
# a..z and nothing else, so digits come first, then '_', then letters; 10
# before 9. The search itself ignores case: C.M2V matches *.m2v.
declare -A stream_of=(
  [b.m2v]=b [A.m2v]=a [C.M2V]=tiny [_z.m2v]=b [9.m2v]=tiny [10.m2v]=long
  ["my clip.m2v"]=tiny)
sorted=(10.m2v 9.m2v _z.m2v A.m2v b.m2v C.M2V "my clip.m2v")

# Two folders with the same inputs: one for the Windows build, one for the
# native build.
for side in win native; do
  mkdir -p "$work/$side/sub"
  for name in "${!stream_of[@]}"; do
    cp "$work/streams/${stream_of[$name]}" "$work/$side/$name"
  done
  cp "$work/streams/a" "$work/$side/sub/b.m2v"
  cp "$work/streams/tiny" "$work/$side/sub/a.m2v"
done

# run_win NAME ARGS...: runs ratefold.exe in the Windows folder; leaves
# status, standard error and standard output in $work/win.*
run_win() {
  (cd "$work/win" && "$wine_run" "$arch" "$exe" "$@" >"$work/win.out" 2>"$work/win.err")
  win_status=$?
}

# --- *.m2v: expanded and sorted by the program ---------------------------------
run_win '*.m2v'
status_is "*.m2v" 0 "$win_status"
(cd "$work/native" && "$native" "${sorted[@]}" >"$work/native.out" 2>"$work/native.err")
status_is "native run" 0 $?
order=$(tr '\r' '\n' <"$work/win.err" | sed -n 's/^now working\.\.\. \(.*\) end$/\1/p' | paste -sd ' ')
check "conversion order: $order, expected ${sorted[*]}" [ "$order" = "${sorted[*]}" ]
crlf <"$work/native.err" >"$work/expected.err"
same_bytes "standard error of *.m2v" "$work/expected.err" "$work/win.err"
check "*.m2v: nothing on standard output" [ ! -s "$work/win.out" ]
for name in "${sorted[@]}"; do
  out=${name%.*}_30i.${name##*.}
  same_bytes "$out against the native build's" "$work/native/$out" "$work/win/$out"
done

# --- a directory part ------------------------------------------------------------
run_win 'sub\*.m2v'
status_is 'sub\*.m2v' 0 "$win_status"
order=$(tr '\r' '\n' <"$work/win.err" | sed -n 's/^now working\.\.\. \(.*\) end$/\1/p' | paste -sd ' ')
check "sub\\*.m2v order: $order" [ "$order" = 'sub\a.m2v sub\b.m2v' ]
(cd "$work/native" && "$native" sub/a.m2v sub/b.m2v >/dev/null 2>&1)
for name in a b; do
  same_bytes "sub/${name}_30i.m2v" "$work/native/sub/${name}_30i.m2v" "$work/win/sub/${name}_30i.m2v"
done

# --- a pattern that matches nothing ----------------------------------------------
run_win '*.x'
status_is "*.x" 1 "$win_status"
printf "can't open *.x\r\n" >"$work/expected.err"
same_bytes "standard error of *.x" "$work/expected.err" "$work/win.err"

# --- quoted arguments are not expanded -------------------------------------------
# Wine quotes an argument that holds a space when it builds the command line.
run_win 'my *.m2v'
status_is '"my *.m2v"' 1 "$win_status"
printf "can't open my *.m2v\r\n" >"$work/expected.err"
same_bytes 'standard error of "my *.m2v"' "$work/expected.err" "$work/win.err"

# A batch file hands cmd's command line over byte for byte: the first
# argument's first raw byte is a double quote, the second's is not.
cp "$exe" "$work/win/rf.exe"
printf 'rf.exe "*.m2v" 9*.m2v\r\n' >"$work/win/quoted.bat"
find "$work/win" -name '*_30i*' -delete
(cd "$work/win" && "$wine_run" "$arch" cmd /c quoted.bat >"$work/win.out" 2>"$work/win.err")
status_is '"*.m2v" 9*.m2v from cmd' 1 $?
printf "can't open *.m2v\r\n" >"$work/expected.err"
same_bytes 'standard error of "*.m2v" from cmd' "$work/expected.err" "$work/win.err"
check '"*.m2v": no file converted' [ -z "$(find "$work/win" -name '*_30i*')" ]

printf 'rf.exe 9*.m2v "*.m2v"\r\n' >"$work/win/quoted.bat"
(cd "$work/win" && "$wine_run" "$arch" cmd /c quoted.bat >"$work/win.out" 2>"$work/win.err")
status_is '9*.m2v "*.m2v" from cmd' 1 $?
check '9*.m2v expanded before "*.m2v" stops the run' [ -f "$work/win/9_30i.m2v" ]
check '9*.m2v "*.m2v": the quoted pattern is reported' \
  grep -q "can't open \*\.m2v"$'\r'"\$" "$work/win.err"

if [ "$failures" -ne 0 ]; then
  echo "wine e2e ($arch): $failures of $checks checks failed" >&2
  exit 1
fi
echo "wine e2e ($arch): all $checks checks passed"
