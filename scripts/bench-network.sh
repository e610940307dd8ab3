#!/usr/bin/env bash
# Prints the network figures: the bypass snapshot on a large fake stack
# (native Release tree, no sanitizers) with its platform calls by kind, and
# one bounded stale-adapter cleanup on Wine's empty device set beside the bare
# cost of starting and joining a thread.
#
# usage: bench-network.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

native="$root/build/bench-release"
cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_SANITIZE=OFF >/dev/null
cmake --build "$native" -j "$(nproc)" --target snapshot_bench
echo "== baseline bypass snapshot (native, fake stack)"
"$native/bench/snapshot_bench"

windows="$root/build/windows"
cmake -S "$root" -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$windows" -j "$(nproc)" --target vorn-cleanup-bench
source "$root/scripts/wine.sh"
wine_setup "$windows"
wine_session_start
echo
echo "== bounded stale-adapter cleanup (Wine, empty network device set)"
wine "$(wine_path "$windows/bench/network/vorn-cleanup-bench.exe")" </dev/null
