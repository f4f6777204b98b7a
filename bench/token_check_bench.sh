#!/usr/bin/env bash
# Benchmark of the look at the port's owner before the sidecar's token is
# sent (not part of the test suite), under Wine 8 and under Wine 10 (which
# names the owner of a listener; Wine 8 reports pid 0, so there every owner
# is "nobody").
#
#   bench/token_check_bench.sh [RUNS]      default 20
#
# Builds bench/token_check_bench.cpp in build/windows and runs it in both.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-20}"
cd "$root"
cmake --preset windows >/dev/null
cmake --build --preset windows --target token_check_bench test_sidecar
exe=build/windows/bench/token_check_bench.exe

echo "== Wine 8"
(
  export WINEPREFIX="$root/build/bench-prefix"
  source scripts/wine-env.sh
  scripts/wine-prefix.sh
  xvfb-run -a -s "-screen 0 1024x768x24" "$WINE" "$exe" "$runs"
)
echo "== Wine 10"
scripts/run-wine10-tests.sh --exec scripts/wine-exec.sh "$exe" "$runs"
