#!/usr/bin/env bash
# Script hosts call Login while the UI driver plays the person at the real
# dialogs, against the development AppServer (sample data) and the reference
# message server at MESSAGE_IP: a whole JScript session, Cancel in the login
# dialog, Cancel in the working-directory dialog.
#   login-session.sh WINE_ENV_FILE MESSAGE_IP
set -uo pipefail
. "$1"
message_ip=$2
. "$VELMORA_SOURCE_DIR/tests/scripts/script-output.sh"
. "$VELMORA_SOURCE_DIR/tools/uidriver/drive-login.sh"
cd "$VELMORA_BIN_DIR" || exit 1
wine regsvr32 /s velmora.dll || { echo "regsvr32 velmora.dll failed"; exit 1; }
work="$VELMORA_BUILD_DIR/login-session"
rm -rf "$work" && mkdir -p "$work" || exit 1
cp "$VELMORA_SOURCE_DIR/samples/appserver.json" "$work/" || exit 1
VELMORA_APPSERVER_DATA=$(winepath -w "$work/appserver.json" 2>/dev/null | tr -d '\r')
printf '%s\r\n' "[RemoteServers]" "ServersNum=1" "[Server1]" "ServerName=测试服务器" \
  "ServerIP=$message_ip" "MessageIP=$message_ip" "ArcServerIP=$message_ip" |
  iconv -f UTF-8 -t GBK > "$work/servers.ini" || exit 1
VELMORA_SESSION_INI=$(winepath -w "$work/servers.ini" 2>/dev/null | tr -d '\r')
export VELMORA_APPSERVER_DATA VELMORA_SESSION_INI
# The driver waits for a dialog as long as its host may run (cscript gets
# 240 s): a host that is slow to start on a busy machine is not a failure.
export VELMORA_LOGIN_WAIT_S=200 VELMORA_LOGIN_FAILSHOT="$work/no-login-dialog.png"

sorvik='HKLM\SOFTWARE\Sorvik'
driver=""
cleanup() {
  [ -n "$driver" ] && kill "$driver" 2>/dev/null
  for value in TempFilePath CurServer CurServerIP ArcServerIP UpdateServer; do
    wine reg delete "$sorvik" /v "$value" /f >/dev/null 2>&1
  done
  rm -rf "$WINEPREFIX/drive_c/session"
}
trap cleanup EXIT
set_temp_file_path() { wine reg add "$sorvik" /v TempFilePath /d "$1" /f >/dev/null 2>&1; }
fail() { echo "FAIL: $*"; status=1; }
status=0

echo "== a whole session"
mkdir -p "$WINEPREFIX/drive_c/session/temp"
set_temp_file_path 'C:\session\temp'
# Also answers a free-space warning, should the test machine's disk be low.
( velmora_fill_login zhangwei zw2026 && velmora_press "Sorvik平台" 1 &&
  velmora_answer_boxes $$ 60 >/dev/null ) &
driver=$!
# JScript sees Login's -1 (and 9 and 10) as true: the Cancel case is VBScript.
expected='Login true
UserID zhangwei
UserName 张伟
Password zw2026
DomainAccount error 0x80004005
CurrentProject error 0x80004005
CurrentTask 
LocalFilePath C:\session\temp\
ManagedSpecialty JG,JZ
ManageSpecNames 结构,建筑
ManagedRoles 
RoleID -1
RoleName 
Computer as expected
IP as expected
MacID as expected
SystemDateEx as expected
SystemDate as expected
CurrentProject P2026-001
ProjectName 滨江大桥施工图设计
IsTeamLeader true
IsDesigner true
CanMakePlan true
CurrentTask T-101
Specialty JG
SpecialtyName 结构
DeptCode D01
DeptName 结构设计所
ManagedRoles 3
ManagedSpecialty JG,JZ
ManageSpecNames 结构,建筑
RoleID 3
RoleName 设计负责人
RoleType 负责
InRoles 3,17
GetSignature 张伟
GetAssignedFunction 3 任务分解
ChangeTask claim true
CanChangeTask true
ChangeTask release true
CanSetResource true
UserID error 0x80004005
CurrentTask 
ProjectName 
Computer as expected'
check_script_output "$work" "$expected" login-session.js || status=1
kill "$driver" 2>/dev/null
wait "$driver" 2>/dev/null
driver=""

# run_cancel_case NAME: runs login-cancel.vbs while the driver acts in the
# background; leaves its status in $host_status and its lines in $host_out.
run_cancel_case() {
  iconv -f UTF-8 -t GBK "$VELMORA_SOURCE_DIR/tests/scripts/login-cancel.vbs" > "$work/login-cancel.vbs"
  host_out=$(timeout -k 5 240 wine cscript //nologo "$(winepath -w "$work/login-cancel.vbs")" 2>&1 | tr -d '\r')
  host_status=${PIPESTATUS[0]}
  wait "$driver" || fail "$1: the driver could not act (see above)"
  driver=""
  echo "$host_out"
}

echo "== Cancel in the login dialog"
( velmora_fill_login lina ln2026 && velmora_press "Sorvik平台" 2 ) &
driver=$!
run_cancel_case "login dialog"
[ "$host_status" -eq 7 ] || fail "the host ended with $host_status, not the script's own 7"
[ "$host_out" = "Login returned 9
UserID error 0x80004005" ] || fail "Cancel in the login dialog printed other lines"

echo "== Cancel in the working-directory dialog"
# Exists, but not spelled "temp": not usable, so Login asks.
mkdir -p "$WINEPREFIX/drive_c/session/TEMP"
set_temp_file_path 'C:\session\TEMP'
( velmora_fill_login lina ln2026 && velmora_press "Sorvik平台" 1 &&
  velmora_uidriver wait "本地工作目录设置" 60000 "#32770" >/dev/null &&
  velmora_press "本地工作目录设置" 2 ) &
driver=$!
run_cancel_case "working-directory dialog"
[ "$host_status" -eq 0 ] || fail "the host ended with $host_status, not 0"
[[ "$host_out" != *"Login returned"* ]] || fail "Login returned after the working-directory dialog was cancelled"

exit $status
