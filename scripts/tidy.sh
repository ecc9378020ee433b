#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the channel's sources,
# using the plain build's compile commands (configured if missing).
set -uo pipefail
cd "$(dirname "$0")/.."
tidy=$(command -v clang-tidy || command -v clang-tidy-14) || { echo "tidy: clang-tidy missing"; exit 1; }
[ -f build/default/compile_commands.json ] || cmake --preset default >/dev/null || exit 1
files=$(ls shm/*.cpp shm/block/*.cpp shm/endpoint/*.cpp shm/posix/*.cpp port/*.cpp tools/*.cpp bench/*.cpp)
echo "=== clang-tidy: $(echo "$files" | wc -l) files"
# Two at a time: the machine is shared.
printf '%s\n' $files | xargs -P 2 -n 4 "$tidy" -p build/default --quiet 2>/dev/null | grep -E "(warning|error):" ; status=${PIPESTATUS[1]}
[ "$status" -eq 0 ] && echo "=== clang-tidy: clean" || echo "=== clang-tidy: FAILED"
exit "$status"
