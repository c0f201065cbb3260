#!/usr/bin/env bash
# The server's --pace-rate option as the benchmark uses it: KiB per second,
# 0 for unpaced; anything else is refused with the usage (status 2).
#   msgserver-options.sh SERVER_EXE
set -uo pipefail
exe=$1
failures=0
expect() {
  local want=$1
  shift
  "$exe" "$@" >/dev/null 2>&1
  local got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL: velmora-msgserver $* exited $got, expected $want" >&2
    failures=$((failures + 1))
  fi
}
# --help ends the program after the whole command line has been accepted.
expect 0 --pace-rate 0 --help
expect 0 --pace-rate=131072 --help
expect 0 --pace-rate 2147483 --help
expect 2 --pace-rate
expect 2 --pace-rate x --help
expect 2 --pace-rate -1 --help
expect 2 --pace-rate 2147484 --help
expect 2 --pace-rate= --help
"$exe" --help | grep -q -- "--pace-rate" || { echo "FAIL: usage does not list --pace-rate" >&2; failures=$((failures + 1)); }
[ "$failures" = 0 ] && echo "all --pace-rate checks passed"
exit $((failures > 0))
