#!/usr/bin/env bash
# Builds the launch policy's libFuzzer targets (fuzz/, native clang with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each for SECONDS.
# Every target compares the code with a model of its rule, so a finding is a
# broken rule as well as a crash. A finding fails the run and names the
# input that reproduces it (run the target with that file to see it again).
#
#   scripts/fuzz.sh SECONDS [TARGET...]
#
# The last line is "fuzz: N targets, S s each, E executions, F failures".
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-}"
case "$seconds" in
  '' | *[!0-9]* | 0) echo "usage: $0 SECONDS [TARGET...]" >&2; exit 2 ;;
esac
shift

build="$root/build/fuzz"
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j 2 >"$build.log" 2>&1 || { cat "$build.log"; exit 1; }

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$root"/fuzz/fuzz_*.cpp; do
    t="${f##*/}"
    targets+=("${t%.cpp}")
  done
fi
# Longest input per target: the path and command-line rules have limits at
# 1199, 1200 and 4096 bytes that the inputs must be able to cross.
max_len() {
  case "$1" in
    fuzz_quote_arg) echo 9000 ;;
    fuzz_norm_path | fuzz_install_paths) echo 3000 ;;
    fuzz_classify_listener | fuzz_stop_plan) echo 2048 ;;
    *) echo 512 ;;
  esac
}

mkdir -p "$build/findings" "$build/logs"
total=0
failures=0
for t in "${targets[@]}"; do
  [ -x "$build/$t" ] || { echo "fuzz: no target $t" >&2; exit 2; }
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  log="$build/logs/$t.log"
  rc=0
  "$build/$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -dict="$root/fuzz/launch.dict" \
    -artifact_prefix="$build/findings/$t-" "$corpus" >"$log" 2>&1 || rc=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  runs="${runs:-0}"
  total=$((total + runs))
  if [ "$rc" -ne 0 ]; then
    failures=$((failures + 1))
    reproducer="$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)"
    echo "$t: FAILED after $runs executions (exit code $rc); reproducer: ${reproducer:-none written}"
    grep -m 12 -E -A 3 '^property failed|ERROR: (AddressSanitizer|libFuzzer)|runtime error' "$log" |
      sed 's/^/  /' || true
    echo "  log: $log; run again: $build/$t ${reproducer:-}"
  else
    echo "$t: $runs executions in $seconds s, no finding"
  fi
done
echo "fuzz: ${#targets[@]} targets, $seconds s each, $total executions, $failures failures"
[ "$failures" -eq 0 ]
