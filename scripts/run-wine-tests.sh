#!/usr/bin/env bash
# Runs the Windows tests through CTest with one warm wineserver; expects a
# display (test.sh runs it under xvfb-run).
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
"$TOVRIN_ROOT/scripts/wine-prefix.sh"
"$WINESERVER" -p
status=0
ctest --preset windows "$@" || status=$?
"$WINESERVER" -k || true
exit $status
