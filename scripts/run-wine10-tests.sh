#!/usr/bin/env bash
# Runs the Windows tests a second time, under Wine 10 in the Debian 13 root
# of scripts/wine10-root.sh (made first if needed): the same CTest run as
# run-wine-tests.sh, on the same build tree (TOVRIN_PRESET, as there). Extra
# arguments go to ctest.
#
# The clone is bound into the root at its own path, so the Unix paths
# compiled into the tests hold there too. The run has a prefix of its own
# (build/wine10-prefix; Wine 10 would upgrade the Wine 8 one) and an Xvfb of
# its own, started inside the root before any Wine program of the prefix.
#
#   scripts/run-wine10-tests.sh [CTEST ARGS...]
#   scripts/run-wine10-tests.sh --exec COMMAND...   one command instead
# The root's lock is held from setup to the last unmount.
set -euo pipefail
clone="$(cd "$(dirname "$0")/.." && pwd -P)"
# shellcheck source=wine10-root.sh
source "$clone/scripts/wine10-root.sh"
w10_settings

case "$clone" in
  / | /tmp | /var | /var/lib | /var/lib/* | /proc | /proc/* | /sys | /sys/* | /dev | /dev/* | \
  /usr | /usr/* | /etc | /etc/* | /bin | /bin/* | /sbin | /sbin/* | /lib | /lib/* | /lib64 | \
  /lib64/* | "$W10_CACHE" | "$W10_CACHE"/*)
    w10_die "a clone at $clone would hide part of the root; use a clone elsewhere" ;;
esac
preset="${TOVRIN_PRESET:-windows}"
case "$preset" in windows | windows-clang) ;; *) w10_die "unknown TOVRIN_PRESET $preset" ;; esac
built_from="$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$clone/build/$preset/CMakeCache.txt" 2>/dev/null || true)"
[ "$built_from" = "$clone" ] ||
  w10_die "build/$preset must be built from $clone first (scripts/test.sh does that)"
node_exe="${TOVRIN_NODE_EXE:-$("$clone/scripts/fetch-node.sh")}"
case "$node_exe" in
  "$clone"/*) ;;
  *) w10_die "TOVRIN_NODE_EXE ($node_exe) must lie in the clone to be seen in the root" ;;
esac
prefix="$clone/build/wine10-prefix"

xvfb_pid=""
host_x_lock=""
display=""
# The environment inside is a clean one; of the caller's, only the choice of
# random sequences for the window tests goes in (see scripts/sequences.sh).
sequence_env=()
for name in TOVRIN_SEQUENCE_SEED TOVRIN_SEQUENCE_COUNT; do
  [ -n "${!name:-}" ] && sequence_env+=("$name=${!name}")
done
in_root() {
  w10_chroot "$W10_ROOT" PATH=/usr/bin:/bin WINEPREFIX="$prefix" WINEDEBUG=-all \
    XDG_RUNTIME_DIR=/tmp/xdg-root DISPLAY="$display" TOVRIN_NODE_EXE="$node_exe" \
    TOVRIN_PRESET="$preset" "${sequence_env[@]}" "$@"
}

cleanup() {
  trap '' INT TERM
  if [ -n "$display" ] && mountpoint -q "$W10_ROOT$clone"; then
    timeout 20 chroot "$W10_ROOT" /usr/bin/env -i WINEPREFIX="$prefix" \
      /usr/lib/wine/wineserver -k >/dev/null 2>&1 7>&- || true
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  if [ -n "$host_x_lock" ] && [ "$(tr -d ' \n' <"$host_x_lock" 2>/dev/null)" = "$$" ]; then
    rm -f "$host_x_lock"
  fi
  # Whatever still runs in the root, then every mount, deepest first.
  w10_leave "$W10_PARTIAL" || true
  w10_leave "$W10_ROOT"
}

w10_lock
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
w10_ensure_root
# Programs and mounts left by a run that was killed outright.
w10_leave "$W10_ROOT"
w10_mount "$W10_ROOT" "$clone"
mkdir -m 700 "$W10_ROOT/tmp/xdg-root" 2>/dev/null || chmod 700 "$W10_ROOT/tmp/xdg-root"

# A display number free on both sides: the root has its own /tmp, but X
# servers listen on abstract sockets too, and those are shared with the
# host. Stale files in the root's /tmp are from earlier runs (the lock is
# ours). The host's /tmp/.X<n>-lock file, with our pid, keeps xvfb-run -a
# and Xvfb on the host off the number while this run uses it.
rm -f "$W10_ROOT"/tmp/.X*-lock "$W10_ROOT"/tmp/.X11-unix/X*
display_free() {
  local n="$1" side
  for side in "" "$W10_ROOT"; do
    if [ -e "$side/tmp/.X11-unix/X$n" ] || [ -e "$side/tmp/.X$n-lock" ]; then
      return 1
    fi
  done
  ! grep -qE "@/tmp/\.X11-unix/X$n\$" /proc/net/unix
}
xvfb_log="$clone/build/wine10-xvfb.log"
for n in $(seq 140 199); do
  display_free "$n" || continue
  (set -o noclobber; printf '%10d\n' "$$" >"/tmp/.X$n-lock") 2>/dev/null || continue
  host_x_lock="/tmp/.X$n-lock"
  display=":$n"
  # Started directly (no subshell), so that $! is Xvfb itself.
  chroot "$W10_ROOT" /usr/bin/env -i PATH=/usr/bin:/bin \
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$xvfb_log" 2>&1 7>&- &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -S "$W10_ROOT/tmp/.X11-unix/X$n" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -S "$W10_ROOT/tmp/.X11-unix/X$n" ] && kill -0 "$xvfb_pid" 2>/dev/null && break
  # Taken in the meantime, or Xvfb failed: try the next number.
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
  rm -f "$host_x_lock"
  xvfb_pid="" host_x_lock="" display=""
done
[ -n "$display" ] || w10_die "no X display could be started in the root (see $xvfb_log)"
echo "Wine 10 run: $(in_root /usr/lib/wine/wine64 --version), display $display, prefix $prefix"

# --exec COMMAND...: instead of the tests, one command in the clone inside
# the root (a benchmark, say), with the same prefix and display.
runner=(scripts/run-wine-tests.sh)
if [ "${1:-}" = "--exec" ]; then
  shift
  runner=()
fi
status=0
# shellcheck disable=SC2016
in_root sh -c 'cd "$1" && shift && exec "$@"' sh "$clone" "${runner[@]}" "$@" ||
  status=$?
exit "$status"
