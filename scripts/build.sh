#!/usr/bin/env bash
# Configures and builds both trees: build/native (unit tests with ASan and
# UBSan, benchmarks) and build/windows (the .exe and the Wine tests).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

# The stand-in files whose digests become the pins of vorn-helper-testpins, the
# test-only build of the helper (paths relative to the repository). Switch
# them here: the build copies them to tests/standin-core.exe and
# tests/standin-wintun.dll in the Windows tree, where the Wine tests find them.
TEST_PIN_CORE_FILE=build/windows/tests/vorn-stand-in-core.exe
TEST_PIN_WINTUN_FILE=tests/win/standin/wintun-standin.dll

build_native() {
  cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build "$root/build/native" -j "$jobs"
}
# Two passes: the stand-in core is built by the first, so only then are the
# test pins known; the second reconfigures with them, which rebuilds the one
# source that holds the pins and links vorn-helper-testpins.
build_windows() {
  local tree="$root/build/windows"
  cmake -S "$root" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$tree" -j "$jobs"
  cmake -E copy_if_different "$root/$TEST_PIN_CORE_FILE" "$tree/tests/standin-core.exe"
  cmake -E copy_if_different "$root/$TEST_PIN_WINTUN_FILE" "$tree/tests/standin-wintun.dll"
  local core_pin wintun_pin
  core_pin=$(sha256sum "$tree/tests/standin-core.exe" | cut -d' ' -f1)
  wintun_pin=$(sha256sum "$tree/tests/standin-wintun.dll" | cut -d' ' -f1)
  cmake -S "$root" -B "$tree" -DVORN_TEST_CORE_SHA256="$core_pin" -DVORN_TEST_WINTUN_SHA256="$wintun_pin" >/dev/null
  cmake --build "$tree" -j "$jobs" --target vorn-helper-testpins
}

case "${1:-all}" in
  native) build_native ;;
  windows) build_windows ;;
  all) build_native && build_windows ;;
  *) echo "usage: build.sh [native|windows|all]" >&2; exit 2 ;;
esac
