#!/usr/bin/env bash
# The Windows build, checked under wine: installs mingw-w64 and wine (32- and
# 64-bit), cross-builds ratefold.exe for i686 and x86_64 with warnings as
# errors, checks that it needs no MinGW DLL, runs each build's unit tests under
# its wine, then the end-to-end check against the native build's outputs.
#   scripts/windows_check.sh <native ratefold> [build folder prefix]
# Build folders: <prefix>-win32 and <prefix>-win64 (default prefix build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
native=$(realpath "${1:?usage: windows_check.sh <native ratefold> [build folder prefix]}")
prefix=${2:-build}
started=$SECONDS

step() { printf '\n=== %s\n' "$*"; }

# --- packages ------------------------------------------------------------------
# The windows group of scripts/packages.txt; wine32 is an i386 package, and
# scripts/packages.sh enables that architecture for it.
scripts/packages.sh install build windows

# --- wine prefixes ---------------------------------------------------------------
# One per architecture in a temporary folder (scripts/wine-run.sh makes each
# with wineboot on first use); their wineservers end with the check.
export RATEFOLD_WINE_DIR
RATEFOLD_WINE_DIR=$(mktemp -d)
export WINEDEBUG=-all
# wineserver keeps its socket folder under TMPDIR: in here, it goes with it.
mkdir "$RATEFOLD_WINE_DIR/tmp"
export TMPDIR=$RATEFOLD_WINE_DIR/tmp
cleanup() {
  for arch in win32 win64; do
    if [ -d "$RATEFOLD_WINE_DIR/$arch" ]; then
      WINEPREFIX=$RATEFOLD_WINE_DIR/$arch wineserver -k 2>/dev/null || true
      WINEPREFIX=$RATEFOLD_WINE_DIR/$arch wineserver -w 2>/dev/null || true
    fi
  done
  # A wine process may still be writing into a prefix as it ends.
  rm -rf "$RATEFOLD_WINE_DIR" 2>/dev/null || { sleep 2; rm -rf "$RATEFOLD_WINE_DIR"; }
}
trap cleanup EXIT

# A 64-bit kernel can be without 32-bit support (ia32_emulation=0, some
# virtual machines): there the 32-bit build is still made and checked for its
# DLLs, but not run.
run32=yes
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  run32=no
  echo "note: this machine cannot run 32-bit programs; win32 is built, not run" >&2
fi

for target in i686:win32 x86_64:win64; do
  cpu=${target%%:*}
  arch=${target##*:}
  dir=$prefix-$arch
  runs=yes
  [ "$arch" = win64 ] || runs=$run32

  if [ "$runs" = yes ]; then
    step "$arch: wine prefix"
    scripts/wine-run.sh "$arch" cmd /c exit 0
  fi

  step "$arch: cross-build with mingw-w64 (-Wall -Wextra -Werror, static)"
  cmake -S . -B "$dir" -G "$(scripts/generator.sh "$dir")" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$cpu.cmake" \
    -DRATEFOLD_WERROR=ON -DCMAKE_BUILD_TYPE=Release
  cmake --build "$dir" -j "$(nproc)"

  step "$arch: ratefold.exe needs only Windows' own DLLs"
  dlls=$("$cpu-w64-mingw32-objdump" -p "$dir/ratefold.exe" | sed -n 's/^\s*DLL Name: //p' | sort -u)
  echo "$dlls"
  if echo "$dlls" | grep -Eiv '^(kernel32|msvcrt|user32|advapi32)\.dll$'; then
    echo "ratefold.exe links a DLL that a bare Windows lacks" >&2
    exit 1
  fi

  [ "$runs" = yes ] || continue
  step "$arch: unit tests under wine"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error

  step "$arch: end to end under wine"
  tests/wine_e2e.sh "$arch" "$dir/ratefold.exe" "$native" "$root"
done

step "Windows check took $((SECONDS - started)) s"
