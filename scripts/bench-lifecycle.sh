#!/usr/bin/env bash
# Prints the core lifecycle's figures under Wine, each beside a baseline
# measured in the same run:
#   1. "connect" with a stand-in core padded to 40 MB, beside one read, one
#      SHA-256 pass and one spawn of that file; and how often a connect reads
#      and hashes the core, with the helper's own stage times;
#   2. "status" with a warm readiness cache beside "ping", and
#      "disconnect_owned" of a running core;
#   3. the output pumps' lines per second from a core printing 50 MB of short
#      lines, beside a plain read of the same kind of pipe in the pumps' 8 KiB
#      reads and in 64 KiB reads;
#   4. the helper's handle count and resident memory before and after many
#      connect and disconnect_owned cycles, run with an unpadded core by a
#      helper rebuilt pinned to it.
# The padded core needs a helper pinned to its digest, so this script builds
# the stand-in, vorn-helper-testpins and the benchmark in a Windows tree of its
# own, build/bench-lifecycle/windows.
#
# usage: bench-lifecycle.sh
#   BENCH_ROUNDS (default 5) rounds of the baseline and of the connect figure,
#   BENCH_SECONDS (default 5) per request rate,
#   BENCH_CYCLES (default 1000) cycles, cut short after BENCH_CYCLE_SECONDS (default 900).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${BENCH_ROUNDS:-5}
seconds=${BENCH_SECONDS:-5}
cycles=${BENCH_CYCLES:-1000}
cycle_seconds=${BENCH_CYCLE_SECONDS:-900}
core_bytes=40000000
flood_bytes=50000000
work="$root/build/bench-lifecycle"
tree="$work/windows"
files="$work/files"

"$root/scripts/setup.sh"
toolchain=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake")
cmake -S "$root" -B "$tree" "${toolchain[@]}" >/dev/null
mkdir -p "$work"
build() { cmake --build "$tree" -j "$(nproc)" --target "$@" >"$work/build.log" || { cat "$work/build.log" >&2; exit 1; }; }
build vorn-stand-in-core vorn-lifecycle-bench

# The stand-in with 40 MB appended after its image: Windows loads only the
# sections, so it runs as before while the helper reads and hashes 40 MB.
mkdir -p "$files"
if [[ ! -s "$files/sing-box.exe" || "$tree/tests/vorn-stand-in-core.exe" -nt "$files/sing-box.exe" ]]; then
  cp "$tree/tests/vorn-stand-in-core.exe" "$files/sing-box.exe"
  head -c $((core_bytes - $(stat -c %s "$files/sing-box.exe"))) /dev/urandom >>"$files/sing-box.exe"
fi
cp "$root/tests/win/standin/wintun-standin.dll" "$files/wintun.dll"
cmake -S "$root" -B "$tree" -DVORN_TEST_CORE_SHA256="$(sha256sum "$files/sing-box.exe" | cut -d' ' -f1)" \
  -DVORN_TEST_WINTUN_SHA256="$(sha256sum "$files/wintun.dll" | cut -d' ' -f1)" >/dev/null
build vorn-helper-testpins

source "$root/scripts/wine.sh"
wine_setup "$tree"
wine_session_start

bench="$tree/bench/lifecycle/vorn-lifecycle-bench.exe"
store="$work/store"
scratch="$work/scratch"
rm -rf "$store" "$scratch"
mkdir -p "$store" "$scratch"
token=$(wine_path "$store/Vorn/helper.token")
json_text() { python3 -c 'import json,sys; print(json.dumps(sys.argv[1]))' "$1"; }
# Writes a file the benchmark reads; prints its Windows path.
put() {
  printf '%s' "$2" >"$work/$1"
  wine_path "$work/$1"
}
# A benchmark run whose output goes to a file: the console host may hold a
# pipe open after the program ended.
run_bench() {
  local out="$work/bench.out"
  wine "$bench" "$@" </dev/null >"$out" 2>&1 || true
  tr -d '\r' <"$out"
}
field() { sed -n "s/.*\b$1=\([0-9.]*\).*/\1/p" <<<"$2" | head -n 1; }

# The Linux process of the helper in this prefix.
wine_pid() {
  local dir first
  for dir in /proc/[0-9]*; do
    first=$(tr '\0' '\n' 2>/dev/null <"$dir/cmdline" | head -n 1) || continue
    [[ $first == *'\vorn-helper-testpins.exe' || $first == */vorn-helper-testpins.exe ]] || continue
    tr '\0' '\n' 2>/dev/null <"$dir/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    basename "$dir"
    return 0
  done
  return 1
}

echo "== starting vorn-helper-testpins.exe console, pinned to a $(stat -c %s "$files/sing-box.exe")-byte stand-in core"
wine cmd /c "set ProgramData=$(wine_path "$store")&& $(wine_path "$tree/vorn-helper-testpins.exe") console" \
  </dev/null >"$work/helper.log" 2>&1 &
for _ in $(seq 100); do [[ -s "$store/Vorn/helper.token" ]] && break; sleep 0.1; done
if [[ ! -s "$store/Vorn/helper.token" ]]; then
  echo "bench-lifecycle: the helper wrote no token" >&2
  cat "$work/helper.log" >&2
  exit 1
fi
helper_pid=
for _ in $(seq 100); do helper_pid=$(wine_pid) && break; sleep 0.1; done
provision=$(put provision.json "{\"cmd\":\"provision_core\",\"core_src\":$(json_text "$(wine_path "$files/sing-box.exe")"),\"wintun_src\":$(json_text "$(wine_path "$files/wintun.dll")")}")
run_bench rate "$token" "$provision" 0.001 >/dev/null
status=$(run_bench rate "$token" "$(put status.json '{"cmd":"status"}')" 0.001)
[[ $(field round_trips "$status") == 1 ]] || { echo "bench-lifecycle: status failed after provisioning" >&2; exit 1; }

runs_config='{"stand_in":{"launches":[{"stdout":["INFO stand-in core started"]}]}}'
connect=$(put connect.json "{\"cmd\":\"connect\",\"kill_switch\":false,\"config_json\":$(json_text "$runs_config")}")
exit_config=$(put exit-config.json '{"stand_in":{"launches":[{"exit_code":0}]}}')

echo
echo "== 1. connect with a 40 MB core, median of $rounds"
base=$(run_bench baseline "$(wine_path "$files/sing-box.exe")" "$exit_config" "$(wine_path "$scratch")" "$rounds")
echo "baseline: $base"
cyc=$(run_bench cycle "$token" "$connect" "$rounds" 600)
echo "helper:   $cyc"
echo "connect / baseline: $(awk -v a="$(field connect_ms "$cyc")" -v b="$(field baseline_ms "$base")" 'BEGIN { printf "%.2f", a / b }')"
echo "per connect the helper reads the 40 MB core 3 times and hashes 40 MB 4 times:"
echo "  core_files_trusted: read + SHA-256 of the trusted core (and of wintun.dll)"
echo "  launch: read + SHA-256 of the trusted core again (the bytes that are launched)"
echo "  private image: read of the installed image, SHA-256 of it and of the launch bytes"
echo "  helper's own stage times of the last connect (ms):"
run_bench ask "$token" "$(put logs.json '{"cmd":"logs","since":0}')" |
  grep -o 'stage=[a-z_]* elapsed_ms=[0-9]*' | grep -E 'stage=(launch_|verified_core_spawn)' |
  awk '{ last[$1] = $2 } END { for (s in last) printf "    %-32s %s\n", s, last[s] }' | sort

echo
echo "== 2. status with a warm readiness cache beside ping, one client, $seconds s each (goal: at most 1.50)"
ping=$(run_bench rate "$token" "$(put ping.json '{"cmd":"ping"}')" "$seconds")
echo "ping:   $ping"
run_bench rate "$token" "$(wine_path "$work/status.json")" 1 >/dev/null
stat_rate=$(run_bench rate "$token" "$(wine_path "$work/status.json")" "$seconds")
echo "status: $stat_rate"
run_bench ask "$token" "$(wine_path "$work/logs.json")" |
  grep -o 'stage=status_check refresh_ms=[0-9]* state_lock_ms=[0-9]* trusted_files_ms=[0-9]* elapsed_ms=[0-9]*' |
  tail -n 200 | awk '{ for (i = 2; i <= 5; ++i) { split($i, kv, "="); sum[kv[1]] += kv[2] } n++ }
    END { if (n) printf "  inside the helper, mean of its last %d status checks (ms): refresh %.2f, state lock %.2f, readiness cache %.2f, whole %.2f\n",
      n, sum["refresh_ms"] / n, sum["state_lock_ms"] / n, sum["trusted_files_ms"] / n, sum["elapsed_ms"] / n }'
echo "status mean / ping mean: $(awk -v a="$(field mean_ms "$stat_rate")" -v b="$(field mean_ms "$ping")" 'BEGIN { printf "%.2f", a / b }')"
echo "disconnect_owned of a running core (termination under Wine): see disconnect_owned_ms in figure 1"

echo
# Median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "" && b > 0) printf "%.2f", a / b; else print "n/a" }'; }

echo "== 3. output pumps, a core printing $flood_bytes bytes of 100-byte lines, median of $rounds (goal: at least 0.50)"
flood_config="{\"stand_in\":{\"launches\":[{\"flood_bytes\":$flood_bytes,\"exit_code\":0}]}}"
flood_file=$(put flood-config.json "$flood_config")
flood_connect=$(put flood-connect.json "{\"cmd\":\"connect\",\"kill_switch\":false,\"config_json\":$(json_text "$flood_config")}")
plain_big=() plain_same=() pumped=()
for _ in $(seq "$rounds"); do
  out=$(run_bench plain-pump "$(wine_path "$files/sing-box.exe")" "$flood_file" "$(wine_path "$scratch")" 65536)
  plain_big+=("$(field lines_per_s "$out")")
  out=$(run_bench plain-pump "$(wine_path "$files/sing-box.exe")" "$flood_file" "$(wine_path "$scratch")" 8192)
  plain_same+=("$(field lines_per_s "$out")")
  lines=$(field lines "$out")
  # As many lines as the plain read counted: the stand-in's blocks do not end
  # on a line end, so that is not simply the bytes over 100.
  out=$(run_bench pump "$token" "$flood_connect" "$flood_bytes" "$lines")
  [[ -n $(field lines_per_s "$out") ]] || { echo "bench-lifecycle: pump round failed: $out" >&2; exit 1; }
  pumped+=("$(field lines_per_s "$out")")
done
big=$(printf '%s\n' "${plain_big[@]}" | median)
same=$(printf '%s\n' "${plain_same[@]}" | median)
pump=$(printf '%s\n' "${pumped[@]}" | median)
echo "plain read, 8 KiB reads (the pumps' read size): $same lines/s"
echo "plain read, 64 KiB reads:                       $big lines/s"
echo "helper's pumps, into the log ring:              $pump lines/s"
echo "helper / plain read of the same size: $(ratio "$pump" "$same")"
echo "helper / plain read of 64 KiB:        $(ratio "$pump" "$big")"
echo "  (the helper's time runs from the connect's reply until \"logs\" counts the flood's lines pushed;"
echo "   under Wine each read of a pipe costs far more than the lines it carries, so the read size decides)"

# The cycles run a core of the stand-in's own size, so that they measure the
# helper's lifecycle and not 40 MB of hashing each: the helper is rebuilt
# pinned to that core and started again on a store of its own.
echo
echo "== 4. $cycles connect and disconnect_owned cycles with a $(stat -c %s "$tree/tests/vorn-stand-in-core.exe")-byte core (at most $cycle_seconds s)"
kill "$helper_pid" 2>/dev/null || true
for _ in $(seq 100); do [[ -d /proc/$helper_pid ]] || break; sleep 0.1; done
mkdir -p "$files/small"
cp "$tree/tests/vorn-stand-in-core.exe" "$files/small/sing-box.exe"
cmake -S "$root" -B "$tree" -DVORN_TEST_CORE_SHA256="$(sha256sum "$files/small/sing-box.exe" | cut -d' ' -f1)" >/dev/null
build vorn-helper-testpins
store="$work/store-small"
rm -rf "$store"
mkdir -p "$store"
token=$(wine_path "$store/Vorn/helper.token")
wine cmd /c "set ProgramData=$(wine_path "$store")&& $(wine_path "$tree/vorn-helper-testpins.exe") console" \
  </dev/null >"$work/helper-small.log" 2>&1 &
for _ in $(seq 100); do [[ -s "$store/Vorn/helper.token" ]] && break; sleep 0.1; done
[[ -s "$store/Vorn/helper.token" ]] || { echo "bench-lifecycle: the second helper wrote no token" >&2; exit 1; }
helper_pid=
for _ in $(seq 100); do helper_pid=$(wine_pid) && break; sleep 0.1; done
provision=$(put provision-small.json "{\"cmd\":\"provision_core\",\"core_src\":$(json_text "$(wine_path "$files/small/sing-box.exe")"),\"wintun_src\":$(json_text "$(wine_path "$files/wintun.dll")")}")
run_bench rate "$token" "$provision" 0.001 >/dev/null

snapshot() {
  local handles fds rss
  handles=$(run_bench handles vorn-helper-testpins.exe)
  fds=$(ls "/proc/$helper_pid/fd" 2>/dev/null | wc -l)
  rss=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$helper_pid/status")
  echo "handles=$(field handles "$handles") fds=$fds vmrss_kib=$rss"
  [[ -n $(field handles "$handles") ]] || echo "  (GetProcessHandleCount: $handles; the Wine process's open descriptors stand in)" >&2
}
# Idle threads of the blocking pool end after 10 s; each reading waits that
# out, so that it sees the pool as the one before it did.
settle() { sleep 11; }
# One cycle first, so that lazily made state (the private image, caches) is
# in the "before" figures.
run_bench cycle "$token" "$connect" 1 60 >/dev/null
settle
# Two halves with a reading between them: growth that goes on in the second
# half is a leak, growth in the first only is the process settling.
before=$(snapshot)
echo "before: $before"
half=$(run_bench cycle "$token" "$connect" $((cycles / 2)) $((cycle_seconds / 2)))
echo "first half:  $half"
settle
middle=$(snapshot)
echo "middle: $middle"
half=$(run_bench cycle "$token" "$connect" $((cycles - cycles / 2)) $((cycle_seconds / 2)))
echo "second half: $half"
settle
after=$(snapshot)
echo "after:  $after"
growth() { awk -v a="$(field "$1" "$3")" -v b="$(field "$1" "$2")" 'BEGIN { if (a == "" || b == "") print "n/a"; else print a - b }'; }
for name in handles fds vmrss_kib; do
  echo "  $name growth: first half $(growth "$name" "$before" "$middle"), second half $(growth "$name" "$middle" "$after")"
done
