#!/usr/bin/env bash
# Installs everything the two build trees, the tests and the scripts need, from
# Debian's packages. Safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang python3 pkg-config
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine64
  libasio-dev nlohmann-json3-dev libfmt-dev googletest libssl-dev unicode-data
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
