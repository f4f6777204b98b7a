# Sourced by the scripts: the project's own Wine prefix and programs.
TOVRIN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$TOVRIN_ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No desktop entries of the prefix's shortcuts in the host's home.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
