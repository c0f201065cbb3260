# Sourced by the script-host tests: runs each JScript or VBScript file of
# tests/scripts through cscript and compares what it prints with the
# expected lines. Wine 8's cscript can corrupt its heap when it echoes
# non-ASCII text, so the scripts print escapes (JScript \uXXXX, VBScript \xHH
# of GBK bytes) and they are turned back into text here.
#   check_script_output WORK_DIR EXPECTED SCRIPT...
check_script_output() {
  local work=$1 expected=$2 status=0 script output actual
  shift 2
  for script in "$@"; do
    echo "== $script"
    # cscript reads scripts in the ANSI code page.
    iconv -f UTF-8 -t GBK "$VELMORA_SOURCE_DIR/tests/scripts/$script" > "$work/$script" || return 1
    # Bounded: a script waiting on a dialog nobody answers must not hang the run.
    output=$(timeout -k 5 240 wine cscript //nologo "$(winepath -w "$work/$script")" 2>&1 | tr -d '\r')
    actual=$(while IFS= read -r line; do printf '%b\n' "$line"; done <<< "$output")
    [ "${script##*.}" = vbs ] && actual=$(iconv -f GBK -t UTF-8 <<< "$actual")
    echo "$actual"
    if [ "$actual" != "$expected" ]; then
      echo "FAIL: $script printed other lines than expected:"
      diff <(echo "$expected") <(echo "$actual") | sed 's/^/    /'
      status=1
    fi
  done
  return $status
}
