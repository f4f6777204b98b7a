#!/usr/bin/env bash
# Benchmark of `TovrinHost.exe --stop-existing` (not part of the test suite).
#
# How to run, from the repository root:
#   bench/stop_bench.sh [RUNS] [DELAY_MS]
# defaults: 5 runs, a sidecar that exits 500 ms after POST /shutdown.
# Environment:
#   BUILD_DIR   a Windows build tree with TovrinHost.exe and the test
#               sidecar (default build/windows; configured when missing,
#               the programs are brought up to date first)
#   WINEPREFIX  the Wine prefix to use (default build/bench-prefix, so that
#               the benchmark never touches a test run's state directory)
#
# It builds bench/stop_bench.cpp (the stop_bench target of that build tree)
# and runs it under Wine; the timing is taken inside Windows, from
# CreateProcess to the exit of the shell. Printed per run and as
# min / median / max:
#   idle     nothing of the installation runs
#   request  a sidecar that honours the request, minus its chosen delay:
#            the shell's own overhead (target under 300 ms)
#   ignore   a sidecar that ignores the request (the shell waits 4000 ms,
#            then terminates)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-5}"
delay="${2:-500}"
build="${BUILD_DIR:-$root/build/windows}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
export WINEPREFIX="${WINEPREFIX:-$root/build/bench-prefix}"
source "$root/scripts/wine-env.sh"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset windows -B "$build" >/dev/null
fi
cmake --build "$build" -j2 --target TovrinHost test_sidecar stop_bench

"$root/scripts/wine-prefix.sh"
"$WINESERVER" -p
trap '"$WINESERVER" -k || true' EXIT
"$WINE" "$build/bench/stop_bench.exe" "$runs" "$delay"
