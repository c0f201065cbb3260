#!/usr/bin/env bash
# Runs the channel benchmark under Wine against reference message servers it
# starts on its own loopback addresses, then stops them; then the lock table
# alone and the working-directory migration (no network).
#   bench/run-bench.sh BUILD_DIR [--small] [benchmark options...]
# BUILD_DIR is a cross build of either platform (build/i686 or build/x86_64,
# see scripts/build-windows.sh) that has been built.
# Servers, all on port 4568: 127.0.0.90 with an empty lock table, then one
# per pace rate of VELMORA_BENCH_PACES (KiB/s, 0 unpaced, "default" the
# server's own; default "default 49152", the old default bound beside none) on 127.0.0.91, .92, ...,
# each loaded with locks by the benchmark first. VELMORA_BENCH_NET=127.0.0.x
# moves them to x0, x1, ... VELMORA_BENCH_RMEM_MAX=BYTES runs everything
# under that net.core.rmem_max (root only; put back when the run ends).
# The table's pace is set beside a bare receive loop in the benchmark, fed by
# a native sender on VELMORA_BENCH_SENDER (default 127.0.0.1:4571).
# The figures of the summary table at the end come from the programs'
# "@summary | figure | value |" lines.
# A Wine program serving port 4568 (Wine binds it on every address) keeps
# them from starting until it ends.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
. "$source_dir/scripts/wine-archs.sh"
velmora_reenter_emulated "$1" "$0" "$@"
build=$(cd "$1" && pwd)
shift

size=(--locks 10000 --rounds 20 --queries 20000 --blast 100000 --bare-records 500000)
migration_size=()
if [ "${1:-}" = "--small" ]; then
  size=(--locks 300 --rounds 5 --queries 2000 --blast 5000 --bare-records 20000)
  migration_size=(--small)
  shift
fi

server_exe=$build/host-tools/tools/msgserver/velmora-msgserver
bench_exe=$build/bin/velmora_channel_bench.exe
host_lock_bench=$build/host-tools/velmora_lock_bench_host
sender_exe=$build/host-tools/velmora_record_sender_host
for f in "$server_exe" "$bench_exe" "$build/bin/velmora_lock_bench.exe" "$build/bin/velmora_migration_bench.exe" \
         "$host_lock_bench" "$sender_exe" "$build/wine-run.sh"; do
  [ -e "$f" ] || { echo "missing $f: build $build first" >&2; exit 2; }
done

net=${VELMORA_BENCH_NET:-127.0.0.9}
read -r -a paces <<<"${VELMORA_BENCH_PACES:-default 49152}"
[ "${#paces[@]}" -le 9 ] || { echo "at most 9 pace rates" >&2; exit 2; }
empty=${net}0
state=$build/bench/servers
. "$here/bench-servers.sh"

sender_pid= rmem_before=
run_cleanup() {
  [ -z "$sender_pid" ] || kill "$sender_pid" 2>/dev/null || true
  [ -z "$rmem_before" ] || echo "$rmem_before" >/proc/sys/net/core/rmem_max
  bench_cleanup
}
trap run_cleanup EXIT
if [ -n "${VELMORA_BENCH_RMEM_MAX:-}" ]; then
  rmem_before=$(cat /proc/sys/net/core/rmem_max)
  echo "$VELMORA_BENCH_RMEM_MAX" >/proc/sys/net/core/rmem_max
fi
# No alive checks: nothing but the benchmark's own traffic.
bench_server "$empty"
loaded=() beside=
default_pace=$("$server_exe" --help | sed -n 's/.*(default \([0-9]*\); 0: no bound).*/\1/p')
for i in "${!paces[@]}"; do
  pace=${paces[$i]} address=${net}$((i + 1))
  pace_option=(--pace-rate "$pace")
  [ "$pace" != default ] || pace_option=()
  bench_server "$address" "${pace_option[@]}"
  unbounded=$([ "$pace" = 0 ] || { [ "$pace" = default ] && [ "${default_pace:-}" = 0 ]; } && echo yes || true)
  case $pace in
    default) label="default pace${unbounded:+ (no bound)}" ;;
    0) label=unpaced ;;
    *) label="paced $((pace / 1024)) MiB/s" ;;
  esac
  loaded+=(--loaded "$address=$label")
  # The bare loop is set beside the first server that sets no bound.
  [ -z "$unbounded" ] || [ -n "$beside" ] || beside=$label
done

# The bare loop's sender: one burst of lock records, as fast as it sends, to
# whoever sends it "go N"; it ends after that. Without it the run goes on
# without that figure.
sender=${VELMORA_BENCH_SENDER:-127.0.0.1:4571}
bare=()
mkdir -p "$state"
"$sender_exe" --listen "$sender" --wait 900 </dev/null >"$state/sender.log" 2>&1 &
sender_pid=$!
for _ in $(seq 100); do
  if grep -q "^listening on" "$state/sender.log"; then
    bare=(--bare "$sender${beside:+=$beside}")
    break
  fi
  if ! kill -0 "$sender_pid" 2>/dev/null; then
    echo "no bare receive loop: the record sender did not start on $sender:" >&2
    cat "$state/sender.log" >&2
    sender_pid=
    break
  fi
  sleep 0.1
done

rmem_max=$(cat /proc/sys/net/core/rmem_max 2>/dev/null || echo unknown)
rmem_default=$(cat /proc/sys/net/core/rmem_default 2>/dev/null || echo unknown)
echo "CPUs: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg)," \
     "net.core.rmem_max: $rmem_max, net.core.rmem_default: $rmem_default," \
     "server's default pace: ${default_pace:-unknown} KiB/s"
echo
summary=$build/bench/summary.txt
mkdir -p "$(dirname "$summary")"
: >"$summary"
# Detail as it comes; the @summary lines are kept for the table at the end.
run_collecting() {
  "$@" | tee -a "$summary" | grep -v '^@summary'
}
run_collecting "$build/wine-run.sh" "$bench_exe" --empty "$empty" "${loaded[@]}" "${bare[@]}" "${size[@]}" "$@"
# Its burst is over by now (or was never asked for).
if [ -n "$sender_pid" ]; then
  kill "$sender_pid" 2>/dev/null || true
  wait "$sender_pid" 2>/dev/null || true
  sender_pid=
fi
echo
echo "Lock table alone (no channel, no sockets), under Wine:"
run_collecting "$build/wine-run.sh" "$build/bin/velmora_lock_bench.exe"
echo "The same, natively:"
"$host_lock_bench" | tee "$build/bench/lock-host.txt" | grep -v '^@summary'
grep "^@summary | CheckTaskLock's question" "$build/bench/lock-host.txt" >>"$summary" || true
echo
# Writes its trees under the prefix's temporary folder and removes them.
run_collecting "$build/wine-run.sh" "$build/bin/velmora_migration_bench.exe" "${migration_size[@]}"

# Login as a person waits for it: OK pressed to Login's return, with the
# real dialog, the development AppServer and message servers of its own
# (bench/login-bench.sh). Its small form is a ctest of its own
# (login_bench_small), so a small run here leaves it out.
if [ "${#migration_size[@]}" -eq 0 ]; then
  echo
  bash "$here/login-bench.sh" "$build" | tee "$build/bench/login.txt"
  # Its rows join the summary.
  grep '^| ' "$build/bench/login.txt" | grep -v '^| Figure |' | sed 's/^/@summary /' >>"$summary" || true
  bash "$here/login-beside-receive.sh" "$summary" >>"$summary"
fi

# One table of the figures a person waits on, with the machine they came from.
echo
echo "Summary ($(basename "$build"), $(wine --version 2>/dev/null || echo wine), $(date -u +%Y-%m-%d)):"
echo
echo "| Figure | Value |"
echo "|---|---|"
echo "| Machine | $(nproc) CPUs, net.core.rmem_max $rmem_max, net.core.rmem_default $rmem_default, load $(cut -d' ' -f1-3 /proc/loadavg) |"
echo "| Server pace | default ${default_pace:-unknown} KiB/s; benchmark servers: ${paces[*]} (KiB/s, 0 unpaced) |"
sed -n 's/^@summary //p' "$summary"
