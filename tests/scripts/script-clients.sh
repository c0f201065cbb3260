#!/usr/bin/env bash
# Real script hosts: registers the DLL in the test prefix, then runs the
# JScript and VBScript clients through cscript.
#   script-clients.sh WINE_ENV_FILE
set -uo pipefail
. "$1"
cd "$VELMORA_BIN_DIR" || exit 1
wine regsvr32 /s velmora.dll || { echo "regsvr32 failed"; exit 1; }
status=0
for script in fresh-state.js fresh-state.vbs; do
  echo "== $script"
  # cscript reads scripts in the ANSI code page.
  iconv -f UTF-8 -t GBK "$VELMORA_SOURCE_DIR/tests/scripts/$script" > "$VELMORA_BUILD_DIR/$script"
  wine cscript //nologo "$(winepath -w "$VELMORA_BUILD_DIR/$script")" | iconv -f GBK -t UTF-8 | tr -d '\r'
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
done
exit $status
