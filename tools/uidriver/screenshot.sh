#!/usr/bin/env bash
# Saves a picture of a whole X display, for a person to look at.
#   screenshot.sh DISPLAY OUT.png
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 DISPLAY OUT.png" >&2
  exit 2
fi
display=$1
out=$2
mkdir -p "$(dirname "$out")"
import -display "$display" -window root "$out"
[ -s "$out" ]
