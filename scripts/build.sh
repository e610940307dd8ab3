#!/usr/bin/env bash
# Configures and builds both trees: build/native (unit tests with ASan and
# UBSan, benchmarks) and build/windows (the .exe and the Wine tests).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

build_native() {
  cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build "$root/build/native" -j "$jobs"
}
build_windows() {
  cmake -S "$root" -B "$root/build/windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$root/build/windows" -j "$jobs"
}

case "${1:-all}" in
  native) build_native ;;
  windows) build_windows ;;
  all) build_native && build_windows ;;
  *) echo "usage: build.sh [native|windows|all]" >&2; exit 2 ;;
esac
