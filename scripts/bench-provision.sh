#!/usr/bin/env bash
# Prints the provisioning figures, each beside a baseline measured in the same
# run, for a stand-in core of 40 MB:
#   - SHA-256 throughput of the native tree's digest (OpenSSL) and of the
#     Windows tree's (CNG under Wine), beside sha256sum on the same file;
#   - core_ready_cached cold (hashes) and warm (two metadata queries, no
#     content read) under Wine;
#   - "provision_core" through the real pipe beside one read and SHA-256 pass
#     of each source plus writing both files, under Wine.
# Provisioning needs a helper whose pins are the stand-in files' digests, so
# this script configures a Windows tree of its own, build/bench-provision/
# windows, and builds only vorn-helper-testpins and the benchmark there.
#
# usage: bench-provision.sh          BENCH_ROUNDS (default 5) rounds per figure
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${BENCH_ROUNDS:-5}
work="$root/build/bench-provision"
tree="$work/windows"
files="$work/files"

"$root/scripts/setup.sh"
"$root/scripts/build.sh" native

mkdir -p "$files"
[[ -s "$files/sing-box.exe" ]] || head -c 40000000 /dev/urandom >"$files/sing-box.exe"
cp "$root/tests/win/standin/wintun-standin.dll" "$files/wintun.dll"
core_pin=$(sha256sum "$files/sing-box.exe" | cut -d' ' -f1)
wintun_pin=$(sha256sum "$files/wintun.dll" | cut -d' ' -f1)

cmake -S "$root" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DVORN_TEST_CORE_SHA256="$core_pin" -DVORN_TEST_WINTUN_SHA256="$wintun_pin" >/dev/null
cmake --build "$tree" -j "$(nproc)" --target vorn-helper-testpins vorn-provision-bench >/dev/null

source "$root/scripts/wine.sh"
wine_setup "$tree"
wine_session_start
bench_exe=$(wine_path "$tree/bench/provision/vorn-provision-bench.exe")
core_src=$(wine_path "$files/sing-box.exe")
wintun_src=$(wine_path "$files/wintun.dll")

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "== SHA-256 of a $(stat -c %s "$files/sing-box.exe")-byte file, median of $rounds"
for _ in $(seq "$rounds"); do
  start=$(date +%s.%N)
  sha256sum "$files/sing-box.exe" >/dev/null
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { print e - s }'
done | median | awk -v n="$(stat -c %s "$files/sing-box.exe")" '{ printf "sha256sum (baseline): %.4f s, %.1f MB/s\n", $1, n / $1 / 1e6 }'
echo -n "native tree (OpenSSL): "
"$root/build/native/bench/provision/vorn-provision-bench" sha "$files/sing-box.exe" "$rounds"
echo -n "Windows tree (CNG, under Wine): "
wine "$bench_exe" sha "$core_src" "$rounds" </dev/null 2>/dev/null | tr -d '\r'

echo
echo "== core_ready_cached under Wine (the product's pins: the stand-in core fails its pin, so a cold call hashes the 40 MB core)"
ready_store="$work/ready-store"
mkdir -p "$ready_store/Vorn/core"
cp "$files/sing-box.exe" "$files/wintun.dll" "$ready_store/Vorn/core/"
wine cmd /c "set ProgramData=$(wine_path "$ready_store")&& $bench_exe ready $((rounds * 4))" </dev/null 2>/dev/null | tr -d '\r'

echo
echo "== provision_core through the pipe under Wine (vorn-helper-testpins pinned to the stand-ins), median of $rounds"
pipe_store="$work/pipe-store"
rm -rf "$pipe_store"
mkdir -p "$pipe_store"
wine cmd /c "set ProgramData=$(wine_path "$pipe_store")&& $(wine_path "$tree/vorn-helper-testpins.exe") console" \
  </dev/null >"$work/helper.log" 2>&1 &
for _ in $(seq 100); do [[ -s "$pipe_store/Vorn/helper.token" ]] && break; sleep 0.1; done
if [[ ! -s "$pipe_store/Vorn/helper.token" ]]; then
  echo "bench-provision: the helper wrote no token" >&2
  cat "$work/helper.log" >&2
  exit 1
fi
wine cmd /c "set ProgramData=$(wine_path "$pipe_store")&& $bench_exe pipe $core_src $wintun_src $rounds" </dev/null 2>&1 | tr -d '\r'
