#!/usr/bin/env bash
# Builds and runs the whole test suite: the plain build, then again under
# AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer; then
# clang-tidy over the sources and the shared block's fuzz target for a
# bounded time (VEXA_FUZZ_SECONDS, default 60). Fails if any step fails or if
# the runs leave objects behind in the user's directory under /dev/shm. Each suite's ctest summary is
# repeated at the end.
set -uo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh || exit 1

# Another process of this user serving one of the fixed ports (a service or a
# bench left running) would fail the port tests of every run for no visible
# reason: build the observer and ask it first.
cmake --preset default && cmake --build --preset default --target vexa-port-stat &&
  ./scripts/ports_free.sh build/default/tools/vexa-port-stat || exit 1

leftovers() { ls -A "/dev/shm/vexa.$(id -u)" 2>/dev/null | sort; }
before=$(leftovers)

status=0
summaries=$(mktemp)
log=$(mktemp)
trap 'rm -f "$summaries" "$log"' EXIT
for preset in test asan tsan; do
  echo "=== workflow: $preset"
  start=$SECONDS
  cmake --workflow --preset "$preset" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  grep -E "tests passed|tests failed out of|Total Test time" "$log" | sed "s/^/[$preset] /" >>"$summaries"
  echo "[$preset] workflow took $((SECONDS - start)) s" >>"$summaries"
done

./scripts/tidy.sh || status=1
./scripts/fuzz.sh "${VEXA_FUZZ_SECONDS:-60}" || status=1

after=$(leftovers)
new=$(comm -13 <(printf '%s\n' "$before") <(printf '%s\n' "$after") | grep -v '^$' || true)
if [ -n "$new" ]; then
  echo "FAIL: the tests left objects in /dev/shm:"
  printf '  %s\n' $new
  status=1
fi

echo "=== summaries"
cat "$summaries"
[ $status -eq 0 ] && echo "=== all test runs passed" || echo "=== some test runs FAILED"
exit $status
