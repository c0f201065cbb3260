#!/usr/bin/env bash
# Times logins as a person sees them (OK pressed to Login's return) under
# Wine: the real dialog, the development AppServer, and reference message
# servers started here on their own loopback addresses, then stopped.
#   bench/login-bench.sh BUILD_DIR [--small] [benchmark options...]
# Addresses, port 4568: VELMORA_LOGIN_BENCH_NET (default 127.0.0.10) followed
# by 1 (empty lock table), 2 (loaded with locks by the benchmark) and 3,
# where nothing may listen. The servers keep their default pace unless
# VELMORA_LOGIN_BENCH_PACE (KiB/s, 0 unpaced) says otherwise.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
. "$source_dir/scripts/wine-archs.sh"
velmora_reenter_emulated "$1" "$0" "$@"
build=$(cd "$1" && pwd)
shift

size=(--locks 10000 --rounds 5)
if [ "${1:-}" = "--small" ]; then
  size=(--locks 300 --rounds 1)
  shift
fi

server_exe=$build/host-tools/tools/msgserver/velmora-msgserver
bench_exe=$build/bin/velmora_login_bench.exe
for f in "$server_exe" "$bench_exe" "$build/bin/devappserver.dll" "$build/wine-run.sh"; do
  [ -e "$f" ] || { echo "missing $f: build $build first" >&2; exit 2; }
done

net=${VELMORA_LOGIN_BENCH_NET:-127.0.0.10}
empty=${net}1 loaded=${net}2 silent=${net}3
pace=()
[ -n "${VELMORA_LOGIN_BENCH_PACE:-}" ] && pace=(--pace-rate "$VELMORA_LOGIN_BENCH_PACE")
state=$build/bench/login-servers
. "$here/bench-servers.sh"
bash "$source_dir/tests/scripts/devappserver-register.sh" "$build/wine-env.sh"

for address in "$empty" "$loaded"; do
  bench_server "$address" "${pace[@]}"
done

echo "Login as a person waits for it (message servers at ${pace[1]:-their default} pace;" \
     "net.core.rmem_max: $(cat /proc/sys/net/core/rmem_max 2>/dev/null || echo unknown), CPUs: $(nproc)):"
echo
echo "| Figure | Value |"
echo "|---|---|"
"$build/wine-run.sh" "$bench_exe" --server "$empty" --loaded "$loaded" --silent "$silent" "${size[@]}" "$@"
