#!/usr/bin/env bash
# JScript and VBScript hosts create the development AppServer by ProgID
# (registered by the devappserver fixture), ask for the assigned functions
# (128) and walk the recordset; both must print the same rows.
#   devappserver-scripts.sh WINE_ENV_FILE
set -uo pipefail
. "$1"
work="$VELMORA_BUILD_DIR/devappserver-scripts"
rm -rf "$work" && mkdir -p "$work" || exit 1
cp "$VELMORA_SOURCE_DIR/samples/appserver.json" "$work/" || exit 1
VELMORA_APPSERVER_DATA=$(winepath -w "$work/appserver.json" 2>/dev/null | tr -d '\r')
export VELMORA_APPSERVER_DATA

expected="功能编码=F101 功能名称=任务分解 序号=1 只读=false 备注=null | F101 任务分解
功能编码=F102 功能名称=计划编制 序号=2 只读=false 备注=设计负责人 | F102 计划编制
功能编码=F201 功能名称=图纸校审 序号=3 只读=true 备注=null | F201 图纸校审
walked 3 of 3
error 80004001 command 999 is not known"

. "$VELMORA_SOURCE_DIR/tests/scripts/script-output.sh"
check_script_output "$work" "$expected" devappserver-walk.js devappserver-walk.vbs
