#!/usr/bin/env bash
# Builds the shared block's fuzz target with clang (libFuzzer, ASan+UBSan) and
# runs it for a bounded time, starting from the seed corpus in the repository
# (copied, so that a run never changes the repository). A crash, an
# out-of-bounds access or a hang makes the run fail, with the input kept as
# build/fuzz/crash-* (or timeout-*) for replay: build/fuzz/fuzz_block FILE.
#   scripts/fuzz.sh [SECONDS]   (default 60)
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake --preset fuzz >/dev/null || exit 1
cmake --build --preset fuzz -j2 >/dev/null || { echo "fuzz: build failed"; exit 1; }

mkdir -p build/fuzz/corpus
cp -n tests/fuzz/corpus/* build/fuzz/corpus/
cd build/fuzz
echo "=== fuzz: shared block, ${seconds} s"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ./fuzz_block -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix=./ corpus >fuzz.log 2>&1
status=$?
grep -E "^(Done|stat::number_of_executed_units|stat::new_units_added|==[0-9]+==ERROR|SUMMARY)|DONE|deadly signal|timeout" fuzz.log
[ $status -eq 0 ] && echo "=== fuzz: no faults" || echo "=== fuzz: FAILED (see build/fuzz/fuzz.log)"
exit $status
