#!/usr/bin/env bash
# JScript and VBScript hosts create the control (registered here) against
# the development AppServer (registered by its fixture), read the server's
# clock both ways and walk the assigned-functions recordset.
#   appclient-scripts.sh WINE_ENV_FILE
set -uo pipefail
. "$1"
cd "$VELMORA_BIN_DIR" || exit 1
wine regsvr32 /s velmora.dll || { echo "regsvr32 velmora.dll failed"; exit 1; }
work="$VELMORA_BUILD_DIR/appclient-scripts"
rm -rf "$work" && mkdir -p "$work" || exit 1
cp "$VELMORA_SOURCE_DIR/tests/scripts/appclient-data.json" "$work/" || exit 1
VELMORA_APPSERVER_DATA=$(winepath -w "$work/appclient-data.json" 2>/dev/null | tr -d '\r')
export VELMORA_APPSERVER_DATA

expected="SystemDateEx 2005-03-07 08:09:10
SystemDate 2005年03月07日08时09分10秒
F101 任务分解 1 null
F201 图纸校审 2 校审
walked 2 of 2"

. "$VELMORA_SOURCE_DIR/tests/scripts/script-output.sh"
check_script_output "$work" "$expected" appclient-walk.js appclient-walk.vbs
