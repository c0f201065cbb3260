#!/usr/bin/env bash
# Runs the channel benchmark under Wine against reference message servers it
# starts on its own loopback addresses, then stops them; then the lock table
# alone and the working-directory migration (no network).
#   bench/run-bench.sh BUILD_DIR [--small] [benchmark options...]
# BUILD_DIR is a cross build of either platform (build/i686 or build/x86_64,
# see scripts/build-windows.sh) that has been built.
# Servers, all on port 4568: 127.0.0.90 with an empty lock table, then one
# per pace rate of VELMORA_BENCH_PACES (KiB/s, 0 unpaced, "default" the
# server's own; default "default 65536 131072 0") on 127.0.0.91, .92, ...,
# each loaded with locks by the benchmark first. VELMORA_BENCH_NET=127.0.0.x
# moves them to x0, x1, ... VELMORA_BENCH_RMEM_MAX=BYTES runs everything
# under that net.core.rmem_max (root only; put back when the run ends).
# A Wine program serving port 4568 (Wine binds it on every address) keeps
# them from starting until it ends.
set -euo pipefail
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)

size=(--locks 10000 --rounds 20 --queries 20000 --blast 100000)
migration_size=()
if [ "${1:-}" = "--small" ]; then
  size=(--locks 300 --rounds 5 --queries 2000 --blast 5000)
  migration_size=(--small)
  shift
fi

server_exe=$build/host-tools/tools/msgserver/velmora-msgserver
bench_exe=$build/bin/velmora_channel_bench.exe
for f in "$server_exe" "$bench_exe" "$build/bin/velmora_lock_bench.exe" "$build/bin/velmora_migration_bench.exe" \
         "$build/wine-run.sh"; do
  [ -e "$f" ] || { echo "missing $f: build $build first" >&2; exit 2; }
done

net=${VELMORA_BENCH_NET:-127.0.0.9}
read -r -a paces <<<"${VELMORA_BENCH_PACES:-default 65536 131072 0}"
[ "${#paces[@]}" -le 9 ] || { echo "at most 9 pace rates" >&2; exit 2; }
empty=${net}0
state=$build/bench/servers
starter=$source_dir/tests/win/refserver/start-server.sh
stopper=$source_dir/tests/win/refserver/stop-server.sh

. "$build/wine-env.sh"
addresses=("$empty")
own_prefix=
cleanup() {
  for address in "${addresses[@]}"; do bash "$stopper" "$state/$address" || true; done
  if [ -n "$own_prefix" ]; then bash "$source_dir/tests/wine/teardown-prefix.sh" "$build/wine-env.sh"; fi
}
trap cleanup EXIT
if [ ! -f "$WINEPREFIX/.velmora-ready" ]; then
  bash "$source_dir/tests/wine/setup-prefix.sh" "$build/wine-env.sh"
  own_prefix=1
fi

if [ -n "${VELMORA_BENCH_RMEM_MAX:-}" ]; then
  rmem_before=$(cat /proc/sys/net/core/rmem_max)
  trap 'echo "$rmem_before" >/proc/sys/net/core/rmem_max; cleanup' EXIT
  echo "$VELMORA_BENCH_RMEM_MAX" >/proc/sys/net/core/rmem_max
fi
# No alive checks: nothing but the benchmark's own traffic.
bash "$starter" "$server_exe" "$empty" "$state/$empty" --alive-interval 0 >/dev/null
loaded=()
default_pace=$("$server_exe" --help | sed -n 's/.*(default \([0-9]*\); 0 unpaced).*/\1/p')
for i in "${!paces[@]}"; do
  pace=${paces[$i]} address=${net}$((i + 1))
  addresses+=("$address")
  pace_option=(--pace-rate "$pace")
  [ "$pace" != default ] || pace_option=()
  bash "$starter" "$server_exe" "$address" "$state/$address" --alive-interval 0 "${pace_option[@]}" >/dev/null
  case $pace in
    default) label="default pace" ;;
    0) label=unpaced ;;
    *) label="paced $((pace / 1024)) MiB/s" ;;
  esac
  loaded+=(--loaded "$address=$label")
done

echo "CPUs: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg)," \
     "net.core.rmem_max: $(cat /proc/sys/net/core/rmem_max 2>/dev/null || echo unknown)," \
     "net.core.rmem_default: $(cat /proc/sys/net/core/rmem_default 2>/dev/null || echo unknown)," \
     "server's default pace: ${default_pace:-unknown} KiB/s"
echo
"$build/wine-run.sh" "$bench_exe" --empty "$empty" "${loaded[@]}" "${size[@]}" "$@"
echo
echo "Lock table alone (no channel, no sockets):"
"$build/wine-run.sh" "$build/bin/velmora_lock_bench.exe"
echo
# Writes its trees under the prefix's temporary folder and removes them.
"$build/wine-run.sh" "$build/bin/velmora_migration_bench.exe" "${migration_size[@]}"
