#!/usr/bin/env bash
# The DLL must load on a bare Windows: it may import only system libraries
# and must export exactly the four self-registration entry points.
set -euo pipefail
objdump=$1 dll=$2
allowed='^(KERNEL32|USER32|GDI32|ADVAPI32|OLE32|OLEAUT32|IPHLPAPI|WS2_32|SHELL32|SHLWAPI|COMCTL32|COMDLG32|MSVCRT)\.DLL$'
status=0
while read -r name; do
  if ! echo "${name^^}" | grep -Eq "$allowed"; then
    echo "unexpected import: $name"
    status=1
  fi
done < <("$objdump" -p "$dll" | sed -n 's/^\s*DLL Name: //p')
exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
if [ "$exports" != "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ]; then
  echo "unexpected exports: $exports"
  status=1
fi
[ $status -eq 0 ] && echo "imports and exports as expected"
exit $status
