#!/usr/bin/env bash
# The whole test suite: the launch policy natively with sanitizers, then
# every Windows test (unit, integration, end to end) under Wine and Xvfb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/prereqs.sh
started=$(date +%s)

echo "== native launch policy tests (ASan, UBSan)"
cmake --preset linux-asan >/dev/null
cmake --build --preset linux-asan
ctest --preset linux-asan

echo "== Windows build"
cmake --preset windows >/dev/null
cmake --build --preset windows
export TOVRIN_NODE_EXE="$(scripts/fetch-node.sh)"

echo "== Windows tests under Wine"
xvfb-run -a -s "-screen 0 1024x768x24" scripts/run-wine-tests.sh

echo "== all tests passed in $(( $(date +%s) - started )) s"
