#!/usr/bin/env bash
# Runs more of the window's random sequences than the suite does (not part
# of the suite). Each sequence is a seed; a failure names its seed.
#
#   scripts/sequences.sh [FIRST_SEED] [COUNT] [wine8|wine10|both]
#
# Defaults: seeds 1 to 50, under both Wines. The suite runs seeds 1-50
# under Wine 10 and 51-70 under Wine 8. Builds what it needs first.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
export TOVRIN_SEQUENCE_SEED="${1:-1}" TOVRIN_SEQUENCE_COUNT="${2:-50}"
runtimes="${3:-both}"
scripts/prereqs.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target window_e2e_test
export TOVRIN_NODE_EXE="$(scripts/fetch-node.sh)"
status=0
if [ "$runtimes" != wine10 ]; then
  echo "== Wine 8: seeds $TOVRIN_SEQUENCE_SEED to $((TOVRIN_SEQUENCE_SEED + TOVRIN_SEQUENCE_COUNT - 1))"
  xvfb-run -a -s "-screen 0 1024x768x24" scripts/run-wine-tests.sh -R '^window_sequence_test$' -V ||
    status=1
fi
if [ "$runtimes" != wine8 ]; then
  echo "== Wine 10: seeds $TOVRIN_SEQUENCE_SEED to $((TOVRIN_SEQUENCE_SEED + TOVRIN_SEQUENCE_COUNT - 1))"
  scripts/run-wine10-tests.sh -R '^window_sequence_test$' -V || status=1
fi
exit $status
