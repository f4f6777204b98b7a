#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: only missing packages are installed.
set -euo pipefail
packages=(cmake make g++ googletest g++-mingw-w64-x86-64 wine64 xvfb xauth x11-utils
          imagemagick curl ca-certificates python3
          debootstrap debian-archive-keyring gpgv
          clang libclang-rt-dev clang-tidy cppcheck nsis)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
