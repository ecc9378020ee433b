#!/usr/bin/env bash
# Builds and runs the whole test suite: the plain build, then again under
# AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer.
# Fails if any run fails or if the runs leave objects behind in /dev/shm.
set -uo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh || exit 1

leftovers() { ls -A /dev/shm 2>/dev/null | grep -E "^vexa\.$(id -u)\." | sort; }
before=$(leftovers)

status=0
for preset in test asan tsan; do
  echo "=== workflow: $preset"
  cmake --workflow --preset "$preset" || status=1
done

after=$(leftovers)
new=$(comm -13 <(printf '%s\n' "$before") <(printf '%s\n' "$after") | grep -v '^$' || true)
if [ -n "$new" ]; then
  echo "FAIL: the tests left objects in /dev/shm:"
  printf '  %s\n' $new
  status=1
fi

[ $status -eq 0 ] && echo "=== all test runs passed" || echo "=== some test runs FAILED"
exit $status
