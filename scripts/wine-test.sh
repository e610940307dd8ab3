#!/usr/bin/env bash
# Runs one Windows test program under Wine for ctest, its output going to a
# file that is printed once the program has ended.
#
# Wine's headless console host for a console program can outlive the program
# and hold its standard streams open; a reader that waits for the end of a
# pipe, as ctest does, would then wait until its time-out although the
# program has long finished.
#
# The program gets its own time limit, below ctest's (which kills this script
# outright, output unprinted): a hung run still shows its output and names the
# test it hung in. When the program fails without gtest's own summary (a hang,
# a crash), the failed tests and the one still running are listed here.
set -u
limit=${VORN_WINE_TEST_LIMIT:-870}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
timeout --kill-after=15 "$limit" wine "$@" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
if [[ $rc -ne 0 ]]; then
  [[ $rc -eq 124 || $rc -eq 137 ]] && echo "wine-test: stopped after ${limit}s"
  tr -d '\r' <"$out" | awk '
    /^\[ RUN      \] / { running = $4 }
    /^\[       OK \] / { running = "" }
    /^\[  FAILED  \] [^ ]+( \(|,)/ { running = ""; name = $4; sub(/,$/, "", name); if (!seen[name]++) failed[++n] = name }
    END {
      for (i = 1; i <= n; i++) print "wine-test: failed: " failed[i]
      if (running != "") print "wine-test: still running when the program ended: " running
    }'
fi
exit "$rc"
