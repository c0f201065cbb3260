#!/usr/bin/env bash
# Builds everything and runs every test: the portable core and the
# reference message server natively (ASan/UBSan), then each Windows build
# under Wine where this machine can run it. A build that cannot run here is
# still built and checked without running it (exports, imports, its type
# library read back by the other build). VELMORA_ARCHS forces the choice.
# Installs what it needs on a Debian 12 machine (run as root).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-deps.sh" || exit 1
. "$root/scripts/wine-archs.sh"
velmora_wine_archs
velmora_arch_summary

status=0
cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
  cmake --build "$root/build/native" &&
  ctest --test-dir "$root/build/native" --output-on-failure || status=1

"$root/scripts/build-windows.sh" || exit 1
for arch in i686 x86_64; do
  if [[ " ${VELMORA_RUN_ARCHS[*]} " == *" $arch "* ]]; then
    echo "== Wine suite of the $arch build"
    ctest --test-dir "$root/build/$arch" --output-on-failure || status=1
  else
    echo "== $arch build: checks that need no Windows program to run"
    ctest --test-dir "$root/build/$arch" --output-on-failure -L static || status=1
  fi
done

velmora_arch_summary
exit $status
