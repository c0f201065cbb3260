#!/usr/bin/env bash
# Stops what setup-prefix.sh started.
set -uo pipefail
. "$1"
wineserver -k 2>/dev/null
if [ -f "$WINEPREFIX.xvfb.pid" ]; then
  kill "$(cat "$WINEPREFIX.xvfb.pid")" 2>/dev/null
  rm -f "$WINEPREFIX.xvfb.pid"
fi
exit 0
