#!/usr/bin/env bash
# Prints the cmake generator for a build folder, so that every script (and a
# plain "cmake -S . -B build" before them) can configure the same folder:
# the one the folder was configured with, else Ninja if it is installed, else
# Unix Makefiles.
#   scripts/generator.sh BUILD_DIR
set -euo pipefail
dir=${1:?usage: scripts/generator.sh BUILD_DIR}
if [ -f "$dir/CMakeCache.txt" ]; then
  generator=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$dir/CMakeCache.txt")
  if [ -n "$generator" ]; then
    echo "$generator"
    exit 0
  fi
fi
if command -v ninja >/dev/null; then
  echo Ninja
else
  echo "Unix Makefiles"
fi
