#!/usr/bin/env bash
# Prints the setup figures under Wine: the time of each installer mode of the
# real vorn-helper.exe, from process start to exit, beside the time Wine's
# service manager alone needs for the same registration, start or stop, and
# beside a bare start of the executable. The gap is the cost of the proofs the
# modes add (process inventory, confirmed waits, owned cleanup, image record).
#
# usage: bench-setup.sh [WINDOWS_BUILD_TREE]   (default build/windows, built first)
# BENCH_ROUNDS rounds (default 3); each figure is the median of its rounds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${BENCH_ROUNDS:-3}

"$root/scripts/setup.sh"
if (($# == 0)); then
  tree="$root/build/windows"
  "$root/scripts/build.sh" windows
else
  tree=$(cd "$1" && pwd)
  cmake --build "$tree" -j "$(nproc)" --target vorn-helper vorn-setup-bench
fi

source "$root/scripts/wine.sh"
wine_setup "$tree"
wine_session_start
# The modes register an automatic-start service; whatever happens, none is
# left to start again in later sessions of this prefix.
remove_service() { wine sc delete VornHelper </dev/null >/dev/null 2>&1 || true; }
trap 'remove_service; wine_session_end' EXIT

store="$tree/bench-setup-store"
rm -rf "$store"
mkdir -p "$store/tmp" "$store/pd"
bench=$(wine_path "$tree/bench/setup/vorn-setup-bench.exe")
helper=$(wine_path "$tree/vorn-helper.exe")
wine cmd /c "set ProgramData=$(wine_path "$store/pd")&& set TMP=$(wine_path "$store/tmp")&& set TEMP=$(wine_path "$store/tmp")&& $bench $helper $rounds" </dev/null
echo
echo "== setup log of the runs"
cat "$store/tmp/vorn-setup.log" 2>/dev/null || echo "(none)"
