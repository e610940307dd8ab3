#!/usr/bin/env bash
# Builds the configuration, output-classifier and output-pump benchmarks in a Release tree
# without sanitizers (the native test tree runs with ASan) and runs them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tree="$root/build/bench-release"
cmake -S "$root" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_SANITIZE=OFF >/dev/null
cmake --build "$tree" -j "$(nproc)" --target config_bench classify_bench pump_bench
"$tree/bench/config_bench"
echo
"$tree/bench/classify_bench"
echo
"$tree/bench/pump_bench"
