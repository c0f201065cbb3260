#!/usr/bin/env bash
# An installer package in a prefix of its own: its tables lock the settings
# key and carry the DLLs' versions, it writes what self-registration writes,
# the script hosts of each installed DLL create the control, an older
# package is replaced rather than kept beside it (on 64-bit Windows an x86
# one too, which refuses to install there itself), and uninstalling leaves
# the registry as it found it but for the control's own settings under
# HKLM\SOFTWARE\Sorvik.
#   package.sh WINE_ENV_FILE PACKAGE PACKAGE_SCRIPT [X86_PACKAGE_SCRIPT]
set -uo pipefail
env_file=$1 package=$2 make_package=$3 make_x86_package=${4:-}
. "$env_file"
. "$VELMORA_SOURCE_DIR/scripts/wine-archs.sh"
velmora_wine_archs
export VELMORA_WINEPREFIX="$VELMORA_BUILD_DIR/wine/msiprefix"
export WINEPREFIX="$VELMORA_WINEPREFIX"
work="$VELMORA_BUILD_DIR/package-test"
trap 'wineserver -k 2>/dev/null; rm -rf "$VELMORA_WINEPREFIX" "$work"' EXIT
rm -rf "$work" && mkdir -p "$work"
bash "$VELMORA_SOURCE_DIR/tests/wine/setup-prefix.sh" "$env_file" --fresh || exit 1

SORVIK='HKLM\SOFTWARE\Sorvik'
# What belongs to the control in a registry export.
IDENTITY='6F8CE04A-2B73-4FC3-BD65-271617EBF709|3726D7AF-4014-4B19-A3B0-18B70FB633F4|Velmora\.(DLL|VelmoraCtrl)|7B5EBE0A-22F7-4F31-B259-854E16051A11|D1FD56F4-8860-4CFB-A96D-0049BFD33F98|FD9E7D55-B149-460D-A397-1AE7D5C16B9C'

# The DLLs of the package by bitness: folder, registry view, script host.
case "$package" in *-x64.msi) copies="64 32" ;; *) copies="32" ;; esac
native=$([ "$VELMORA_ARCH" = x86_64 ] && echo 64 || echo 32)
if [ "$WINEARCH" = win64 ]; then
  folder() { [ "$1" = 64 ] && echo 'C:\Program Files\Velmora' || echo 'C:\Program Files (x86)\Velmora'; }
  view() { echo "/reg:$1"; }
  host() { [ "$1" = 64 ] && echo 'C:\windows\system32\cscript.exe' || echo 'C:\windows\syswow64\cscript.exe'; }
else
  folder() { echo 'C:\Program Files\Velmora'; }
  view() { :; }
  host() { echo 'C:\windows\system32\cscript.exe'; }
fi
runs() { [[ " ${VELMORA_RUN_ARCHS[*]} " == *" $([ "$1" = 64 ] && echo x86_64 || echo i686) "* ]]; }
platform() { [ "$1" = 64 ] && echo win64 || echo win32; }

. "$(dirname "$0")/checks.sh"
msi() { wine msiexec "$1" "$(winepath -w "$2" | tr -d '\r')" /qn >/dev/null 2>&1; echo $?; }
table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4; }  # rows only
# HKLM\Software as sorted lines "[KEY]<TAB>" and "[KEY]<TAB>VALUE".
snapshot() {
  wine reg export 'HKLM\Software' "$work/export.reg" /y >/dev/null 2>&1 || echo "reg export failed" >&2
  iconv -f UTF-16 -t UTF-8 "$work/export.reg" | tr -d '\r' | awk '
    /\\$/ { sub(/\\$/, ""); cont = cont $0; next }
    { line = cont $0; cont = "" }
    line ~ /^\[/ { key = line; print key "\t"; next }
    line != "" && key != "" { print key "\t" line }' | LC_ALL=C sort > "$work/$1"
}
# Installed products of this name, by product code: count and versions.
products() {
  awk -F'\t' '$1 ~ /\\Uninstall\\\{/ && match($1, /\{[^}]*\}\]$/) {
      code = substr($1, RSTART, RLENGTH)
      if ($2 ~ /^"DisplayName"="Velmora control/) named[code] = 1
      if ($2 ~ /^"DisplayVersion"=/) version[code] = substr($2, 19, length($2) - 19)
    }
    END { n = 0; s = ""; for (c in named) { n++; s = s " " version[c] } print n s }' "$work/$1"
}
value() {  # value KEY NAME [VIEW]: a REG_SZ value, the default one for an empty NAME
  local which=(/ve)
  [ -n "$2" ] && which=(/v "$2")
  wine reg query "$1" "${which[@]}" ${3:-} 2>/dev/null | tr -d '\r' | LC_ALL=C sed -n 's/.*REG_SZ *//p'
}
exists() { wine reg query "$1" $2 >/dev/null 2>&1 && echo yes || echo no; }
unix() { winepath -u "$1" 2>/dev/null | tr -d '\r'; }

# Users may read the settings key and set its values, no more, in each view
# the package creates it in. Wine does not enforce registry permissions:
# what can be checked is the table.
SDDL='O:BAG:SYD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;;0x2001b;;;BU)(A;CIIO;KR;;;BU)'
check "the key's permissions, one row per view" \
  "$(for c in $copies; do printf 'lock_reg%s_settings\treg%s_settings\tRegistry\t%s\t\n' "$c" "$c" "$SDDL"; done | sort)" \
  "$(table "$package" MsiLockPermissionsEx | sort)"
for c in $copies; do
  check "reg${c}_settings is the $c-bit DLL's settings key" $'2\tSOFTWARE\\Sorvik\t+\t\tVelmora'"$c" \
    "$(table "$package" Registry | awk -F'\t' -v id="reg${c}_settings" '$1 == id' | cut -f2-)"
done
check "no hash for the versioned DLLs" "" "$(table "$package" MsiFileHash)"
check "no LockPermissions table beside it (error 1941)" "" "$(msiinfo tables "$package" | tr -d '\r' | grep -x LockPermissions)"
check "installer version 500, for that table" "Version: 500 (1f4)" "$(msiinfo suminfo "$package" | grep '^Version:')"

for c in $copies; do wine reg delete "$SORVIK" /f $(view "$c") >/dev/null 2>&1; done
# A script host registers its own type library when it runs: let it do so
# before the registry is compared.
echo 'WScript.Quit(0);' > "$work/empty.js"
for c in $copies; do
  runs "$c" && wine "$(host "$c")" //nologo "$(winepath -w "$work/empty.js" | tr -d '\r')" >/dev/null 2>&1
done

# What self-registration of this build's DLL writes, from where the package
# puts it.
dir=$(unix "$(folder "$native")")
mkdir -p "$dir" && cp "$VELMORA_BIN_DIR/velmora.dll" "$dir/"
check "regsvr32 of the DLL in its installed place" 0 "$(wine regsvr32 /s "$(folder "$native")\\velmora.dll" >/dev/null 2>&1; echo $?)"
snapshot selfreg
check "regsvr32 /u" 0 "$(wine regsvr32 /u /s "$(folder "$native")\\velmora.dll" >/dev/null 2>&1; echo $?)"
rm -rf "$dir"
snapshot before

x86=
if [ -n "$make_x86_package" ] && [ "$WINEARCH" = win64 ]; then
  x86="$work/velmora-0.8.0.0-x86.msi"
  bash "$make_x86_package" 0.8.0.0 "$x86" >/dev/null || echo "FAIL: no x86 package"
  # 1603 (ERROR_INSTALL_FAILURE) as a Unix exit status, which keeps only its
  # low byte. Without a user interface Wine neither shows nor logs a launch
  # condition's message: it is checked in the table Windows takes it from.
  check "the x86 package refuses 64-bit Windows" $((1603 & 255)) "$(msi /i "$x86")"
  check "and names the package to install" \
    'Installed OR NOT VersionNT64	This package is for 32-bit Windows. On 64-bit Windows install velmora-0.8.0.0-x64.msi, which installs both the 64-bit and the 32-bit control.' \
    "$(table "$x86" LaunchCondition | grep VersionNT64)"
  # As an x86 package made before it refused would be.
  msibuild "$x86" -q "DELETE FROM \`LaunchCondition\` WHERE \`Condition\` = 'Installed OR NOT VersionNT64'"
  check "an x86 package without the condition installs" 0 "$(msi /i "$x86")"
  snapshot x86
  check "one product, the x86 one" "1 0.8.0.0" "$(products x86)"
elif [ "$WINEARCH" = win64 ]; then
  echo "skipped: the x86 package on 64-bit Windows (no i686 build's package script given)"
fi

older="$work/velmora-0.9.0.0.msi"
bash "$make_package" 0.9.0.0 "$older" >/dev/null || echo "FAIL: no older package"
check "the older package installs${x86:+ over the x86 one}" 0 "$(msi /i "$older")"
snapshot older
check "one product, the older" "1 0.9.0.0" "$(products older)"
# Settings the control writes in use; an upgrade and an uninstall keep them.
wine reg add "$SORVIK" /v TempFilePath /d 'C:\Velmora\temp' /f $(view "$native") >/dev/null 2>&1
wine reg add "$SORVIK" /v CurServer /d 'demo' /f $(view "$native") >/dev/null 2>&1

check "the package installs over it" 0 "$(msi /i "$package")"
snapshot installed
check "one product, the newer" "1 $(basename "$package" | cut -d- -f2)" "$(products installed)"
check "the control's settings survive the upgrade" 'C:\Velmora\temp' "$(value "$SORVIK" TempFilePath "$(view "$native")")"

# The package writes what self-registration does. Deliberate differences:
# HELPDIR carries the installer's trailing separator, and FLAGS leaves out
# LIBFLAG_FHASDISKIMAGE, which Wine's registration copies from the loaded
# library. The other view and the other build's platform are checked below.
mine() {
  grep -E "$IDENTITY" "$work/$1" | grep -v -e Wow6432Node -e "\\\\409\\\\win$([ "$native" = 64 ] && echo 32 || echo 64)" |
    sed -e '/\\HELPDIR\]/s/\\\\"$/"/' -e '/\\FLAGS\]/s/@=".*"/@="flags"/'
}
check "registry entries equal self-registration's" "$(mine selfreg)" "$(mine installed)"

echo 'WScript.Echo(new ActiveXObject("Scripting.FileSystemObject").GetFileVersion(WScript.Arguments(0)));' > "$work/version.js"
for c in $copies; do
  dll="$(folder "$c")\\velmora.dll"
  check "$c-bit DLL installed" yes "$([ -f "$(unix "$dll")" ] && echo yes || echo no)"
  resource=$(wine "$(host "$native")" //nologo "$(winepath -w "$work/version.js" | tr -d '\r')" "$dll" 2>/dev/null | tr -d '\r')
  check "$c-bit DLL's version resource in the File table" "${resource:-(none read)}" \
    "$(table "$package" File | awk -F'\t' -v id="dll$c" '$1 == id { print $5 }')"
  check "$c-bit class in its view" "$dll" "$(value 'HKCR\CLSID\{6F8CE04A-2B73-4FC3-BD65-271617EBF709}\InprocServer32' '' "$(view "$c")")"
  check "$c-bit type library" "$dll" "$(value "HKCR\\TypeLib\\{7B5EBE0A-22F7-4F31-B259-854E16051A11}\\1.0\\409\\$(platform "$c")" '')"
  check "settings key in the $c-bit view" yes "$(exists "$SORVIK" "$(view "$c")")"
  if ! runs "$c"; then
    echo "skipped: the $c-bit script host ($(velmora_arch_summary))"
    continue
  fi
  for script in fresh-state.js fresh-state.vbs; do
    # cscript reads scripts in the ANSI code page.
    iconv -f UTF-8 -t GBK "$VELMORA_SOURCE_DIR/tests/scripts/$script" > "$work/$script"
    out=$(wine "$(host "$c")" //nologo "$(winepath -w "$work/$script" | tr -d '\r')" 2>&1 | iconv -f GBK -t UTF-8 | tr -d '\r')
    check "$c-bit host runs $script" "0 failed" "$(echo "$out" | grep -o '[0-9]* failed$')"
  done
done

check "the package uninstalls" 0 "$(msi /x "$package")"
snapshot after
check "no product left" 0 "$(products after)"
for c in $copies; do
  check "no $c-bit folder left" no "$([ -e "$(unix "$(folder "$c")")" ] && echo yes || echo no)"
done
check "the control's settings stay" 'C:\Velmora\temp' "$(value "$SORVIK" TempFilePath "$(view "$native")")"
# Left behind may be only the settings key and the installer's own empty
# bookkeeping keys; gone may be only keys that were empty (Wine's installer
# prunes empty parents of what it removes).
LC_ALL=C comm -13 "$work/before" "$work/after" > "$work/added"
LC_ALL=C comm -23 "$work/before" "$work/after" > "$work/removed"
check "nothing of the package is left" "" "$(awk -F'\t' '
  !($1 ~ /\\Sorvik\]$/ || ($2 == "" && $1 ~ /\\Installer(\]|\\)/))' "$work/added")"
check "nothing else is removed" "" "$(awk -F'\t' '
  NR == FNR {
    if ($2 != "") valued[$1] = 1
    n = split(substr($1, 1, length($1) - 1), part, "\\")
    p = part[1]
    for (i = 2; i <= n; i++) { parent[p "]"] = 1; p = p "\\" part[i] }
    next
  }
  !($2 == "" && !valued[$1] && !parent[$1])' "$work/before" "$work/removed")"

checks_done
