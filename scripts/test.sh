#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the project twice (plain, and with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

bash scripts/build.sh build
# The Debian packages of the plain build, for the dpkg test among them.
bash scripts/package.sh
(cd build && ctest --output-on-failure -j2 --timeout 600)

bash scripts/build.sh build-asan -DSANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j2 --timeout 900)
echo "All tests passed (plain and sanitizer builds)."
