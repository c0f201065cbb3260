#!/usr/bin/env bash
# Registers the development AppServer in the test prefix.
#   devappserver-register.sh WINE_ENV_FILE
set -uo pipefail
. "$1"
cd "$VELMORA_BIN_DIR" || exit 1
wine regsvr32 /s devappserver.dll || { echo "regsvr32 devappserver.dll failed"; exit 1; }
