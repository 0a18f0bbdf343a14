#!/usr/bin/env bash
# scripts/packages.sh without dpkg, so that each package's "present when"
# probe decides, and the name of clang's runtime package, which follows the
# clang installed (else apt's candidate): PATH holds links to the commands it
# needs, no dpkg, and shims of clang, clang++, apt-cache and apt-get.
#   packages_test.sh
set -u
here=$(cd "$(dirname "$0")" && pwd)
packages=$here/../scripts/packages.sh
. "$here/lib.sh"
TMPDIR=$(mktemp -d)
trap 'rm -rf "$TMPDIR"' EXIT
nl=$'\n'

# Links to the commands the script and the list's probes run; no dpkg.
list=$here/../scripts/packages.txt
mkdir "$TMPDIR/commands"
for tool in bash env dirname awk grep sed cut head id cat touch chmod ld \
  $(sed -n 's/^[^#][^ ]* *[^ ]* *command:\([^ ]*\).*/\1/p' "$list"); do
  ! command -v "$tool" >/dev/null || ln -sf "$(command -v "$tool")" "$TMPDIR/commands/"
done
mapfile -t groups < <(awk '!/^#/ && NF { n = split($1, g, ","); for (i = 1; i <= n; i++) print g[i] }' "$list" |
  sort -u)

# What dpkg has installed passes its probe (with the real clang and apt-cache).
if command -v dpkg-query >/dev/null; then
  for tool in apt-cache clang clang++; do
    ! command -v "$tool" >/dev/null || ln -sf "$(command -v "$tool")" "$TMPDIR/commands/"
  done
  want=$("$packages" missing "${groups[@]}") || fail "missing ${groups[*]} with dpkg failed"
  got=$(PATH=$TMPDIR/commands "$packages" missing "${groups[@]}") || fail "missing without dpkg failed"
  for name in $got; do
    grep -qxF "$name" <<<"$want" || fail "without dpkg $name is missing; dpkg has it installed"
  done
else
  echo "no dpkg-query here: the probes are not compared with dpkg"
fi
rm -f "$TMPDIR"/commands/{apt-cache,clang,clang++}

export SHIMS=$TMPDIR/shims STATE=$TMPDIR/installed
shim() { printf '#!/bin/sh\n%s\n' "$2" >"$SHIMS/$1" && chmod +x "$SHIMS/$1"; }  # NAME SCRIPT
run() { PATH=$SHIMS:$TMPDIR/commands "$packages" "$@" 2>&1; }

# clang --version's first line and apt's candidate for clang (apt-cache
# depends) against the runtime package's name; "-" for a command not there.
while IFS='|' read -r version candidate want; do
  rm -rf "$SHIMS"
  mkdir "$SHIMS"
  [ "$version" = - ] || shim clang "echo '$version'; echo 'Target: x86_64-pc-linux-gnu'"
  [ "$candidate" = - ] ||
    shim apt-cache "[ \"\$*\" = 'depends clang' ] || exit 100; printf 'clang\n  Depends: $candidate\n  Breaks: <clang-3.2>\n'"
  got=$(run list fuzz)
  [ "$got" = "clang$nl$want" ] || fail "clang '$version', candidate '$candidate': list fuzz gave '$got', want $want"
done <<'EOF'
Ubuntu clang version 18.1.3 (1ubuntu1)|-|libclang-rt-18-dev
Debian clang version 14.0.6|clang-14|libclang-rt-14-dev
clang version 19.1.7 (https://github.com/llvm/llvm-project)|clang-16|libclang-rt-19-dev
-|clang-18|libclang-rt-18-dev
-|-|libclang-rt-{clang}-dev
EOF

# The runtime's probe is a link with clang++: its status decides.
for status in 0 1; do
  shim clang "echo 'Ubuntu clang version 18.1.3 (1ubuntu1)'"
  shim clang++ "cat >/dev/null; exit $status"
  want=$([ $status = 0 ] || echo libclang-rt-18-dev)
  got=$(run missing fuzz)
  [ "$got" = "$want" ] || fail "clang++ exits $status: missing fuzz gave '$got', want '$want'"
done

# install with clang missing: apt-get (a shim that records its commands)
# puts clang 17 in first, then its runtime, though apt's candidate is 16.
rm -rf "$SHIMS"
mkdir "$SHIMS" "$STATE"
shim sudo 'exec "$@"'
shim apt-cache "case \$* in 'depends clang') echo '  Depends: clang-16' ;; 'show '*) ;; *) exit 100 ;; esac"
shim apt-get '
words=
while [ $# -gt 0 ]; do
  case $1 in -o) shift ;; -*) ;; *) words="$words $1" ;; esac
  shift
done
echo "$words" >>"$STATE/log"
set -- $words
[ "$1" = install ] || exit 0
shift
for name; do
  touch "$STATE/$name"
  [ "$name" = clang ] || continue
  printf "#!/bin/sh\necho \"Debian clang version 17.0.6\"\n" >"$SHIMS/clang"
  printf "#!/bin/sh\ncat >/dev/null; [ -e \"\$STATE/libclang-rt-17-dev\" ]\n" >"$SHIMS/clang++"
  chmod +x "$SHIMS/clang" "$SHIMS/clang++"
done'
out=$(run install fuzz) || fail "install fuzz failed: $out"
want=" update$nl install clang$nl install libclang-rt-17-dev"
[ "$(cat "$STATE/log")" = "$want" ] || fail "install fuzz ran apt-get as:$nl$(cat "$STATE/log")${nl}want:$nl$want"
finish
