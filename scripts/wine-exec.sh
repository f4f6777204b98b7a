#!/usr/bin/env bash
# Runs a Windows program under the project's Wine prefix (CTest's emulator).
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
"$(dirname "$0")/wine-prefix.sh"
exec "$WINE" "$@"
