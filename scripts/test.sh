#!/usr/bin/env bash
# Builds everything and runs every test: the portable core and the
# reference message server natively (ASan/UBSan), then the DLL under Wine.
# Installs what it needs on a Debian 12 machine (run as root).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-deps.sh" || exit 1

status=0
cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
  cmake --build "$root/build/native" &&
  ctest --test-dir "$root/build/native" --output-on-failure || status=1

cmake -S "$root" -B "$root/build/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null &&
  cmake --build "$root/build/win" &&
  ctest --test-dir "$root/build/win" --output-on-failure || status=1

exit $status
