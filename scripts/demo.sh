#!/usr/bin/env bash
# The main job: builds the DLLs, registers one with regsvr32 in a private
# Wine prefix and runs a host script that creates the control. The 32-bit
# build is the product and is used where this machine can run it; the
# 64-bit build otherwise. VELMORA_ARCHS forces the choice.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "demo: $*" >&2; exit 1; }
trap 'status=$?; echo "demo: stopped: \"$BASH_COMMAND\" failed with status $status" >&2' ERR

"$root/scripts/setup-deps.sh" || fail "could not install the Debian packages it needs (see above)"
for tool in cmake ninja Xvfb iconv; do
  command -v "$tool" >/dev/null || fail "$tool is missing although setup-deps.sh ran"
done

. "$root/scripts/wine-archs.sh"
velmora_wine_archs
[ "${#VELMORA_RUN_ARCHS[@]}" -gt 0 ] || fail "no Windows build can run on this machine: $(velmora_arch_summary)"
arch=${VELMORA_RUN_ARCHS[0]}
case "$arch" in
  i686) echo "demo: using the 32-bit (i686) build" ;;
  *) echo "demo: using the 64-bit (x86_64) build; $(velmora_arch_summary)" ;;
esac

"$root/scripts/build-windows.sh" --target velmora
build="$root/build/$arch"
[ -f "$build/bin/velmora.dll" ] || fail "the build left no $build/bin/velmora.dll"

bash "$root/tests/wine/setup-prefix.sh" "$build/wine-env.sh" || fail "could not prepare the Wine prefix or the X display"
trap 'bash "$root/tests/wine/teardown-prefix.sh" "$build/wine-env.sh"' EXIT
. "$build/wine-env.sh"

cd "$VELMORA_BIN_DIR"
wine regsvr32 /s velmora.dll || fail "regsvr32 could not register $VELMORA_BIN_DIR/velmora.dll"
echo "velmora.dll ($arch) registered as Velmora.VelmoraCtrl in $WINEPREFIX"
# cscript reads scripts in the ANSI code page (936 here).
iconv -f UTF-8 -t GBK "$root/samples/identity.js" > "$build/identity.js"
wine cscript //nologo "$(winepath -w "$build/identity.js")" | iconv -f GBK -t UTF-8 | tr -d '\r'
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "the host script samples/identity.js failed"
