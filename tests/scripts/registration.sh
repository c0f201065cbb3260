#!/usr/bin/env bash
# regsvr32 in a fresh prefix writes exactly the class, ProgID, AppID and
# type library entries; regsvr32 /u removes them and keeps shared parents.
#   registration.sh WINE_ENV_FILE
set -uo pipefail
env_file=$1
export VELMORA_WINEPREFIX
. "$env_file"
VELMORA_WINEPREFIX="$VELMORA_BUILD_DIR/wine/regprefix"
export WINEPREFIX="$VELMORA_WINEPREFIX"
trap 'wineserver -k 2>/dev/null; rm -rf "$VELMORA_WINEPREFIX"' EXIT
bash "$VELMORA_SOURCE_DIR/tests/wine/setup-prefix.sh" "$env_file" --fresh || exit 1

CLSID='{6F8CE04A-2B73-4FC3-BD65-271617EBF709}'
APPID='{3726D7AF-4014-4B19-A3B0-18B70FB633F4}'
LIBID='{7B5EBE0A-22F7-4F31-B259-854E16051A11}'
IID='{D1FD56F4-8860-4CFB-A96D-0049BFD33F98}'
dll_win=$(winepath -w "$VELMORA_BIN_DIR/velmora.dll" 2>/dev/null | tr -d '\r')

. "$(dirname "$0")/checks.sh"
# A key with its whole subtree, as text, the DLL's path written as %MODULE%.
dump() {
  wine reg query "$1" /s 2>/dev/null | iconv -f GBK -t UTF-8 | tr -d '\r' | sed '/^$/d' |
    sed 's/(默认)/(Default)/' | M="$dll_win" awk '{ m = ENVIRON["M"]; i = index($0, m); if (i) $0 = substr($0, 1, i - 1) "%MODULE%" substr($0, i + length(m)); print }'
}
exists() { wine reg query "$1" >/dev/null 2>&1 && echo yes || echo no; }

cd "$VELMORA_BIN_DIR"
check "regsvr32 succeeds" 0 "$(wine regsvr32 /s "$dll_win" >/dev/null 2>&1; echo $?)"

check "version-dependent ProgID" "HKEY_CLASSES_ROOT\\Velmora.VelmoraCtrl.1
    (Default)    REG_SZ    VelmoraCtrl Class
HKEY_CLASSES_ROOT\\Velmora.VelmoraCtrl.1\\CLSID
    (Default)    REG_SZ    $CLSID" "$(dump 'HKCR\Velmora.VelmoraCtrl.1')"

check "version-independent ProgID" "HKEY_CLASSES_ROOT\\Velmora.VelmoraCtrl
    (Default)    REG_SZ    VelmoraCtrl Class
HKEY_CLASSES_ROOT\\Velmora.VelmoraCtrl\\CLSID
    (Default)    REG_SZ    $CLSID
HKEY_CLASSES_ROOT\\Velmora.VelmoraCtrl\\CurVer
    (Default)    REG_SZ    Velmora.VelmoraCtrl.1" "$(dump 'HKCR\Velmora.VelmoraCtrl')"

check "class key" "HKEY_CLASSES_ROOT\\CLSID\\$CLSID
    (Default)    REG_SZ    VelmoraCtrl Class
    AppID    REG_SZ    $APPID
HKEY_CLASSES_ROOT\\CLSID\\$CLSID\\InprocServer32
    (Default)    REG_SZ    %MODULE%
    ThreadingModel    REG_SZ    Apartment
HKEY_CLASSES_ROOT\\CLSID\\$CLSID\\ProgID
    (Default)    REG_SZ    Velmora.VelmoraCtrl.1
HKEY_CLASSES_ROOT\\CLSID\\$CLSID\\Programmable
HKEY_CLASSES_ROOT\\CLSID\\$CLSID\\TypeLib
    (Default)    REG_SZ    $LIBID
HKEY_CLASSES_ROOT\\CLSID\\$CLSID\\VersionIndependentProgID
    (Default)    REG_SZ    Velmora.VelmoraCtrl" "$(dump "HKCR\\CLSID\\$CLSID")"

check "AppID" "HKEY_CLASSES_ROOT\\AppID\\$APPID
    (Default)    REG_SZ    Velmora" "$(dump "HKCR\\AppID\\$APPID")"
check "AppID of the DLL" "HKEY_CLASSES_ROOT\\AppID\\Velmora.DLL
    AppID    REG_SZ    $APPID" "$(dump 'HKCR\AppID\Velmora.DLL')"

check "type library path" "    (Default)    REG_SZ    %MODULE%" \
  "$(dump "HKCR\\TypeLib\\$LIBID\\1.0\\409\\$WINEARCH" | grep REG_SZ)"
check "type library name" "    (Default)    REG_SZ    Velmora 1.0 Type Library" \
  "$(wine reg query "HKCR\\TypeLib\\$LIBID\\1.0" /ve 2>/dev/null | iconv -f GBK -t UTF-8 | tr -d '\r' | grep REG_SZ | sed 's/(默认)/(Default)/')"
check "interface registered with the library" yes "$(exists "HKCR\\Interface\\$IID\\TypeLib")"
check "no component categories" no "$(exists "HKCR\\CLSID\\$CLSID\\Implemented Categories")"

check "regsvr32 /u succeeds" 0 "$(wine regsvr32 /u /s "$dll_win" >/dev/null 2>&1; echo $?)"
for key in 'HKCR\Velmora.VelmoraCtrl.1' 'HKCR\Velmora.VelmoraCtrl' "HKCR\\CLSID\\$CLSID" \
           "HKCR\\AppID\\$APPID" 'HKCR\AppID\Velmora.DLL' "HKCR\\TypeLib\\$LIBID" "HKCR\\Interface\\$IID"; do
  check "removed: $key" no "$(exists "$key")"
done
check "kept: HKCR\\AppID" yes "$(exists 'HKCR\AppID')"
check "kept: HKCR\\CLSID" yes "$(exists 'HKCR\CLSID')"

# Registering twice, or removing what is not there, is harmless.
check "second regsvr32 /u succeeds" 0 "$(wine regsvr32 /u /s "$dll_win" >/dev/null 2>&1; echo $?)"

checks_done
