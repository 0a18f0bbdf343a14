#!/usr/bin/env bash
# Builds ratefold with warnings as errors and runs every test: installs what
# building and the tests need when it is missing (the build and tests groups
# of scripts/packages.txt), and insists on GoogleTest and Google Benchmark
# being found, so that no test is left out.
#   scripts/test.sh                       build/ , release build
#   scripts/test.sh build-asan -DRATEFOLD_SANITIZE=ON
# Extra arguments after the build folder go to cmake's configure step. A
# folder configured before (by scripts/build.sh, or a plain cmake) keeps its
# generator.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
scripts/packages.sh install build tests
cmake -S . -B "$dir" -G "$(scripts/generator.sh "$dir")" -DRATEFOLD_WERROR=ON \
  -DCMAKE_REQUIRE_FIND_PACKAGE_GTest=ON -DCMAKE_REQUIRE_FIND_PACKAGE_benchmark=ON "$@"
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$(nproc)"
