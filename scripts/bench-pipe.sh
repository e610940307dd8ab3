#!/usr/bin/env bash
# Prints the pipe benchmark's figures: ping round trips per second from 1 and
# from 32 concurrent clients against the console host under Wine, beside the
# same against the minimal overlapped echo server, with their ratio; and the
# idle resident memory of both servers' Wine processes.
#
# usage: bench-pipe.sh [WINDOWS_BUILD_TREE]   (default build/windows, built first)
# The two servers take turns for BENCH_ROUNDS rounds (default 2) of
# BENCH_SECONDS per run (default 5), each round on a fresh server process, so
# that a drift of the machine's load affects both alike; a rate is the mean
# of its rounds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${BENCH_SECONDS:-5}
rounds=${BENCH_ROUNDS:-2}
warmup_seconds=2
idle_seconds=3
pipe='\\.\pipe\vorn-helper'

"$root/scripts/setup.sh"
if (($# == 0)); then
  tree="$root/build/windows"
  "$root/scripts/build.sh" windows
else
  tree=$(cd "$1" && pwd)
  cmake --build "$tree" -j "$(nproc)" --target vorn-helper vorn-pipe-bench vorn-pipe-echo
fi

source "$root/scripts/wine.sh"
wine_setup "$tree"
wine_session_start

store="$tree/bench-store"
bench=$(wine_path "$tree/bench/pipe/vorn-pipe-bench.exe")

# The Linux process of a Windows program of this prefix: other prefixes may
# run the same program at the same time.
wine_pid() {
  local exe=$1 dir first
  for dir in /proc/[0-9]*; do
    first=$(tr '\0' '\n' 2>/dev/null <"$dir/cmdline" | head -n 1) || continue
    [[ $first == *"\\$exe" || $first == *"/$exe" ]] || continue
    tr '\0' '\n' 2>/dev/null <"$dir/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    basename "$dir"
    return 0
  done
  return 1
}

wait_for_pid() {
  local exe=$1 pid
  for _ in $(seq 100); do
    if pid=$(wine_pid "$exe"); then
      echo "$pid"
      return 0
    fi
    sleep 0.1
  done
  echo "bench-pipe: $exe did not start" >&2
  return 1
}

status_field() {
  awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"
}

# Only one server may hold the name at a time: Wine ignores
# FILE_FLAG_FIRST_PIPE_INSTANCE, so a second one would listen too.
stop_server() {
  local pid=$1
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 100); do
    [[ -d /proc/$pid ]] || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  sleep 0.5
}

# One client run; prints its line to stderr and its rate to stdout.
run_clients() {
  local clients=$1 run_seconds=$2 line
  line=$(timeout $((run_seconds + 60)) wine "$bench" "$pipe" "$token_file" "$clients" "$run_seconds" </dev/null) || true
  echo "  $line" >&2
  sed -n 's/.* rate=\([0-9.]*\).*/\1/p' <<<"$line"
}

# Measures the server whose Linux process is $1 and adds its figures to
# the arrays named by $2: rates at 1 and 32 clients summed over the rounds,
# then idle and after-load VmRSS and thread count of the first round.
measure() {
  local pid=$1
  local -n into=$2
  local idle rate_1 rate_32
  sleep "$idle_seconds"
  idle=$(status_field "$pid" VmRSS)
  echo "  warm-up, 32 clients, $warmup_seconds s" >&2
  run_clients 32 "$warmup_seconds" >/dev/null
  rate_1=$(run_clients 1 "$seconds")
  rate_32=$(run_clients 32 "$seconds")
  into[0]=$(awk -v a="${into[0]:-0}" -v b="${rate_1:-0}" 'BEGIN { print a + b }')
  into[1]=$(awk -v a="${into[1]:-0}" -v b="${rate_32:-0}" 'BEGIN { print a + b }')
  if [[ -z ${into[2]:-} ]]; then
    into[4]=$(status_field "$pid" Threads)
    sleep "$idle_seconds"
    into[2]=$idle
    into[3]=$(status_field "$pid" VmRSS)
  fi
}

run_helper() {
  echo "== round $1, helper: vorn-helper.exe console (ProgramData=$(wine_path "$store"))"
  wine cmd /c "set ProgramData=$(wine_path "$store")&& $(wine_path "$tree/vorn-helper.exe") console" \
    </dev/null >"$tree/bench-helper.log" 2>&1 &
  for _ in $(seq 100); do [[ -s "$store/Vorn/helper.token" ]] && break; sleep 0.1; done
  if [[ ! -s "$store/Vorn/helper.token" ]]; then
    echo "bench-pipe: the helper wrote no token" >&2
    cat "$tree/bench-helper.log" >&2
    exit 1
  fi
  local pid
  pid=$(wait_for_pid vorn-helper.exe)
  measure "$pid" helper
  stop_server "$pid"
}

run_echo() {
  echo "== round $1, echo server: vorn-pipe-echo.exe"
  wine "$(wine_path "$tree/bench/pipe/vorn-pipe-echo.exe")" "$pipe" 120 </dev/null >"$tree/bench-echo.log" 2>&1 &
  local pid
  pid=$(wait_for_pid vorn-pipe-echo.exe)
  for _ in $(seq 100); do [[ -s "$tree/bench-echo.log" ]] && break; sleep 0.1; done
  measure "$pid" echo
  stop_server "$pid"
}

rm -rf "$store"
mkdir -p "$store"
token_file="$(wine_path "$store")\\Vorn\\helper.token"
helper=()
echo=()
for round in $(seq "$rounds"); do
  run_helper "$round"
  run_echo "$round"
done

mean() { awk -v a="$1" -v n="$rounds" 'BEGIN { printf "%.1f", a / n }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
echo
echo "== ping round trips per second, mean of $rounds rounds of $seconds s (goal: ratio at least 0.80)"
printf '%-8s %12s %12s %7s\n' clients "helper rt/s" "echo rt/s" ratio
printf '%-8s %12s %12s %7s\n' 1 "$(mean "${helper[0]}")" "$(mean "${echo[0]}")" "$(ratio "${helper[0]}" "${echo[0]}")"
printf '%-8s %12s %12s %7s\n' 32 "$(mean "${helper[1]}")" "$(mean "${echo[1]}")" "$(ratio "${helper[1]}" "${echo[1]}")"
echo
echo "== resident memory of the Wine process (VmRSS, KiB; first round)"
printf '%-8s %12s %12s %8s\n' server "idle" "after load" threads
printf '%-8s %12s %12s %8s\n' helper "${helper[2]}" "${helper[3]}" "${helper[4]}"
printf '%-8s %12s %12s %8s\n' echo "${echo[2]}" "${echo[3]}" "${echo[4]}"
