#!/usr/bin/env bash
# Builds the converter, build/ratefold by default: installs what building
# needs when it is missing (the build group of scripts/packages.txt: cmake,
# make and g++), configures the folder and builds it. The unit tests are
# built too where GoogleTest is installed; scripts/test.sh installs it and
# runs them, in the same folder.
#   scripts/build.sh [BUILD_DIR] [CMAKE_ARGS...]
# Extra arguments after the build folder go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
scripts/packages.sh install build
cmake -S . -B "$dir" -G "$(scripts/generator.sh "$dir")" "$@"
cmake --build "$dir" -j "$(nproc)"
