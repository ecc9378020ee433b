#!/usr/bin/env bash
# Two console instances talking over port 0: one serves it (vrm 0), one
# attaches (arm 0). Words are typed into each through a FIFO on its standard
# input, each word only after the previous one has arrived, so the output is
# a conversation. Both are then stopped with SIGINT and their outputs shown
# side by side. Builds the tool first when needed; leaves no process, FIFO or
# shared-memory object behind.
set -euo pipefail
cd "$(dirname "$0")/.."

tool=build/default/tools/vexa-port-service
port=0

./scripts/setup.sh
[ -x "$tool" ] || echo "demo: building the console tool (once; about a minute)"
log=$(mktemp /tmp/vexa-demo-build.XXXXXX)
if ! { [ -f build/default/build.ninja ] || cmake --preset default; } >"$log" 2>&1 ||
   ! cmake --build --preset default --target vexa-port-service >>"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "demo: the build failed" >&2
  exit 1
fi
rm -f "$log"

work=$(mktemp -d /tmp/vexa-demo.XXXXXX)
srv="" cli=""
cleanup() {
  exec 3>&- 4>&-
  for pid in $srv $cli; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Waits until file has a line equal to text; the tools print as they go.
wait_for() {
  local file=$1 text=$2 deadline=$((SECONDS + 15))
  until grep -qxF -- "$text" "$file"; do
    if [ $SECONDS -ge $deadline ]; then
      echo "demo: no line '$text' from ${file##*/} in time; is port $port in use?" >&2
      exit 1
    fi
    sleep 0.1
  done
}

mkfifo "$work/server.in" "$work/client.in"
# Each tool opens its FIFO for reading, which waits for our writing end.
"$tool" vrm $port <"$work/server.in" >"$work/server.out" 2>&1 &
srv=$!
exec 3>"$work/server.in"
"$tool" arm $port <"$work/client.in" >"$work/client.out" 2>&1 &
cli=$!
exec 4>"$work/client.in"

wait_for "$work/server.out" connected
wait_for "$work/client.out" connected

# fd 3 types into the server, fd 4 into the client.
say() {
  local fd=$1 word=$2 peer_out=$3
  printf '%s\n' "$word" >&"$fd"
  wait_for "$peer_out" "got '$word' len $((${#word} + 1))"
}
# The server speaks first: once the client has received, its side of the
# link is surely up for sending too.
say 3 hello "$work/client.out"
say 4 hi "$work/server.out"
say 3 how-are-you? "$work/client.out"
say 4 fine,thanks "$work/server.out"

# The client first: it reports its own detach, then the server sees it go.
pids="$srv $cli"
kill -INT "$cli"
wait "$cli" || true
cli=""
wait_for "$work/server.out" disconnected
kill -INT "$srv"
wait "$srv" || true
srv=""
exec 3>&- 4>&-

# Side by side, without the log lines' date and time.
show() { sed -E 's/^\[[0-9-]+ [0-9:.]+ [+-][0-9]{4}\] //' "$1"; }
width=160
[ -t 1 ] && width=$(tput cols 2>/dev/null || echo 160)
pr -m -t -w "$width" \
  <(echo "=== server: vexa-port-service vrm $port"; show "$work/server.out") \
  <(echo "=== client: vexa-port-service arm $port"; show "$work/client.out")

# Both have exited; their shared-memory objects (the port's region, and the
# mutexes and events named after each creator's process id) went with them.
left=$(ls -A "/dev/shm/vexa.$(id -u)" 2>/dev/null | grep -E "^(org\.vexa-port\.Port\.$port\$|Global%5CSHMEM_(event)?(${pids// /|})_)" || true)
if [ -n "$left" ]; then
  echo "demo: left behind in /dev/shm:" $left >&2
  exit 1
fi
echo
echo "Both instances stopped; no process, FIFO or shared-memory object is left."
