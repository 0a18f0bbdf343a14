#!/usr/bin/env bash
# Builds the Debian package, installs it, and checks the installed program:
# it converts a sample to the very bytes that REFERENCE_BINARY writes, it
# refuses an empty argument list with the usage text, and its man page
# renders without a warning. Then the package is removed again (also when a
# check fails). Installs and removes through sudo when not root, and stops
# at once where there is neither; installs the package group of
# scripts/packages.txt (dpkg-dev, groff-base, man-db) when it is missing.
#   scripts/package_check.sh [BUILD_DIR] [REFERENCE_BINARY]
# defaults: build-pkg, and the ratefold built in BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=${1:-build-pkg}
sample=samples/film_23976.m2v
fail() { echo "package check: $*" >&2; exit 1; }
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null ||
    fail "installing and removing the package needs root: run this as root, or where sudo is installed"
  sudo=(sudo)
fi
apt_get() { "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -qq "$@"; }

scripts/packages.sh install build package
cmake -S . -B "$dir" -G "$(scripts/generator.sh "$dir")" -DCMAKE_BUILD_TYPE=Release -DRATEFOLD_TESTS=OFF -DRATEFOLD_SANITIZE=OFF \
  -DRATEFOLD_WERROR=ON >/dev/null
cmake --build "$dir"
reference=$(realpath "${2:-$dir/ratefold}")
rm -f "$dir"/ratefold_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
debs=("$dir"/ratefold_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single ratefold_*.deb"
deb=$(realpath "${debs[0]}")
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\|Installed-Size\):/  &/p'

work=$(mktemp -d)
cleanup() {
  if dpkg-query -W -f='${Status}' ratefold 2>/dev/null | grep -q 'install ok installed'; then
    apt_get remove ratefold >/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
grep -qx ./usr/bin/ratefold <<<"$contents" || fail "the package has no /usr/bin/ratefold"
grep -qx ./usr/share/man/man1/ratefold.1.gz <<<"$contents" ||
  fail "the package has no /usr/share/man/man1/ratefold.1.gz"
apt_get install "$deb" >/dev/null
[ -x /usr/bin/ratefold ] || fail "installing the package gave no /usr/bin/ratefold"

# The installed program against the reference on the same sample.
mkdir "$work/installed" "$work/reference"
cp "$sample" "$work/installed/"
cp "$sample" "$work/reference/"
name=$(basename "$sample" .m2v)
(cd "$work/installed" && /usr/bin/ratefold "$name.m2v" 2>stderr) ||
  fail "the installed ratefold failed on $sample"
grep -q "now working... $name.m2v end" "$work/installed/stderr" ||
  fail "the installed ratefold printed no completion line"
(cd "$work/reference" && "$reference" "$name.m2v" 2>/dev/null) || fail "$reference failed on $sample"
cmp "$work/installed/${name}_30i.m2v" "$work/reference/${name}_30i.m2v" ||
  fail "the installed ratefold wrote other bytes than $reference"
! cmp -s "$sample" "$work/installed/${name}_30i.m2v" || fail "the output is the unchanged input"
status=0
/usr/bin/ratefold 2>"$work/usage" || status=$?
[ "$status" -eq 1 ] && grep -q '^USAGE: ratefold 24fps_mpeg2_video_stream\[s\] $' "$work/usage" ||
  fail "the installed ratefold without arguments: status $status, not the usage text"
echo "  /usr/bin/ratefold converts $sample to the same bytes as $reference"

# The man page: the installed file, or the package's own copy where dpkg is
# told to leave out /usr/share/man (as in some container images).
page=/usr/share/man/man1/ratefold.1.gz
if [ ! -f "$page" ]; then
  dpkg-deb -x "$deb" "$work/unpacked"
  page=$work/unpacked$page
fi
zcat "$page" | groff -man -ww -z 2>"$work/groff" || fail "groff failed on the man page"
[ ! -s "$work/groff" ] || { cat "$work/groff" >&2; fail "groff warns about the man page"; }
MANWIDTH=80 man -l "$page" >"$work/man" 2>"$work/man-warnings" || fail "man -l failed"
[ ! -s "$work/man-warnings" ] || { cat "$work/man-warnings" >&2; fail "man -l warns"; }
grep -q 'EXIT STATUS' "$work/man" || fail "the rendered man page has no EXIT STATUS section"
echo "  man page renders without warnings ($(wc -l <"$work/man") lines)"

apt_get remove ratefold >/dev/null
[ ! -e /usr/bin/ratefold ] || fail "/usr/bin/ratefold is still there after removal"
echo "  package installed, checked and removed: $(basename "$deb")"
