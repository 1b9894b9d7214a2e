#!/bin/sh
# Builds the plug-in's libFuzzer target with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs it for a bounded time.
#   tests/sarvik/fuzz.sh [SECONDS] [extra libFuzzer options...]
# Environment: CXX (default clang++), OUT (build folder, default build-sarvik-fuzz).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
src="$root/src/impl/text/kelbreakfinder"
seconds=${1:-60}
[ $# -gt 0 ] && shift
out=${OUT:-$root/build-sarvik-fuzz}
cxx=${CXX:-clang++}
mkdir -p "$out/corpus"
command -v "$cxx" >/dev/null || { echo "fuzz.sh: no $cxx to build the fuzzer with" >&2; exit 1; }
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$src" -DSARVIK_PLUGIN_PATH='""' \
  "$here/sarvik_fuzz.cpp" "$src/zqTextBreakFinder.cpp" "$src/zqTextKelBreakFinder.cpp" \
  "$src/zqKelRuleWalker.cpp" "$src/zqKelDictionaryScan.cpp" "$src/zqTextBreakFinderEntry.cpp" \
  $(pkg-config --cflags --libs icu-uc) -o "$out/sarvik_fuzz"
echo "fuzz.sh: running $out/sarvik_fuzz for $seconds s (corpus $out/corpus)"
exec "$out/sarvik_fuzz" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 "$@" "$out/corpus"
