#!/usr/bin/env bash
# Sets everything up, builds the Windows executable, starts it in console mode
# under Wine with its trusted store under build/windows/demo-store, and asks it
# "ping" and "logs" over the real named pipe, as the desktop client would.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" windows

source "$root/scripts/wine.sh"
tree="$root/build/windows"
wine_setup "$tree"
wine_session_start

store="$tree/demo-store"
mkdir -p "$store"
helper=$(wine_path "$tree/vorn-helper.exe")
client=$(wine_path "$tree/vorn-pipe-client.exe")
token_file="$(wine_path "$store")\\Vorn\\helper.token"

echo "== starting: vorn-helper.exe console (ProgramData=$(wine_path "$store"))"
wine cmd /c "set ProgramData=$(wine_path "$store")&& $helper console" </dev/null >"$tree/demo-console.log" 2>&1 &
for _ in $(seq 100); do [[ -s "$store/Vorn/helper.token" ]] && break; sleep 0.1; done
sleep 0.5
cat "$tree/demo-console.log"
echo "== trusted store: $store/Vorn"
ls -l "$store/Vorn"

echo "== ping"
wine "$client" "$token_file" ping </dev/null
echo "== logs since 0"
wine "$client" "$token_file" logs 0 </dev/null
echo "== ping with a wrong token"
printf 'wrong' >"$tree/demo-wrong.token"
wine "$client" "$(wine_path "$tree/demo-wrong.token")" ping </dev/null || true
echo "== done (the Wine session and the console host end now)"
