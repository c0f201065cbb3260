#!/usr/bin/env bash
# Builds everything and runs every test: the portable core and the
# reference message server natively (ASan/UBSan), then each Windows build
# under Wine: natively where this machine runs its programs, the 32-bit build
# under emulation (scripts/emulate-i386.sh) where the kernel cannot execute
# 32-bit programs. A build that cannot run at all is still built and checked
# without running it (exports, imports, its type library read back by the
# other build), and the summary says why. VELMORA_ARCHS forces the choice.
# Installs what it needs on a Debian 12 machine (run as root).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-deps.sh" || exit 1
. "$root/scripts/wine-archs.sh"
velmora_wine_archs
velmora_arch_summary

status=0 times=()
timed() {  # timed LABEL CMD...: runs it and keeps how long it took
  local start=$SECONDS rc=0
  "${@:2}" || rc=$?
  times+=("$1: $((SECONDS - start)) s$([ $rc -eq 0 ] || echo ', failed')")
  return $rc
}
native() {
  cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build "$root/build/native" &&
    ctest --test-dir "$root/build/native" --output-on-failure
}
timed "native build and tests" native || status=1

# Emulated programs are slower: every Wine test's bound grows (tests stay whole).
[ "$VELMORA_I686_MODE" = emulated ] && export VELMORA_TIMEOUT_SCALE=3
timed "Windows builds" "$root/scripts/build-windows.sh" || exit 1
for arch in i686 x86_64; do
  if [[ " ${VELMORA_RUN_ARCHS[*]} " == *" $arch "* ]]; then
    how=""
    [ "$VELMORA_I686_MODE" = emulated ] && how=" (32-bit programs under emulation)"
    echo "== Wine suite of the $arch build$how"
    timed "$arch Wine suite$how" velmora_wine_command \
      ctest --test-dir "$root/build/$arch" --output-on-failure || status=1
  else
    echo "== $arch build: checks that need no Windows program to run"
    ctest --test-dir "$root/build/$arch" --output-on-failure -L static || status=1
  fi
done

printf 'Times: %s\n' "${times[@]}"
velmora_arch_summary
exit $status
