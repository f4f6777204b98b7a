#!/usr/bin/env bash
# The Debian 13 root with Wine 10 from Debian's packages, where the Windows
# tests run a second time (scripts/run-wine10-tests.sh). Wine 10 reports the
# real owner of a loopback listener, which Wine 8 reports as pid 0.
#
# The root lives outside the clone, in a cache folder that every clone on the
# machine shares (TOVRIN_CACHE_DIR, default /var/cache/tovrin-host):
#   debian13-wine10/          the finished root, with its ready marker
#   debian13-wine10.partial/  a root being made; renamed once complete
#   debian13-wine10.lock      flock: one setup or test run at a time
#
#   scripts/wine10-root.sh           makes the root unless it is ready
#   scripts/wine10-root.sh --remove  unmounts what is left and deletes it
#
# Sourced, it only defines the w10_* functions and settings.
#
# While in use the root holds bind mounts of the host's /dev, /dev/pts,
# /dev/shm and /sys and of the clone. A recursive delete that walks into one
# of them deletes the host's files, so every delete goes through
# w10_remove_tree: it unmounts first, checks that nothing is mounted below any
# more, and then removes on one file system only.

W10_CACHE="${TOVRIN_CACHE_DIR:-/var/cache/tovrin-host}"
W10_MIRROR="http://deb.debian.org/debian"
W10_PACKAGES=(wine64 wine xvfb xauth libxrender1 libxrandr2 libxi6 libxcursor1 libxcomposite1
              libxinerama1 libxfixes3 libgnutls30t64 cmake)
# The ready marker holds this line; a root made from another recipe is made
# again rather than patched.
W10_RECIPE="debootstrap minbase trixie; ${W10_PACKAGES[*]}"
W10_MARK=.tovrin-root-ready

w10_die() { echo "wine10-root: $*" >&2; exit 1; }

w10_settings() {
  case "$W10_CACHE" in /?*) ;; *) w10_die "TOVRIN_CACHE_DIR must be an absolute path" ;; esac
  mkdir -p "$W10_CACHE"
  # The kernel lists mounts by their resolved path; compare like with like.
  W10_CACHE="$(realpath "$W10_CACHE")"
  [ "$W10_CACHE" != / ] || w10_die "TOVRIN_CACHE_DIR must not be /"
  W10_ROOT="$W10_CACHE/debian13-wine10"
  W10_PARTIAL="$W10_ROOT.partial"
  W10_LOCK="$W10_ROOT.lock"
}

# Only the two root folders are ever unmounted below or deleted.
w10_guard() {
  [ "$1" = "$W10_ROOT" ] || [ "$1" = "$W10_PARTIAL" ] || w10_die "refusing to touch $1"
}

# Takes the lock on fd 7 for the rest of the caller's life. Every program
# started while holding it gets fd 7 closed, so that a program left running
# cannot keep the lock.
w10_lock() {
  exec 7>>"$W10_LOCK"
  if ! flock -n 7; then
    echo "Waiting for another run that uses $W10_ROOT ..." >&2
    flock 7
  fi
}

# Mount points at or below $1, deepest first.
w10_mounts_below() {
  local dir="$1" m
  while read -r _ _ _ _ m _; do
    m="$(printf '%b' "$m")"   # mountinfo writes blanks and backslashes as \ooo
    case "$m" in "$dir" | "$dir"/*) printf '%s\t%s\n' "${#m}" "$m" ;; esac
  done </proc/self/mountinfo | sort -rn -k1,1 | cut -f2-
}

w10_unmount_below() {
  local dir="$1" m mounts
  w10_guard "$dir"
  for _ in 1 2 3 4 5; do
    mounts="$(w10_mounts_below "$dir")"
    [ -n "$mounts" ] || return 0
    while IFS= read -r m; do
      umount -l "$m" 2>/dev/null || true
    done <<<"$mounts"
  done
  [ -z "$(w10_mounts_below "$dir")" ]
}

# Pids of processes whose root folder is $1 (programs a run left behind).
w10_processes_in() {
  local dir="$1" p r
  for p in /proc/[0-9]*; do
    r="$(readlink "$p/root" 2>/dev/null)" || continue
    case "$r" in "$dir" | "$dir"/*) echo "${p#/proc/}" ;; esac
  done
}

w10_stop_processes() {
  local dir="$1" pids
  w10_guard "$dir"
  pids="$(w10_processes_in "$dir")"
  [ -n "$pids" ] || return 0
  # shellcheck disable=SC2086
  kill -TERM $pids 2>/dev/null || true
  for _ in $(seq 30); do
    sleep 0.1
    pids="$(w10_processes_in "$dir")"
    [ -n "$pids" ] || return 0
  done
  # shellcheck disable=SC2086
  kill -KILL $pids 2>/dev/null || true
  sleep 0.2
}

# Stops what still runs in the root and undoes every mount below it.
w10_leave() {
  local dir="$1"
  w10_guard "$dir"
  [ -d "$dir" ] || return 0
  w10_stop_processes "$dir"
  if ! w10_unmount_below "$dir"; then
    echo "wine10-root: still mounted below $dir:" >&2
    w10_mounts_below "$dir" >&2
    return 1
  fi
}

w10_remove_tree() {
  local dir="$1"
  w10_guard "$dir"
  [ -e "$dir" ] || return 0
  w10_leave "$dir" || w10_die "not removing $dir while something is mounted below it"
  rm -rf --one-file-system -- "$dir"
  [ ! -e "$dir" ] || w10_die "could not remove $dir"
}

# Binds $1 at $2 (inside a root) unless $2 is already a mount point. The
# target must not pass through a symbolic link, which could lead out of the
# root. Private, so that mounts below it never show up on the host's side.
w10_bind() {
  local src="$1" dst="$2"
  [ "$(realpath -m "$dst")" = "$dst" ] || w10_die "$dst leads out of the root"
  mkdir -p "$dst"
  mountpoint -q "$dst" && return 0
  mount --bind "$src" "$dst"
  mount --make-private "$dst"
}

# What a root needs for apt and Wine; with a second argument, that folder (a
# clone) is bound at the same path, so the paths compiled into its build work.
w10_mount() {
  local root="$1" clone="${2:-}"
  w10_guard "$root"
  w10_bind /dev "$root/dev"
  w10_bind /dev/pts "$root/dev/pts"
  w10_bind /dev/shm "$root/dev/shm"
  w10_bind /sys "$root/sys"
  mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
  if [ -n "$clone" ]; then
    w10_bind "$clone" "$root$clone"
  fi
}

# Runs a command in the root with a clean environment; extra NAME=value
# words before the command are passed on.
w10_chroot() {
  local root="$1"
  shift
  chroot "$root" /usr/bin/env -i HOME=/root USER=root LOGNAME=root LANG=C.UTF-8 \
    PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@" 7>&-
}

w10_root_ready() {
  [ -f "$W10_ROOT/$W10_MARK" ] && [ "$(cat "$W10_ROOT/$W10_MARK")" = "$W10_RECIPE" ]
}

# Makes the root unless it is ready; the caller holds the lock and has set
# an exit trap that calls w10_leave for both folders. Anything half-made (an
# interrupted setup, a root of another recipe) is removed and made again.
w10_ensure_root() {
  if w10_root_ready; then
    echo "The Wine 10 root is ready: $W10_ROOT"
    return 0
  fi
  local started=$SECONDS
  echo "== Making the Debian 13 root with Wine 10 in $W10_ROOT"
  local old
  for old in "$W10_PARTIAL" "$W10_ROOT"; do
    if [ -e "$old" ]; then
      echo "Removing the unfinished or outdated $old"
      w10_remove_tree "$old"
    fi
  done
  mkdir -p "$W10_PARTIAL"
  # An explicit keyring: fail rather than fetch an unchecked archive.
  debootstrap --variant=minbase --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
    trixie "$W10_PARTIAL" "$W10_MIRROR" 7>&-
  cp -L /etc/resolv.conf "$W10_PARTIAL/etc/resolv.conf"
  # Packages must not start services in the root.
  printf '#!/bin/sh\nexit 101\n' >"$W10_PARTIAL/usr/sbin/policy-rc.d"
  chmod 755 "$W10_PARTIAL/usr/sbin/policy-rc.d"
  w10_mount "$W10_PARTIAL"
  w10_chroot "$W10_PARTIAL" apt-get update -q
  w10_chroot "$W10_PARTIAL" DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${W10_PACKAGES[@]}"
  w10_chroot "$W10_PARTIAL" apt-get clean
  # What the test run uses inside: the Wine loader and server, Xvfb, CTest,
  # and the shell tools of the helper scripts.
  w10_chroot "$W10_PARTIAL" sh -c 'for p in /usr/lib/wine/wine64 /usr/lib/wine/wineserver \
      /usr/bin/Xvfb /usr/bin/ctest /bin/bash /bin/sh /usr/bin/sha256sum /usr/bin/flock; do
      [ -x "$p" ] || { echo "missing in the root: $p" >&2; exit 1; }; done'
  echo "Wine in the root: $(w10_chroot "$W10_PARTIAL" /usr/lib/wine/wine64 --version)"
  w10_leave "$W10_PARTIAL" || w10_die "could not unmount below $W10_PARTIAL"
  printf '%s\n' "$W10_RECIPE" >"$W10_PARTIAL/$W10_MARK"
  sync -f "$W10_PARTIAL/$W10_MARK"
  mv -T "$W10_PARTIAL" "$W10_ROOT"
  echo "The Wine 10 root was made in $((SECONDS - started)) s:" \
    "$(du -sh --one-file-system "$W10_ROOT" | cut -f1) in $W10_ROOT"
}

w10_main() {
  set -euo pipefail
  w10_settings
  case "${1:-}" in
    "")
      w10_lock
      trap 'w10_leave "$W10_PARTIAL"; w10_leave "$W10_ROOT"' EXIT
      trap 'exit 130' INT
      trap 'exit 143' TERM
      w10_ensure_root
      ;;
    --remove)
      w10_lock
      w10_remove_tree "$W10_PARTIAL"
      w10_remove_tree "$W10_ROOT"
      echo "Removed $W10_ROOT"
      ;;
    *)
      echo "usage: $0 [--remove]" >&2
      exit 2
      ;;
  esac
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  w10_main "$@"
fi
