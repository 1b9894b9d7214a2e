#!/usr/bin/env bash
# Measures when the first running-instance check runs after the wait for running
# viewers starts (target: 2.0 to 2.2 s), on the real platform: idle, beside the
# sample viewer posting heartbeats four times a second (every one wakes the
# wait's loop), and with every core busy.
#
#   scripts/measure-first-check.sh [BUILD-DIR] [RUNS]     (default: build 20)
#
# Each run is a process of bench/halvern/first_check_timing; the figures are
# milliseconds from the start of the wait to the check.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-20}

# The heartbeats need a session bus; the script runs itself inside one.
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  exec dbus-run-session -- bash "$0" "$build" "$runs"
fi

cmake -S . -B "$build" -DBUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target first_check_timing heartbeat_samples >/dev/null
tool="$build/bench/halvern/first_check_timing"
viewer="$(cd "$build/samples/Applications/Veldane Lumaro.app" && pwd)"

# Runs the wait $runs times; prints min, median, max, how many runs fell
# inside 2000-2200 ms, and how many ended with the expected status.
measure() {
  local label=$1 expected=$2 values=() matching=0 status
  local log
  log=$(mktemp)
  for _ in $(seq "$runs"); do
    set +e
    "$tool" "$viewer" >/dev/null 2>"$log"
    status=$?
    set -e
    [ "$status" = "$expected" ] && matching=$((matching + 1))
    values+=("$(sed -n 's/^first-check-ms //p' "$log")")
  done
  rm -f "$log"
  printf '%s\n' "${values[@]}" | sort -n | awk -v label="$label" -v expected="$expected" -v matching="$matching" '
    { v[NR] = $1; if ($1 >= 2000 && $1 <= 2200) inside++ }
    END {
      median = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%-32s min %8.2f  median %8.2f  max %8.2f ms  in 2.0-2.2 s: %d/%d  status %s: %d/%d\n",
             label, v[1], median, v[NR], inside, NR, expected, matching, NR
    }'
}

measure "idle, no instance" 0

"$viewer/Contents/MacOS/Veldane Lumaro" </dev/null >/dev/null 2>&1 &
viewer_pid=$!
sleep 0.5
measure "beside a beating viewer" 255
kill "$viewer_pid"
wait "$viewer_pid" 2>/dev/null || true

hogs=()
for _ in $(seq "$(nproc)"); do
  (while :; do :; done) &
  hogs+=($!)
done
measure "all $(nproc) cores busy, no instance" 0
kill "${hogs[@]}"
wait 2>/dev/null || true
