#!/usr/bin/env bash
# Prepares the private Wine prefix and the X display the tests run in, and
# keeps a wineserver running for the whole test run.
#   setup-prefix.sh ENV_FILE [--fresh]
set -euo pipefail
. "$1"
mkdir -p "$(dirname "$WINEPREFIX")"

# Whether any X server listens on the display's socket, whoever owns it.
x_listening() {
  grep -qE " 00010000 [0-9]+ [0-9]+ [0-9]+ @?/tmp/\.X11-unix/X${DISPLAY#:}\$" /proc/net/unix
}

# An X server killed outright (as the emulation's PID namespace does to
# whatever is left in it) leaves its lock behind, holding a PID that a later
# namespace may well reuse: Xvfb then believes the display taken and exits.
clear_stale_lock() {
  local lock="/tmp/.X${DISPLAY#:}-lock"
  [ -e "$lock" ] || return 0
  if x_listening; then
    echo "display $DISPLAY belongs to an X server that refuses this user;" \
      "choose another: cmake -DVELMORA_XDISPLAY=N <build folder>" >&2
    exit 1
  fi
  rm -f "$lock" "/tmp/.X11-unix/X${DISPLAY#:}" || {
    echo "cannot remove the stale $lock; choose another display:" \
      "cmake -DVELMORA_XDISPLAY=N <build folder>" >&2
    exit 1
  }
}

start_xvfb() {
  if xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then return; fi
  clear_stale_lock
  setsid Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp </dev/null >"$WINEPREFIX.xvfb.log" 2>&1 &
  echo $! > "$WINEPREFIX.xvfb.pid"
  # Bounded, and generous: a busy machine may take seconds to start it.
  for _ in $(seq 300); do
    xdpyinfo -display "$DISPLAY" >/dev/null 2>&1 && return
    sleep 0.1
  done
  echo "Xvfb did not start on $DISPLAY within 30 s; it said:" >&2
  tail -n 20 "$WINEPREFIX.xvfb.log" >&2
  exit 1
}

init_prefix() {
  if [ "${2:-}" = "--fresh" ]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/.velmora-ready" ]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
    local subst='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
    wine reg add "$subst" /v "MS Shell Dlg" /d "WenQuanYi Micro Hei" /f </dev/null >/dev/null 2>&1
    wine reg add "$subst" /v "MS Shell Dlg 2" /d "WenQuanYi Micro Hei" /f </dev/null >/dev/null 2>&1
    wine reg add "$subst" /v "SimSun" /d "WenQuanYi Micro Hei" /f </dev/null >/dev/null 2>&1
    wine reg add "$subst" /v "宋体" /d "WenQuanYi Micro Hei" /f </dev/null >/dev/null 2>&1
    # No window manager runs under Xvfb: unmanaged windows close at once
    # (managed ones cost about 2 s each) and keep their captions on screen.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
    # A crashing program must end, not wait for a debugger nobody attends.
    wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f </dev/null >/dev/null 2>&1 || true
    wine reg add 'HKLM\SOFTWARE\Sorvik' /f </dev/null >/dev/null 2>&1
    wineserver -k 2>/dev/null || true
    wineserver -w
    touch "$WINEPREFIX/.velmora-ready"
  fi
}

start_xvfb
init_prefix "$@"
# Persistent server: each test program then starts in well under a second.
# One already running for this prefix serves as well.
wineserver -p </dev/null >/dev/null 2>&1 || true
# Start Wine's background services now, detached from any caller's output:
# whichever program starts them first lends them its stdout and stderr, and
# a test runner would then wait for those pipes until its timeout.
wine cmd /c exit 0 </dev/null >/dev/null 2>&1
