#!/usr/bin/env bash
# Configures and builds both Windows products of this tree: the i686 DLL in
# build/i686 and the x86_64 DLL in build/x86_64, each named velmora.dll.
#   scripts/build-windows.sh [cmake --build options, e.g. --target velmora]
# The x86_64 tree is told where the i686 DLL is, so its tests can read back
# the 32-bit type library even where 32-bit programs cannot run.
# VELMORA_TIMEOUT_SCALE (default 1) multiplies every Wine test's time bound.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
for arch in i686 x86_64; do
  extra=()
  [ "$arch" = x86_64 ] && extra=(-DVELMORA_I686_DLL="$root/build/i686/bin/velmora.dll")
  cmake -S "$root" -B "$root/build/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
        -DVELMORA_TIMEOUT_SCALE="${VELMORA_TIMEOUT_SCALE:-1}" "${extra[@]}" >/dev/null
  echo "== building the $arch DLL in build/$arch"
  cmake --build "$root/build/$arch" "$@"
done
