# Sourced by the demo and the script-host login tests, after wine-env.sh:
# plays the person at the login dialog of a Login call running in another
# process. Every wait is bounded, so a dialog that never shows cannot hang
# the caller; failures are said on stderr.

velmora_uidriver() { wine "$VELMORA_BIN_DIR/uidriver.exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }

# velmora_fill_login ACCOUNT PASSWORD [SHOT.bmp]: waits for the login
# dialog (up to VELMORA_LOGIN_WAIT_S seconds, 60 by default; a busy machine
# starts a script host slowly), types the account and password and, if
# asked, saves a picture of the filled dialog (a Unix path). The wait is
# made in slices, so a driver run that failed to start costs one slice, not
# the whole wait. When the dialog never shows, a picture of the whole display
# goes to VELMORA_LOGIN_FAILSHOT (a Unix path), where set.
velmora_fill_login() {
  local account=$1 password=$2 shot=${3:-} wait_s=${VELMORA_LOGIN_WAIT_S:-60}
  local deadline=$((SECONDS + wait_s)) found=""
  while [ $SECONDS -lt $deadline ]; do
    if velmora_uidriver wait "Sorvik平台" 10000 "#32770" >/dev/null; then found=1; break; fi
  done
  if [ -z "$found" ]; then
    echo "the login dialog did not show within $wait_s s" >&2
    if [ -n "${VELMORA_LOGIN_FAILSHOT:-}" ] && command -v import >/dev/null; then
      import -display "$DISPLAY" -window root "$VELMORA_LOGIN_FAILSHOT" 2>/dev/null &&
        echo "the display then: $VELMORA_LOGIN_FAILSHOT" >&2
    fi
    return 1
  fi
  velmora_uidriver type "Sorvik平台" 204 "$account" &&
    velmora_uidriver type "Sorvik平台" 205 "$password" ||
    { echo "could not type into the login dialog" >&2; return 1; }
  if [ -n "$shot" ]; then
    velmora_uidriver shot "Sorvik平台" "$(winepath -w "$shot" 2>/dev/null)" ||
      echo "could not save a picture of the login dialog" >&2
  fi
  return 0
}

# velmora_press CAPTION ID: presses a button of a window already found.
velmora_press() {
  velmora_uidriver press "$1" "$2" || { echo "could not press button $2 of \"$1\"" >&2; return 1; }
}

# velmora_answer_boxes PID [SECONDS]: while process PID runs (at most
# SECONDS, default 60), answers each "系统提示" message box with OK and
# prints its text, so a notice such as the free-space warning cannot stall
# an unattended run.
velmora_answer_boxes() {
  local pid=$1 deadline=$((SECONDS + ${2:-60}))
  while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
    if velmora_uidriver wait "系统提示" 500 "#32770" >/dev/null; then
      velmora_uidriver msgbox-text "系统提示" | head -n 1 | sed 's/^/系统提示: /'
      velmora_uidriver press "系统提示" 1 >/dev/null || velmora_uidriver press "系统提示" 2 >/dev/null
    fi
  done
}
