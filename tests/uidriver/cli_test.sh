#!/usr/bin/env bash
# uidriver.exe driving uidriver_sample.exe in another process.
#   cli_test.sh ENV_FILE
set -euo pipefail
. "$1"
drv() { wine "$VELMORA_BIN_DIR/uidriver.exe" "$@"; }
out="$VELMORA_BUILD_DIR/uidriver-shots"
rm -rf "$out"
mkdir -p "$out"
caption="系统 测试"
fail() { echo "FAIL: $*" >&2; exit 1; }

sample=""
cleanup() {
  # Whatever went wrong, the sample must not outlive the test.
  if [ -n "$sample" ] && kill -0 "$sample" 2>/dev/null; then
    drv press "$caption" 2 >/dev/null 2>&1 || true
    drv press "系统 询问" 7 >/dev/null 2>&1 || true
    wait "$sample" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# The dialog: type Chinese, capture it, press OK by its label.
wine "$VELMORA_BIN_DIR/uidriver_sample.exe" dialog >"$out/sample.out" &
sample=$!
drv wait "$caption" 10000 "#32770" >/dev/null || fail "dialog did not show"
drv type "$caption" 1001 "张三" || fail "type"
[ "$(drv read "$caption" 1001 | tr -d '\r')" = "张三" ] || fail "read back"
drv shot "$caption" "Z:$out/dialog.bmp" || fail "shot"
bash "$VELMORA_SOURCE_DIR/tools/uidriver/screenshot.sh" "$DISPLAY" "$out/screen.png" || fail "screenshot.sh"
drv press "$caption" "确定" || fail "press"
status=0
wait "$sample" || status=$?
sample=""
[ "$status" -eq 1 ] || fail "dialog ended with $status, not IDOK"
grep -qx "张三" "$out/sample.out" || fail "sample saw: $(cat "$out/sample.out")"

# Pictures: a BMP of the dialog, a PNG of the whole 1280x1024 display.
[ "$(head -c 2 "$out/dialog.bmp")" = "BM" ] || fail "dialog.bmp is no BMP"
[ "$(stat -c %s "$out/dialog.bmp")" -gt 10000 ] || fail "dialog.bmp too small"
[ "$(identify -format '%wx%h' "$out/screen.png")" = "1280x1024" ] || fail "screen.png size"
[ "$(stat -c %s "$out/screen.png")" -gt 1000 ] || fail "screen.png too small"

# A message box: its text and buttons, answered No.
wine "$VELMORA_BIN_DIR/uidriver_sample.exe" yesno &
sample=$!
drv wait "系统 询问" 10000 "#32770" >/dev/null || fail "box did not show"
drv msgbox-text "系统 询问" | tr -d '\r' >"$out/box.txt"
grep -qx "是否保存修改？" "$out/box.txt" || fail "box text: $(cat "$out/box.txt")"
grep -q "^buttons: .*|.*" "$out/box.txt" || fail "box buttons: $(cat "$out/box.txt")"
grep -q "^icon: \(question\|present\)$" "$out/box.txt" || fail "box icon: $(cat "$out/box.txt")"
drv press "系统 询问" 7 || fail "press No"
status=0
wait "$sample" || status=$?
sample=""
[ "$status" -eq 7 ] || fail "box ended with $status, not IDNO"
echo "pictures in $out"
