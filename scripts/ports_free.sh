#!/usr/bin/env bash
# Fails, naming the port and its server's pid, when another process of this
# user serves one of the four fixed ports. The tests that use those ports
# (and the bench) would otherwise fail later with messages that say nothing
# of the cause. Usage: ports_free.sh PATH_TO_vexa-port-stat
set -uo pipefail
stat_tool=${1:?usage: ports_free.sh PATH_TO_vexa-port-stat}

# The observer exits 1 for a port it cannot read (corrupt, refused): that is
# worth seeing too, so its whole answer is shown then.
if ! out=$("$stat_tool"); then
  echo "ports_free: $stat_tool could not look at every port:"
  printf '%s\n' "$out"
  exit 1
fi
# Lines look like "org.vexa-port.Port.2: served, no client" followed by
# "  server pid 16189, client pid none".
busy=$(printf '%s\n' "$out" | awk '
  /^org\.vexa-port\.Port\.[0-9]+: / { port = $1; sub(/^org\.vexa-port\.Port\./, "", port); sub(/:$/, "", port)
                                       served = ($2 ~ /^served/); next }
  served && /^  server pid / { pid = $3; sub(/,$/, "", pid); print port, pid; served = 0 }')
[ -z "$busy" ] && exit 0
while read -r port pid; do
  # The pid is the one the server named itself by; a process that inherited
  # the region from it may be what holds the port now.
  if cmd=$({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null); then
    who="pid $pid: ${cmd% }"
  else
    who="pid $pid, no longer running: a process it started may hold the region"
  fi
  echo "port $port is served by another process ($who): stop it, then run the tests again"
done <<<"$busy"
exit 1
