#!/usr/bin/env bash
# Stops the server start-server.sh left in STATE_DIR: SIGTERM, a bounded
# wait for it to end, SIGKILL only if it did not.
#   stop-server.sh STATE_DIR
set -uo pipefail
pidfile=$1/server.pid
[ -f "$pidfile" ] || exit 0
pid=$(cat "$pidfile")
rm -f "$pidfile"
# The pid may have been reused since: only a velmora-msgserver is signalled.
is_server() { { tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | grep -q velmora-msgserver; }
is_server || exit 0
kill -TERM "$pid" 2>/dev/null
# Generous: a busy machine may take seconds to schedule it.
for _ in $(seq 200); do
  is_server || exit 0
  sleep 0.1
done
echo "velmora-msgserver $pid ignored SIGTERM; killing it" >&2
kill -KILL "$pid" 2>/dev/null
exit 1
