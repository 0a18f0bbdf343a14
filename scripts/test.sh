#!/usr/bin/env bash
# Builds ratefold with warnings as errors and runs every test.
#   scripts/test.sh                       build/ , release build
#   scripts/test.sh build-asan -DRATEFOLD_SANITIZE=ON
# Extra arguments after the build folder go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$dir" "${generator[@]}" -DRATEFOLD_WERROR=ON "$@"
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
