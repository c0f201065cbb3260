#!/usr/bin/env bash
# Sets the login with many locks beside what the channel's receive thread
# alone would spend on that many lock records (its receive and decide per
# record, from the same run's profile), and decide beside receive: rows for
# run-bench.sh's summary table. Goals are printed beside the figures, never
# checked.
#   bench/login-beside-receive.sh SUMMARY_FILE
set -euo pipefail
summary=$1
# "... 10000 locks | median 12.34 s (...": locks and seconds.
read -r locks login_s < <(sed -n 's/^@summary | Login, OK pressed to return, \([0-9]*\) locks | median \([0-9.]*\) s.*/\1 \2/p' \
                           "$summary" | head -1) || true
# "... / lock | 12.3 / 4.5 / 0.05 us |": receive and decide, microseconds.
read -r receive_us decide_us < <(sed -n 's/^@summary | Receive thread per lock record: receive \/ decide (read and store) \/ lock | \([0-9.]*\) \/ \([0-9.]*\) \/.*/\1 \2/p' \
                                   "$summary" | head -1) || true
if [ -z "${locks:-}" ] || [ -z "${receive_us:-}" ]; then
  echo "@summary | Login with many locks beside records × the control's receive and decide per record | not measured |"
  exit 0
fi
with_commas=$(echo "$locks" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta')
awk -v locks="$locks" -v shown="$with_commas" -v login="$login_s" -v r="$receive_us" -v d="$decide_us" 'BEGIN {
  product = locks * (r + d) / 1e6
  printf "@summary | Login with %s locks beside records × the control'"'"'s receive and decide per record (goal: at most 1.25) | %.2f s / %.2f s (%s × (%s + %s) us), ratio %s |\n",
         shown, login, product, shown, r, d, (product > 0) ? sprintf("%.2f", login / product) : "-"
  printf "@summary | The control'"'"'s decide / receive per lock record (goal: at most 0.1) | %s / %s us, ratio %s |\n",
         d, r, (r > 0) ? sprintf("%.2f", d / r) : "-"
}'
