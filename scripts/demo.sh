#!/usr/bin/env bash
# The main job: builds the control and what a session needs around it (the
# development AppServer, the UI driver, the reference message server), sets
# up a private Wine prefix like a workstation of the platform and runs the
# host script samples/session.vbs: Login, identity, project and task data,
# a task lock claimed and released, Logout.
#   scripts/demo.sh [--interactive | --unattended] [--arch i686 | --arch x86_64]
# With a display of its own (DISPLAY set to a running X server), or with
# --interactive, the person types into the login dialog; otherwise the UI
# driver types the demo account and pictures go to build/ARCH/demo/.
# The 32-bit build is the product and is used where this machine runs it
# natively; the 64-bit build otherwise. --arch i686 runs the 32-bit build
# wherever it can run, under emulation (scripts/emulate-i386.sh) where the
# kernel cannot execute 32-bit programs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "demo: $*" >&2; exit 1; }
trap 'status=$?; echo "demo: stopped: \"$BASH_COMMAND\" failed with status $status" >&2' ERR

args=("$@")
usage() { echo "usage: $0 [--interactive | --unattended] [--arch i686 | --arch x86_64]" >&2; exit 2; }
mode=auto want_arch=
while [ $# -gt 0 ]; do
  case "$1" in
    --interactive) mode=interactive ;;
    --unattended) mode=unattended ;;
    --arch) [ $# -ge 2 ] || usage; want_arch=$2; shift ;;
    *) usage ;;
  esac
  shift
done
case "$want_arch" in ""|i686|x86_64) ;; *) usage ;; esac
# Loopback address of the demo's message server (port 4568).
address=${VELMORA_DEMO_ADDRESS:-127.0.0.77}
[[ "$address" == 127.* ]] || fail "VELMORA_DEMO_ADDRESS must be a 127.x.y.z address, not $address"
account=zhangwei password=zw2026

"$root/scripts/setup-deps.sh" || fail "could not install the Debian packages it needs (see above)"
for tool in cmake ninja Xvfb xdpyinfo iconv; do
  command -v "$tool" >/dev/null || fail "$tool is missing although setup-deps.sh ran"
done

. "$root/scripts/wine-archs.sh"
velmora_wine_archs
[ "${#VELMORA_RUN_ARCHS[@]}" -gt 0 ] || fail "no Windows build can run on this machine: $(velmora_arch_summary)"
emulated() { [ "$1" = i686 ] && [ "$VELMORA_I686_MODE" = emulated ]; }
arch=
if [ -n "$want_arch" ]; then
  [[ " ${VELMORA_RUN_ARCHS[*]} " == *" $want_arch "* ]] ||
    fail "the $want_arch build cannot run on this machine: $(velmora_arch_summary)"
  arch=$want_arch
else
  # Unasked, what runs natively (emulation is slower); the product if it can.
  for candidate in "${VELMORA_RUN_ARCHS[@]}"; do
    emulated "$candidate" && [ -z "${VELMORA_IN_EMULATION:-}" ] && continue
    arch=$candidate
    break
  done
  [ -n "$arch" ] || fail "no Windows build runs natively here; try --arch i686: $(velmora_arch_summary)"
fi
case "$arch" in
  i686) echo "demo: using the 32-bit (i686) build$(emulated i686 && echo ', under emulation (qemu-i386)')" ;;
  *) echo "demo: using the 64-bit (x86_64) build; $(velmora_arch_summary)" ;;
esac

"$root/scripts/build-windows.sh" --target velmora devappserver uidriver velmora_host_msgserver
build="$root/build/$arch"
msgserver="$build/host-tools/tools/msgserver/velmora-msgserver"
for file in "$build/bin/velmora.dll" "$build/bin/devappserver.dll" "$build/bin/uidriver.exe" "$msgserver"; do
  [ -f "$file" ] || fail "the build left no $file"
done

# The rest runs where 32-bit programs run: inside the emulation when they
# are emulated (everything started there ends with it).
velmora_reenter_emulated "$root/build/$arch" "$0" "${args[@]}" --arch "$arch"

# Interactive when asked, or when the caller's own display is up (the
# build's Xvfb display does not count: nobody looks at it).
user_display=${DISPLAY:-}
demo="$build/demo"
mkdir -p "$demo"
. "$build/wine-env.sh"
if [ "$mode" = auto ]; then
  mode=unattended
  if [ -n "$user_display" ] && [ "$user_display" != "$DISPLAY" ] &&
     xdpyinfo -display "$user_display" >/dev/null 2>&1; then
    mode=interactive
  fi
fi
if [ "$mode" = interactive ]; then
  [ -n "$user_display" ] || fail "--interactive needs DISPLAY set to the X display to show the dialog on"
  export VELMORA_DISPLAY=$user_display
fi
# Its own prefix: the demo's registry settings stay out of the test prefix.
export VELMORA_WINEPREFIX="$demo/prefix"
. "$build/wine-env.sh"

server_state="$demo/msgserver"
cleanup() {
  bash "$root/tests/win/refserver/stop-server.sh" "$server_state" || true
  bash "$root/tests/wine/teardown-prefix.sh" "$build/wine-env.sh"
}
trap cleanup EXIT
bash "$root/tests/wine/setup-prefix.sh" "$build/wine-env.sh" ||
  fail "could not prepare the Wine prefix or the X display $DISPLAY"

# The message server every client of the INI file below registers with.
bash "$root/tests/win/refserver/start-server.sh" "$msgserver" "$address" "$server_state" ||
  fail "the reference message server did not start on $address:4568 (see above)"

cd "$VELMORA_BIN_DIR"
wine regsvr32 /s velmora.dll </dev/null || fail "regsvr32 could not register $VELMORA_BIN_DIR/velmora.dll"
wine regsvr32 /s devappserver.dll </dev/null || fail "regsvr32 could not register $VELMORA_BIN_DIR/devappserver.dll"
echo "demo: velmora.dll and devappserver.dll ($arch) registered in $WINEPREFIX"

# The development AppServer reads its accounts, projects and tasks from a
# copy of the sample data (a password change rewrites the file).
cp "$root/samples/appserver.json" "$demo/appserver.json"
VELMORA_APPSERVER_DATA=$(winepath -w "$demo/appserver.json" 2>/dev/null | tr -d '\r')
export VELMORA_APPSERVER_DATA

# The server list: GetPrivateProfileStringA reads it in the ANSI code page.
printf '%s\r\n' "[RemoteServers]" "ServersNum=1" "[Server1]" "ServerName=演示服务器" \
  "ServerIP=$address" "MessageIP=$address" "ArcServerIP=$address" |
  iconv -f UTF-8 -t GBK > "$demo/servers.ini"

# A usable working directory, so Login does not ask for one.
mkdir -p "$WINEPREFIX/drive_c/Velmora/temp"
wine reg add 'HKLM\SOFTWARE\Sorvik' /v TempFilePath /d 'C:\Velmora\temp' /f </dev/null >/dev/null 2>&1 ||
  fail "could not store TempFilePath in the prefix's registry"

# cscript reads scripts in the ANSI code page. Wine 8's cscript corrupts its
# heap when it echoes non-ASCII text, so the script writes its lines to a
# report file (UTF-16) and they are shown from there.
iconv -f UTF-8 -t GBK "$root/samples/session.vbs" > "$demo/session.vbs"
rm -f "$demo/report.txt" "$demo"/*.bmp "$demo"/*.png
if [ "$mode" = interactive ]; then
  echo "demo: log in on display $DISPLAY (demo account: $account, password $password); waiting up to 10 minutes"
  limit=600
else
  echo "demo: no display of yours; the UI driver logs in as $account on $DISPLAY"
  limit=180
fi
timeout -k 10 "$limit" wine cscript //nologo "$(winepath -w "$demo/session.vbs")" \
  "$(winepath -w "$demo/servers.ini")" "$(winepath -w "$demo/report.txt")" </dev/null >"$demo/cscript.log" 2>&1 &
host=$!

if [ "$mode" = unattended ]; then
  . "$root/tools/uidriver/drive-login.sh"
  # As long as the host may take to show its dialog on a busy machine.
  VELMORA_LOGIN_WAIT_S=$((limit - 30)) VELMORA_LOGIN_FAILSHOT="$demo/no-login-dialog.png"
  if velmora_fill_login "$account" "$password" "$demo/login.bmp"; then
    velmora_press "Sorvik平台" 1 || true
    velmora_answer_boxes "$host" "$limit"
  else
    echo "demo: the login dialog could not be filled; ending the host script" >&2
    kill "$host" 2>/dev/null || true
  fi
fi

status=0
wait "$host" || status=$?
if [ -s "$demo/report.txt" ]; then
  echo "---- samples/session.vbs"
  iconv -f UTF-16 -t UTF-8 "$demo/report.txt" | tr -d '\r'
  echo "----"
fi
# Wine's cscript ends with status 0 even after a script error: the
# script's last line tells whether it ran to its end.
if [ "$status" -eq 0 ] && ! iconv -f UTF-16 -t UTF-8 "$demo/report.txt" 2>/dev/null | grep -q "已退出登录"; then
  fail "the host script samples/session.vbs stopped before its end (a script error after the last line above?)"
fi
if [ "$status" -ne 0 ]; then
  [ -s "$demo/cscript.log" ] && iconv -f GBK -t UTF-8 -c "$demo/cscript.log" | tr -d '\r' >&2
  case "$status" in
    124|137) fail "the host script did not finish within $limit s" ;;
    *) fail "the host script samples/session.vbs ended with status $status" ;;
  esac
fi

if [ "$mode" = unattended ]; then
  shots=()
  for bmp in "$demo"/*.bmp; do
    [ -f "$bmp" ] || continue
    if command -v convert >/dev/null && convert "$bmp" "${bmp%.bmp}.png" 2>/dev/null; then
      rm -f "$bmp"
      shots+=("${bmp%.bmp}.png")
    else
      shots+=("$bmp")
    fi
  done
  if [ "${#shots[@]}" -gt 0 ]; then
    echo "demo: what a person would have seen: ${shots[*]}"
  else
    echo "demo: no pictures were saved" >&2
  fi
fi
