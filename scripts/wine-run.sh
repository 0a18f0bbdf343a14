#!/usr/bin/env bash
# Runs a Windows program under wine, the 32-bit or the 64-bit one:
#   scripts/wine-run.sh win32|win64 program.exe [arguments...]
# Each architecture has its own wine prefix, $RATEFOLD_WINE_DIR/win32 or
# /win64 (default: a folder under ${TMPDIR:-/tmp}), made on first use.
set -euo pipefail
arch=${1:?usage: wine-run.sh win32|win64 program.exe [arguments...]}
shift
case $arch in
  win32) loader=/usr/lib/wine/wine ;;
  win64) loader=/usr/lib/wine/wine64 ;;
  *) echo "wine-run.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
if [ ! -x "$loader" ]; then
  echo "wine-run.sh: $loader is missing (packages wine, wine32, wine64)" >&2
  exit 2
fi
base=${RATEFOLD_WINE_DIR:-${TMPDIR:-/tmp}/ratefold-wine-$(id -u)}
export WINEPREFIX=$base/$arch WINEARCH=$arch WINEDEBUG=${WINEDEBUG:--all}
# No desktop integration, no Gecko or Mono installers: a bare console.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winemenubuilder.exe,mscoree,mshtml=}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$base"
  # Tests run in parallel: one of them makes the prefix, the others wait.
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      # The loader itself, not Debian's wineboot wrapper, which starts the
      # 32-bit loader whenever wine32 is installed (and a kernel without
      # 32-bit support cannot run it).
      WINELOADER=$loader "$loader" wineboot --init >/dev/null 2>&1
      wineserver --wait
    fi
  ) 9>"$base/$arch.lock"
fi
exec "$loader" "$@"
