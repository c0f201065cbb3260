# Sourced by the benchmark scripts after they set build, source_dir and
# state: the build's Wine environment, its prefix and display made ready
# (what is started here is stopped when the script exits), and reference
# message servers started with bench_server ADDRESS [OPTION...], each
# stopped when the script exits. A script with its own exit work calls
# bench_cleanup from its trap.
. "$build/wine-env.sh"
bench_servers=()
bench_own_prefix=
bench_cleanup() {
  local address
  for address in "${bench_servers[@]}"; do
    bash "$source_dir/tests/win/refserver/stop-server.sh" "$state/$address" || true
  done
  if [ -n "$bench_own_prefix" ]; then bash "$source_dir/tests/wine/teardown-prefix.sh" "$build/wine-env.sh"; fi
}
trap bench_cleanup EXIT
# The display too: a wineserver started without one gives dialogs no
# desktop to show on.
if [ ! -f "$WINEPREFIX/.velmora-ready" ] || ! xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
  bash "$source_dir/tests/wine/setup-prefix.sh" "$build/wine-env.sh"
  bench_own_prefix=1
fi
bench_server() {
  local address=$1
  shift
  bench_servers+=("$address")
  bash "$source_dir/tests/win/refserver/start-server.sh" "$server_exe" "$address" "$state/$address" \
    --alive-interval 0 "$@" >/dev/null
}
