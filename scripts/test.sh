#!/usr/bin/env bash
# The whole test suite: the launch policy natively with sanitizers and a
# short run of each of its fuzz targets, the lint of the product code, then
# the program file of both builds (scripts/check-program-file.py), then
# every Windows test (unit, integration, end to end) under Wine and Xvfb:
# the g++ build under the host's Wine 8 and under Wine 10 in a Debian 13
# root (scripts/run-wine10-tests.sh), and the clang build under Wine 10.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/prereqs.sh
started=$(date +%s)

echo "== native launch policy tests (ASan, UBSan)"
cmake --preset linux-asan >/dev/null
cmake --build --preset linux-asan
ctest --preset linux-asan

echo "== fuzz targets of the launch policy, ${TOVRIN_FUZZ_SECONDS:-2} s each"
scripts/fuzz.sh "${TOVRIN_FUZZ_SECONDS:-2}"

echo "== lint"
scripts/lint.sh

echo "== Windows build (mingw-w64 g++)"
cmake --preset windows >/dev/null
cmake --build --preset windows
echo "== Windows build (clang)"
cmake --preset windows-clang >/dev/null
cmake --build --preset windows-clang
echo "== program file of both builds"
scripts/check-program-file.py build/windows/TovrinHost.exe build/windows-clang/TovrinHost.exe
export TOVRIN_NODE_EXE="$(scripts/fetch-node.sh)"

# Every run always runs, so that one report shows every runtime and
# compiler; the suite fails when any failed.
trap 'echo "== interrupted"; exit 130' INT
trap 'echo "== stopped"; exit 143' TERM
outcomes=()
failed=0
windows_tests() { # LABEL COMMAND...
  local label="$1" t0 rc=0 line
  shift
  echo "== Windows tests under $label"
  t0=$(date +%s)
  "$@" || rc=$?
  if [ "$rc" -eq 0 ]; then line="passed"; else line="failed (exit code $rc)"; failed=1; fi
  line="== Windows tests under $label: $line in $(( $(date +%s) - t0 )) s"
  echo "$line"
  outcomes+=("$line")
}
# The window's random sequences: seeds 1 to 50 under Wine 10, and 20 more
# (51 to 70) under Wine 8, which runs them about twice as slowly. The clang
# build runs every test but those.
windows_tests "Wine 8" env TOVRIN_SEQUENCE_SEED=51 TOVRIN_SEQUENCE_COUNT=20 \
  xvfb-run -a -s "-screen 0 1024x768x24" scripts/run-wine-tests.sh
windows_tests "Wine 10" env TOVRIN_SEQUENCE_SEED=1 TOVRIN_SEQUENCE_COUNT=50 \
  scripts/run-wine10-tests.sh
windows_tests "Wine 10, clang build" env TOVRIN_PRESET=windows-clang \
  scripts/run-wine10-tests.sh -E '^window_sequence_test$'

echo
printf '%s\n' "${outcomes[@]}"
if [ "$failed" -ne 0 ]; then
  echo "== tests FAILED; total $(( $(date +%s) - started )) s"
  exit 1
fi
echo "== all tests passed in $(( $(date +%s) - started )) s"
