#!/usr/bin/env bash
# Installs what the build, the tests and the benchmarks need, from the Debian
# registry, when it is missing. Safe to run again: it installs nothing when
# everything is there.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
command -v clang-tidy >/dev/null || command -v clang-tidy-14 >/dev/null || need+=(clang-tidy)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
command -v pkg-config >/dev/null || need+=(pkg-config)
# The peers vexa-port-bench measures the channel against (each is left out of
# the bench when missing): Boost.Interprocess, ZeroMQ, and iceoryx with its
# daemon.
[ -f /usr/include/boost/interprocess/ipc/message_queue.hpp ] || need+=(libboost-dev)
[ -f /usr/include/zmq.h ] || need+=(libzmq3-dev)
command -v iox-roudi >/dev/null || need+=(iceoryx)
[ -n "$(ls -d /usr/lib/*/cmake/iceoryx_posh 2>/dev/null)" ] || need+=(libiceoryx-posh-dev)
[ -n "$(ls -d /usr/lib/*/cmake/iceoryx_hoofs 2>/dev/null)" ] || need+=(libiceoryx-hoofs-dev)
# The baseline of the vexa-port-cat measurement in docs/benchmarks.md.
command -v socat >/dev/null || need+=(socat)
# Debian's interpreter runs the Python module's tests (another python3 may be
# first on PATH, without pytest).
/usr/bin/python3 -c 'import pytest' 2>/dev/null || need+=(python3-pytest)

if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
