#!/usr/bin/env bash
# Runs one Windows test program under Wine for ctest, its output going to a
# file that is printed once the program has ended.
#
# Wine's headless console host for a console program can outlive the program
# and hold its standard streams open; a reader that waits for the end of a
# pipe, as ctest does, would then wait until its time-out although the
# program has long finished.
set -u
out=$(mktemp)
trap 'rm -f "$out"' EXIT
wine "$@" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
exit "$rc"
