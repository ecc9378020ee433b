#!/usr/bin/env bash
# Installs the built tree into a fresh prefix and builds a host project against
# it twice: with CMake's find_package and with pkg-config. Each build is run,
# and must find the installed library, not the build tree's. Then the Python
# module is imported from the prefix and must load that same library.
# Arguments: the build directory, the source directory and, optionally, the
# Python interpreter the build chose (VEXA_PYTHON).
set -euo pipefail
build=$1 src=$2 python=${3:-}
work=$(mktemp -d /tmp/vexa-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null

# The soname chain, the tool, the headers and both package descriptions.
lib=$(find "$prefix" -name 'libvexa-port.so.*.*.*' -type f)
libdir=$(dirname "$lib")
[ -L "$libdir/libvexa-port.so" ] && [ -L "$libdir/libvexa-port.so.0" ]
# Each check reads the whole output first: grep -q would stop at its first
# match, the writer would die of SIGPIPE, and pipefail would fail the step at
# random.
dynamic=$(readelf -d "$lib")
grep -q 'SONAME.*libvexa-port\.so\.0\]' <<<"$dynamic"
[ -x "$prefix/bin/vexa-port-service" ]
[ -f "$prefix/include/vexa-port.h" ] && [ -f "$prefix/include/vexa-port.hpp" ] &&
  [ -f "$prefix/include/vexa-port/version.h" ]
[ -f "$libdir/cmake/vexa-port/vexa-portConfig.cmake" ]
pc=$(find "$prefix" -name vexa-port.pc)

region="/vexa-install-$$"

echo "--- find_package"
cmake -S "$src/tests/consumer" -B "$work/cmake-build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake-build" >/dev/null
libs=$(ldd "$work/cmake-build/consumer")
grep -qF "$libdir/libvexa-port.so.0" <<<"$libs"
"$work/cmake-build/consumer" "$region-a"

echo "--- pkg-config"
export PKG_CONFIG_PATH=$(dirname "$pc")
[ "$(pkg-config --modversion vexa-port)" = "$(sed -n 's/.*VEXA_PORT_VERSION_STRING "\(.*\)"/\1/p' "$prefix/include/vexa-port/version.h")" ]
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/consumer-pc" "$src/tests/consumer/consumer.c" \
  $(pkg-config --cflags vexa-port) $(pkg-config --libs vexa-port) -pthread
LD_LIBRARY_PATH=$libdir "$work/consumer-pc" "$region-b"

# A C++ host sees the C++ layer through the same installed headers.
echo '#include <vexa-port.hpp>
int main() { return vexa::port_version() == VEXA_PORT_VERSION_STRING ? 0 : 1; }' >"$work/v.cpp"
c++ -std=c++20 -Wall -Wextra -Werror -o "$work/v" "$work/v.cpp" $(pkg-config --cflags --libs vexa-port)
LD_LIBRARY_PATH=$libdir "$work/v"

echo "--- python"
if [ -z "$python" ]; then
  echo "no Python interpreter configured: the module is not checked"
else
  module=$(find "$prefix" -name vexa_port.py)
  [ -n "$module" ]
  # A temporary prefix is on no interpreter's path, so PYTHONPATH names it;
  # the library is found the way an installed one is, through the loader
  # (LD_LIBRARY_PATH stands in for ld.so.conf), never through the override.
  version=$(sed -n 's/.*VEXA_PORT_VERSION_STRING "\(.*\)"/\1/p' "$prefix/include/vexa-port/version.h")
  env -u VEXA_PORT_LIBRARY PYTHONPATH="$(dirname "$module")" LD_LIBRARY_PATH="$libdir" PYTHONDONTWRITEBYTECODE=1 \
    "$python" -c '
import sys, vexa_port
assert vexa_port.__file__ == sys.argv[1], vexa_port.__file__
assert vexa_port.version() == sys.argv[2], vexa_port.version()
maps = open("/proc/self/maps").read().split()
loaded = {m for m in maps if "libvexa-port.so" in m}
assert loaded and all(m.startswith(sys.argv[3] + "/") for m in loaded), loaded
' "$module" "$version" "$libdir"
fi

# Objects live in the user's own folder under /dev/shm (the top level is
# looked at too, in case an older build put them there).
left=$(ls -A /dev/shm "/dev/shm/vexa.$(id -u)" 2>/dev/null | grep -F "vexa-install-$$" || true)
[ -z "$left" ] || { echo "left in /dev/shm: $left" >&2; exit 1; }
echo "installed tree works"
