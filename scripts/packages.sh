#!/usr/bin/env bash
# The packages of scripts/packages.txt, by group:
#   scripts/packages.sh list GROUP...      their names, one a line
#   scripts/packages.sh missing GROUP...   those not installed, one a line
#   scripts/packages.sh install GROUP...   installs the missing ones with apt-get
#                                          (through sudo when not root)
# A package is installed when dpkg says so; on a system without dpkg, when its
# "present when" probe in the list passes. A name with {clang} in it gets the
# major version of the clang installed (clang --version), else of the clang
# apt would install; install puts the other packages in first (clang among
# them), then these. Without apt-get, or without root and sudo, install names
# what is missing and fails.
set -euo pipefail
list_file=$(dirname "$0")/packages.txt

fail() { echo "packages: $*" >&2; exit 1; }

# The major version of the clang installed, else of the one apt-get would
# install (the clang package depends on clang-NN); nothing when neither is
# known.
clang_major() {
  if command -v clang >/dev/null; then
    clang --version 2>/dev/null | sed -n '1s/.*clang version \([0-9][0-9]*\).*/\1/p'
  elif command -v apt-cache >/dev/null; then
    apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1
  fi
}

# Prints "package probe" for every package of the groups, in list order, the
# {clang} of a name replaced by clang's major version where that is known.
# With plain_only set, packages whose name has {clang} in it are left out.
plain_only=
entries() {  # GROUP...
  local groups name probe _ clang=
  while read -r groups name probe _; do
    case $groups in '' | '#'*) continue ;; esac
    for group in "$@"; do
      case ",$groups," in *",$group,"*) ;; *) continue ;; esac
      if [[ $name == *'{clang}'* ]]; then
        [ -z "$plain_only" ] || break
        [ -n "$clang" ] || clang=$(clang_major)
        [ -z "$clang" ] || name=${name//'{clang}'/$clang}
      fi
      echo "$name $probe"
      break
    done
  done <"$list_file"
}

# Every group named is in the list, and every line of the list has a probe
# of a known kind.
check_groups() {  # GROUP...
  [ $# -gt 0 ] || fail "name at least one group"
  local bad group
  bad=$(awk '!/^#/ && NF && $3 !~ /^(command:|file:|clang-links:)./' "$list_file")
  [ -z "$bad" ] || fail "no \"present when\" probe of a known kind in $list_file: $bad"
  for group in "$@"; do
    awk -v g="$group" '!/^#/ && NF { n = split($1, gs, ","); for (i = 1; i <= n; i++) if (gs[i] == g) found = 1 }
      END { exit !found }' "$list_file" || fail "no group \"$group\" in $list_file"
  done
}

installed() {  # PACKAGE PROBE
  if command -v dpkg-query >/dev/null; then
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
    return
  fi
  case $2 in
    command:*) command -v "${2#command:}" >/dev/null ;;
    file:*) [ -e "${2#file:}" ] ;;
    clang-links:*)
      command -v clang++ >/dev/null &&
        echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, __SIZE_TYPE__) { return 0; }' |
        clang++ "${2#clang-links:}" -x c++ - -o /dev/null >/dev/null 2>&1 ;;
    *) return 1 ;;
  esac
}

missing() {  # GROUP...
  local name probe
  entries "$@" | while read -r name probe; do
    installed "$name" "$probe" || echo "$name"
  done
}

install() {  # GROUP...
  local need
  mapfile -t need < <(missing "$@")
  [ ${#need[@]} -gt 0 ] || return 0
  echo "packages: missing for $*: ${need[*]}" >&2
  if ! command -v apt-get >/dev/null; then
    fail "this system has no apt-get to install them. Install them (these are their Debian
and Ubuntu names; scripts/packages.txt says what each is for) and run this again."
  fi
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null ||
      fail "not root and no sudo: as root, run  apt-get update && apt-get install ${need[*]}"
    sudo=(sudo)
  fi
  local apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
  # A package of another architecture (wine32:i386) needs that architecture
  # enabled first.
  local name arch
  for name in "${need[@]}"; do
    arch=${name#*:}
    [ "$arch" != "$name" ] || continue
    if [ "$arch" != "$(dpkg --print-architecture)" ] &&
      ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      "${sudo[@]}" dpkg --add-architecture "$arch"
    fi
  done
  # A fresh system has no package lists yet, and old ones may name versions
  # that are gone.
  "${apt[@]}" update -qq
  # The packages named after clang's version come second, once clang is in.
  local pass
  for pass in plain all; do
    if [ $pass = plain ]; then
      mapfile -t need < <(plain_only=1 missing "$@")
    else
      mapfile -t need < <(missing "$@")
    fi
    [ ${#need[@]} -gt 0 ] || continue
    local unknown=()
    for name in "${need[@]}"; do
      [[ $name != *'{clang}'* ]] ||
        fail "cannot tell which clang $name is for: clang is not installed and apt-get has no candidate for it"
      apt-cache show "$name" >/dev/null 2>&1 || unknown+=("$name")
    done
    if [ ${#unknown[@]} -gt 0 ]; then
      fail "apt-get has no package ${unknown[*]}. On Ubuntu, packages such as ffmpeg
are in the universe component: enable it (add-apt-repository universe) and run this again."
    fi
    "${apt[@]}" install -y -qq --no-install-recommends "${need[@]}"
  done
  mapfile -t need < <(missing "$@")
  [ ${#need[@]} -eq 0 ] || fail "still missing after apt-get install: ${need[*]}"
}

command=${1:-}
shift || true
case $command in
  list) check_groups "$@"; entries "$@" | cut -d' ' -f1 ;;
  missing) check_groups "$@"; missing "$@" ;;
  install) check_groups "$@"; install "$@" ;;
  *) fail "usage: scripts/packages.sh list|missing|install GROUP..." ;;
esac
