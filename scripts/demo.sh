#!/usr/bin/env bash
# The main job, end to end: builds the installer (TovrinHost.exe, the real
# Node.js for Windows and the sample sidecar), installs it silently into the
# demo's Wine prefix as a user's installation (on Xvfb when there is no
# display), starts the shell from the installed folder as a user would and
# shows what happened: the address the browser was opened at, what the UI
# served, the status file and the lifecycle log. Then it closes the window,
# shows that the sidecar kept running, and stops it with --stop-existing so
# that nothing is left running; the installation stays (a second run
# upgrades it).
#
#   ./scripts/demo.sh                        # the demo
#   ./scripts/demo.sh --screenshot FILE.png  # also saves a screenshot of the window
#   ./scripts/demo.sh --uninstall            # uninstalls the demo installation
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

screenshot=""
if [ "${1:-}" = "--screenshot" ]; then
  screenshot="$(realpath -m "${2:?--screenshot needs a file name}")"
elif [ "${1:-}" = "--uninstall" ]; then
  export WINEPREFIX="$root/build/demo-prefix"
  source scripts/wine-env.sh
  install="$WINEPREFIX/drive_c/users/$(whoami)/AppData/Local/Programs/Tovrin Host"
  [ -f "$install/uninstall.exe" ] || { echo "Tovrin Host is not installed in the demo prefix."; exit 0; }
  say "Uninstalling silently: uninstall.exe /S"
  # Started without _?=, the uninstaller runs from a copy of itself and its
  # first process ends at once: wait until every program of the prefix has.
  "$WINE" "$install/uninstall.exe" /S
  "$WINESERVER" -w
  tail -n 3 "$WINEPREFIX/drive_c/users/$(whoami)/AppData/Local/TovrinHost/install.log"
  [ ! -e "$install" ] && echo "The installation is gone; Tovrin Host Data stays." && exit 0
  echo "Left in $install:" && find "$install" && exit 1
fi

say "Prerequisites"
scripts/prereqs.sh
say "Building the installer (TovrinHost.exe, Node.js for Windows, the sample sidecar)"
setup="$(scripts/build-installer.sh --out "$root/build/demo/TovrinHost-Setup.exe")"
echo "$setup"

export WINEPREFIX="$root/build/demo-prefix"
source scripts/wine-env.sh
scripts/wine-prefix.sh

# A display: the caller's, or a private Xvfb.
xvfb_pid=""
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
  done
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY="$display"
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
fi

demo="$root/build/demo"
local_dir="$WINEPREFIX/drive_c/users/$(whoami)/AppData/Local"
install="$local_dir/Programs/Tovrin Host"
state="$local_dir/TovrinHost"
cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" >/dev/null 2>&1 || true
}
trap cleanup EXIT

"$WINESERVER" -k >/dev/null 2>&1 || true
"$WINESERVER" -p
# A fresh look at the records; an earlier demo's installation stays and is
# upgraded in place.
rm -rf "$state" "$demo/browser.log"

say "Installing silently: TovrinHost-Setup.exe /S"
setup_status=0
"$WINE" "$setup" /S || setup_status=$?
echo "The installer exited with code $setup_status."
[ "$setup_status" -eq 0 ] || { cat "$state/install.log"; exit 1; }
(cd "$install" && find . -type f | sort | sed 's|^\./|  |')
echo "install.log:"
sed 's/^/  /' "$state/install.log"
"$WINE" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\TovrinHost' 2>/dev/null |
  sed -n 's/^ *\(DisplayName\|DisplayVersion\|InstallLocation\|QuietUninstallString\) .*REG_SZ *\(.*\)/  \1: \2/p'

# The "browser": Wine hands http addresses to the programs listed in this
# registry value; ours records the address.
cat > "$demo/browser.sh" <<EOF
#!/bin/sh
printf '%s\n' "\$1" >> "$demo/browser.log"
EOF
chmod +x "$demo/browser.sh"
"$WINE" reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /t REG_SZ /d "$demo/browser.sh" /f >/dev/null

say "Starting the shell from the installed folder"
"$WINE" "$install/TovrinHost.exe" > "$demo/shell.out" 2>&1 &
shell_pid=$!

for _ in $(seq 600); do
  [ -s "$demo/browser.log" ] && break
  sleep 0.1
done
if [ ! -s "$demo/browser.log" ]; then
  echo "The browser was not opened within 60 s. Status file:"; cat "$state/shell-status.txt" || true
  exit 1
fi
url="$(head -n 1 "$demo/browser.log")"
echo "The shell opened the browser at: $url"

say "What the UI served at that address"
curl -s --max-time 5 "$url" | sed -e '/<style>/,/<\/style>/d' -e '/<title>/d' -e 's/<[^>]*>/ /g' \
  -e 's/  */ /g' -e 's/^ //' -e '/^ *$/d' | sed 's/^/  /'

say "shell-status.txt"
cat "$state/shell-status.txt"
say "sidecar-lifecycle.log"
cat "$state/sidecar-lifecycle.log"

if [ -n "$screenshot" ]; then
  sleep 0.5 # let the status line repaint after the browser step
  mkdir -p "$(dirname "$screenshot")"
  import -window root "$demo/full.png"
  # The window sits where Wine put it; cut it out by its (flat) frame size.
  geometry="$(xwininfo -root -tree | awk '/"Tovrin Host"/ { print $(NF-1); exit }')"
  if [ -n "$geometry" ]; then
    convert "$demo/full.png" -crop "$geometry" +repage "$screenshot"
  else
    cp "$demo/full.png" "$screenshot"
  fi
  echo "Screenshot saved to $screenshot"
fi

say "Closing the window"
"$WINE" taskkill /im TovrinHost.exe >/dev/null 2>&1 || true
shell_status=0
wait "$shell_pid" || shell_status=$?
echo "The shell exited with code $shell_status."
tail -n 1 "$state/sidecar-lifecycle.log"

if curl -s --max-time 5 -o /dev/null "$url"; then
  echo "The sidecar kept running: $url still answers."
else
  echo "The sidecar no longer answers." && exit 1
fi

say "Stopping the sidecar with --stop-existing"
stop_status=0
"$WINE" "$install/TovrinHost.exe" --stop-existing || stop_status=$?
echo "--stop-existing exited with code $stop_status."
cat "$state/upgrade-stop.log"
if curl -s --max-time 2 -o /dev/null "$url"; then
  echo "The sidecar still answers." && exit 1
fi
echo "The sidecar is stopped; nothing is left running."
echo "Tovrin Host stays installed in $install (./scripts/demo.sh --uninstall removes it)."
