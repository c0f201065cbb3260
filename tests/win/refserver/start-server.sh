#!/usr/bin/env bash
# Starts the reference message server in the background for a test run:
#   start-server.sh SERVER_EXE ADDRESS STATE_DIR [server options...]
# Writes STATE_DIR/server.pid and STATE_DIR/server.log. The server's stdio
# goes to the log, never to the caller's pipes: ctest waits for those to
# close and would otherwise hang until its timeout.
set -euo pipefail
exe=$1 address=$2 state=$3
shift 3
case "$address" in
  127.*) ;;
  *) echo "refusing non-loopback address $address" >&2; exit 2 ;;
esac
mkdir -p "$state"
pidfile=$state/server.pid log=$state/server.log

# A server left over by an interrupted run would hold the address.
bash "$(dirname "$0")/stop-server.sh" "$state" || true

# A program holding port 4568 on all addresses (0.0.0.0; Wine does so for
# any 127.0.0.N) keeps every loopback address from binding it; such holders
# are short-lived test programs, so a refused bind is retried for a while.
start() {
  setsid "$exe" --bind "$address" --port 4568 "$@" </dev/null >"$log" 2>&1 &
  pid=$!
  echo "$pid" >"$pidfile"
  # Ready once it has printed its address; bounded, generous wait.
  for _ in $(seq 300); do
    if grep -q "listening on $address:4568" "$log" 2>/dev/null; then return 0; fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  rm -f "$pidfile"
  return 1
}

for attempt in $(seq 20); do
  if start "$@"; then
    echo "velmora-msgserver $pid on $address:4568 (log: $log)"
    exit 0
  fi
  grep -q "Address already in use" "$log" || break
  sleep 1
done
echo "velmora-msgserver did not start on $address:4568:" >&2
cat "$log" >&2
exit 1
