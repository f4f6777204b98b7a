#!/usr/bin/env bash
# Runs a Windows test program under Wine with SHA-256 digests computed here,
# on the Linux side, so that the tests compare the product's digest with one
# made independently of it:
#   TOVRIN_TEST_EXE_SHA256  the test program itself
#   TOVRIN_HOST_EXE_SHA256  the program as the tests start it (tests/strict)
# Usage: run_with_sha.sh TEST_EXE HOST_EXE [ARGS...]
set -euo pipefail
test_exe="$1"
host_exe="$2"
shift 2
TOVRIN_TEST_EXE_SHA256="$(sha256sum "$test_exe" | cut -d' ' -f1)"
TOVRIN_HOST_EXE_SHA256="$(sha256sum "$host_exe" | cut -d' ' -f1)"
export TOVRIN_TEST_EXE_SHA256 TOVRIN_HOST_EXE_SHA256
exec "$(dirname "$0")/../../scripts/wine-exec.sh" "$test_exe" "$@"
