#!/usr/bin/env bash
# Sets up, builds both trees and runs every test: the native unit tests, then
# the Windows tests under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" all

ctest --test-dir "$root/build/native" --output-on-failure

source "$root/scripts/wine.sh"
wine_setup "$root/build/windows"
wine_session_start
ctest --test-dir "$root/build/windows" --output-on-failure
