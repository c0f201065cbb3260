#!/usr/bin/env bash
# The main job: builds the DLL, registers it with regsvr32 in a private
# Wine prefix and runs a host script that creates the control.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-deps.sh"

build="$root/build/win"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$build" --target velmora

bash "$root/tests/wine/setup-prefix.sh" "$build/wine-env.sh"
trap 'bash "$root/tests/wine/teardown-prefix.sh" "$build/wine-env.sh"' EXIT
. "$build/wine-env.sh"

cd "$VELMORA_BIN_DIR"
wine regsvr32 /s velmora.dll
echo "velmora.dll registered as Velmora.VelmoraCtrl in $WINEPREFIX"
# cscript reads scripts in the ANSI code page (936 here).
iconv -f UTF-8 -t GBK "$root/samples/identity.js" > "$build/identity.js"
wine cscript //nologo "$(winepath -w "$build/identity.js")" | iconv -f GBK -t UTF-8 | tr -d '\r'
