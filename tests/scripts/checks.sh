# Counting checks for the shell tests: `check NAME EXPECTED ACTUAL` compares
# and says what differs; `checks_done` prints the count and fails on any.
passed=0 failed=0
check() {
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $1"
    diff <(echo "$2") <(echo "$3") | sed 's/^/    /'
  fi
}
checks_done() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
