#!/usr/bin/env bash
# Runs the Windows tests through CTest with one warm wineserver; expects a
# display (test.sh runs it under xvfb-run). TOVRIN_PRESET names the build
# whose tests run: windows (mingw-w64 g++, the default) or windows-clang.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
"$TOVRIN_ROOT/scripts/wine-prefix.sh"
if ! "$WINESERVER" -p; then
    echo "a wineserver already runs for $WINEPREFIX (another test run, or one" >&2
    echo "that was killed); end it with: WINEPREFIX=$WINEPREFIX $WINESERVER -k" >&2
    exit 2
fi
# Start Wine's own services now, with their output detached: started by the
# first test instead, they would inherit CTest's pipe and hold that test
# until its time-out.
"$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
status=0
ctest --preset "${TOVRIN_PRESET:-windows}" "$@" || status=$?
"$WINESERVER" -k || true
exit $status
