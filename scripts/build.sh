#!/usr/bin/env bash
# Builds the project into build/ (or into $1 with extra CMake options after it).
#   scripts/build.sh                       plain build in build/
#   scripts/build.sh build-asan -DSANITIZE=ON
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -DWERROR=ON "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
