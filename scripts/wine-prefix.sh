#!/usr/bin/env bash
# Creates the project's Wine prefix once and sets it to Windows 10 (Node.js
# 22 refuses older versions). Safe to run again.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
if [ -f "$WINEPREFIX/.tovrin-ready" ]; then
  exit 0
fi
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/.tovrin-ready" ]; then
  "$WINE" wineboot -i >/dev/null 2>&1 || true
  "$WINE" winecfg /v win10 >/dev/null 2>&1
  "$WINESERVER" -w
  touch "$WINEPREFIX/.tovrin-ready"
fi
