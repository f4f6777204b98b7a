#!/usr/bin/env bash
# Static analysis of the product code (shell/, launch/, stop/): clang-tidy
# with the checks written down in .clang-tidy, on the compile database of
# the windows-clang preset (so every configuration the build compiles is
# seen, the test build's trail included, but for the strict copy of the
# product), and cppcheck with the build's defines and its Windows API
# knowledge. Exits 0 only with zero findings.
# A finding that is wrong for one line is silenced on that line only, with
# its reason: NOLINTNEXTLINE(check) for clang-tidy, cppcheck-suppress ID for
# cppcheck.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

for tool in clang-tidy cppcheck; do
  command -v "$tool" >/dev/null || { echo "lint: $tool is missing (scripts/prereqs.sh installs it)" >&2; exit 2; }
done
cmake --preset windows-clang >/dev/null
sources=(launch/*.cpp stop/*.cpp shell/*.cpp)
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The strict build compiles the product's own code once more with the test
# layer's checking wrappers force-included: it has no code path that the
# product build lacks, and each configuration costs clang-tidy a full parse
# of the Windows headers, so it is left out here (the trail build, strict as
# well, stays for its own code paths).
python3 - build/windows-clang/compile_commands.json "$work/compile_commands.json" <<'EOF'
import json, sys
entries = json.load(open(sys.argv[1]))
kept = [e for e in entries
        if not ('windows_contract.h' in e['command'] and 'TOVRIN_TEST_TRAIL' not in e['command'])]
json.dump(kept, open(sys.argv[2], 'w'))
EOF

# One file per process, two at a time, the largest first; each prints its
# own findings.
ls -S "${sources[@]}" |
  xargs -P 2 -I{} sh -c 'clang-tidy -p "$2" --quiet "$1" >"$2/tidy-$(echo "$1" | tr / _).txt" 2>&1 || true' sh {} "$work"
cat "$work"/tidy-*.txt >"$work/tidy.txt"
tidy=$(grep -cE '^[^ ]+:[0-9]+:[0-9]+: (warning|error):|^(warning|error):' "$work/tidy.txt" || true)
if [ "$tidy" -ne 0 ]; then
  grep -v -E '^[0-9]+ warnings? generated\.$' "$work/tidy.txt"
fi

# The program's own configuration, then the test build's (TOVRIN_TEST_TRAIL).
cppcheck_run() {
  cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ \
    --library=windows --inline-suppr --quiet \
    --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
    -D_WIN32 -D_WIN64 -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX \
    -D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00 -I launch -I shell -I stop "$@" 2>&1
}
{
  cppcheck_run shell launch stop
  cppcheck_run -DTOVRIN_TEST_TRAIL shell
} >"$work/cppcheck.txt"
cppcheck=$(grep -cE '^[^ ]+:[0-9]+:[0-9]+: ' "$work/cppcheck.txt" || true)
if [ "$cppcheck" -ne 0 ]; then
  cat "$work/cppcheck.txt"
fi

echo "lint: $tidy clang-tidy findings, $cppcheck cppcheck findings in shell/, launch/, stop/"
[ "$tidy" -eq 0 ] && [ "$cppcheck" -eq 0 ]
