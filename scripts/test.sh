#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the project twice (plain, and with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both.
#
# A test skips when something it needs is missing (no bubblewrap, not root, ...).
# On a developer's machine that is fine; on CI, which setup.sh has given
# everything, a skip is a fault: with HALVERN_FAIL_ON_SKIP=1 (.ci/run sets it)
# any skipped test fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# Runs ctest in the build folder $1 with the time limit $2 (seconds per test)
# and the extra environment that follows, keeping its output in $1/ctest.log;
# fails on a skipped test when asked to.
run_tests() {
  local folder=$1 timeout=$2
  shift 2
  (cd "$folder" && env "$@" ctest --output-on-failure -j2 --timeout "$timeout") 2>&1 | tee "$folder/ctest.log"
  if [ "${HALVERN_FAIL_ON_SKIP:-0}" = 1 ]; then
    # ctest lists each test that a GTEST_SKIP ended as "(Skipped)" in its summary.
    local skipped
    skipped=$(grep -E '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$folder/ctest.log" || true)
    if [ -n "$skipped" ]; then
      echo "FAILED: $(wc -l <<<"$skipped") test(s) skipped in $folder, where everything they need is installed:"
      echo "$skipped"
      exit 1
    fi
  fi
}

bash scripts/build.sh build
# The Debian packages of the plain build, for the dpkg test among them.
bash scripts/package.sh
run_tests build 600

bash scripts/build.sh build-asan -DSANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
run_tests build-asan 900 ASAN_OPTIONS=detect_leaks=1
echo "All tests passed (plain and sanitizer builds)."
