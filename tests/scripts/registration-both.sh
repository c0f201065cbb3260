#!/usr/bin/env bash
# Both builds registered in one 64-bit prefix, as on 64-bit Windows: each
# script host creates the control of its own bitness, and unregistering one
# build leaves the other working (the TypeLib key is shared by the two).
#   registration-both.sh WINE_ENV_FILE I686_DLL
set -uo pipefail
env_file=$1 dll32_unix=$2
. "$env_file"
. "$VELMORA_SOURCE_DIR/scripts/wine-archs.sh"
velmora_wine_archs
if [[ " ${VELMORA_RUN_ARCHS[*]} " != *" i686 "* ]]; then
  echo "skipped: $(velmora_arch_summary)"
  exit 77
fi
[ -f "$dll32_unix" ] || { echo "missing $dll32_unix: build the i686 DLL first"; exit 1; }
export VELMORA_WINEPREFIX="$VELMORA_BUILD_DIR/wine/bothprefix"
export WINEPREFIX="$VELMORA_WINEPREFIX"
trap 'wineserver -k 2>/dev/null; rm -rf "$VELMORA_WINEPREFIX"' EXIT
bash "$VELMORA_SOURCE_DIR/tests/wine/setup-prefix.sh" "$env_file" --fresh || exit 1

LIBID='{7B5EBE0A-22F7-4F31-B259-854E16051A11}'
IID='{D1FD56F4-8860-4CFB-A96D-0049BFD33F98}'
dll64=$(winepath -w "$VELMORA_BIN_DIR/velmora.dll" | tr -d '\r')
dll32=$(winepath -w "$dll32_unix" | tr -d '\r')
probe="$VELMORA_BUILD_DIR/both-probe.js"
echo 'var o = new ActiveXObject("Velmora.VelmoraCtrl"); WScript.Echo(typeof o.Computer);' > "$probe"
probe=$(winepath -w "$probe" | tr -d '\r')

. "$(dirname "$0")/checks.sh"
# The 64-bit tools live in system32, the 32-bit ones in syswow64.
dir() { [ "$1" = 64 ] && echo 'C:\windows\system32' || echo 'C:\windows\syswow64'; }
dll() { [ "$1" = 64 ] && echo "$dll64" || echo "$dll32"; }
regsvr() { wine "$(dir "$1")\\regsvr32.exe" /s ${2:-} "$(dll "$1")" >/dev/null 2>&1; echo $?; }
created() { wine "$(dir "$1")\\cscript.exe" //nologo "$probe" 2>/dev/null | tr -d '\r' | grep -qx string && echo yes || echo no; }
platforms() {
  wine reg query "HKCR\\TypeLib\\$LIBID\\1.0\\409" 2>/dev/null | tr -d '\r' | sed -n 's/.*\\409\\//p' | sort | tr '\n' ' '
}
exists() { wine reg query "$1" ${2:-} >/dev/null 2>&1 && echo yes || echo no; }
class_key="HKCR\\CLSID\\{6F8CE04A-2B73-4FC3-BD65-271617EBF709}"

check "64-bit regsvr32" 0 "$(regsvr 64)"
check "32-bit regsvr32" 0 "$(regsvr 32)"
check "both platforms under the shared TypeLib key" "win32 win64 " "$(platforms)"
check "64-bit host creates the 64-bit control" yes "$(created 64)"
check "32-bit host creates the 32-bit control" yes "$(created 32)"

check "32-bit regsvr32 /u" 0 "$(regsvr 32 /u)"
check "the 64-bit registration stays whole" "win64 " "$(platforms)"
check "the interface stays registered" yes "$(exists "HKCR\\Interface\\$IID\\TypeLib")"
check "64-bit host still creates the control" yes "$(created 64)"
# (A 32-bit host would now get the 64-bit control through Wine's surrogate
# process, so the view's own class key is what tells.)
check "the 32-bit class key is gone" no "$(exists "$class_key" /reg:32)"

check "32-bit regsvr32 again" 0 "$(regsvr 32)"
check "64-bit regsvr32 /u" 0 "$(regsvr 64 /u)"
check "the 32-bit registration stays whole" "win32 " "$(platforms)"
check "32-bit host still creates the control" yes "$(created 32)"
check "the 64-bit class key is gone" no "$(exists "$class_key" /reg:64)"

check "the last regsvr32 /u" 0 "$(regsvr 32 /u)"
check "nothing is left of the type library" no "$(exists "HKCR\\TypeLib\\$LIBID")"
check "nor of its interface" no "$(exists "HKCR\\Interface\\$IID")"
check "nor of the ProgID" no "$(exists 'HKCR\Velmora.VelmoraCtrl')"

checks_done
