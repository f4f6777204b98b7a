#!/usr/bin/env bash
# The main job, end to end: builds TovrinHost.exe, lays out a demo
# installation with the real Node.js for Windows and the sample sidecar,
# starts the shell under Wine (on Xvfb when there is no display) and shows
# what happened: the address the browser was opened at, what the UI served,
# the status file and the lifecycle log. Then it closes the window, shows
# that the sidecar kept running, and stops it with --stop-existing so that
# nothing is left behind.
#
#   ./scripts/demo.sh                        # the demo
#   ./scripts/demo.sh --screenshot FILE.png  # also saves a screenshot of the window
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

screenshot=""
if [ "${1:-}" = "--screenshot" ]; then
  screenshot="$(realpath -m "${2:?--screenshot needs a file name}")"
fi

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

say "Prerequisites"
scripts/prereqs.sh
say "Building TovrinHost.exe"
cmake --preset windows >/dev/null
cmake --build --preset windows --target TovrinHost
node_exe="$(scripts/fetch-node.sh)"

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
install="$demo/Tovrin Host"          # a blank in the path, as under Program Files
state="$WINEPREFIX/drive_c/users/$(whoami)/AppData/Local/TovrinHost"
cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" >/dev/null 2>&1 || true
}
trap cleanup EXIT

"$WINESERVER" -k >/dev/null 2>&1 || true
"$WINESERVER" -p

say "Laying out a demo installation in $install"
rm -rf "$demo"
mkdir -p "$install/runtime/node" "$install/runtime/dist"
cp build/windows/TovrinHost.exe "$install/"
cp "$node_exe" "$install/runtime/node/node.exe"
cp sample/sidecar/hostRuntimeCli.js "$install/runtime/dist/"
release="$(git rev-parse HEAD 2>/dev/null || echo 0123456789abcdef0123456789abcdef01234567)"
printf '{\n  "gitSha": "%s"\n}\n' "$release" > "$install/host-release.json"
rm -rf "$state"
(cd "$demo" && find "Tovrin Host" -type f | sort | sed 's/^/  /')

# The "browser": Wine hands http addresses to the programs listed in this
# registry value; ours records the address.
cat > "$demo/browser.sh" <<EOF
#!/bin/sh
printf '%s\n' "\$1" >> "$demo/browser.log"
EOF
chmod +x "$demo/browser.sh"
"$WINE" reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /t REG_SZ /d "$demo/browser.sh" /f >/dev/null

say "Starting the shell"
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
