#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan) and runs each for a
# bounded time on a copy of its seed corpus in fuzz/corpus/<target>.
# usage: fuzz.sh [seconds per target, default 60] [target ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
"$root/scripts/setup.sh"
# clang 14 cannot compile libstdc++ 12's <expected>; clang 19 can.
if ! command -v clang++-19 >/dev/null || ! dpkg-query -W libclang-rt-19-dev >/dev/null 2>&1; then
  if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends clang-19 libclang-rt-19-dev
fi
tree="$root/build/fuzz"
cmake -S "$root" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-19 \
  -DVORN_FUZZ=ON -DVORN_SANITIZE=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer" >/dev/null
cmake --build "$tree" -j "$(nproc)"
targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in "$root"/fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
for t in "${targets[@]}"; do
  work="$root/fuzz/corpus-work/$t"
  mkdir -p "$work"
  [[ -d "$root/fuzz/corpus/$t" ]] && cp -n "$root/fuzz/corpus/$t"/* "$work"/ 2>/dev/null || true
  echo "== $t for ${seconds}s"
  "$tree/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" 2>&1 | tail -15
done
