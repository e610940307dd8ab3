#!/usr/bin/env bash
# Sets everything up, builds the Windows tree, starts the test-pins helper in
# console mode under Wine with its trusted store under build/windows/demo-store,
# and drives the whole road over the real named pipe as the desktop client
# would: "ping", "provision_core" with the stand-in core, "connect", "status",
# "logs" with the core's own lines, and "disconnect_owned".
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
helper=$(wine_path "$tree/vorn-helper-testpins.exe")
client=$(wine_path "$tree/vorn-pipe-client.exe")
token_file="$(wine_path "$store")\\Vorn\\helper.token"

rm -rf "$store/Vorn"
echo "== starting: vorn-helper-testpins.exe console (ProgramData=$(wine_path "$store"))"
wine cmd /c "set ProgramData=$(wine_path "$store")&& $helper console" </dev/null >"$tree/demo-console.log" 2>&1 &
for _ in $(seq 100); do [[ -s "$store/Vorn/helper.token" ]] && break; sleep 0.1; done
sleep 0.5
cat "$tree/demo-console.log"
echo "== trusted store: $store/Vorn"
ls -l "$store/Vorn"

echo "== ping"
wine "$client" "$token_file" ping </dev/null
ask() {  # ask NAME JSON: one request object through a file
  printf '%s' "$2" >"$tree/demo-$1.json"
  wine "$client" "$token_file" request "$(wine_path "$tree/demo-$1.json")" </dev/null
}
json_text() { python3 -c 'import json,sys; print(json.dumps(sys.argv[1]))' "$1"; }
echo "== provision_core with the stand-in core and Wintun file"
ask provision "{\"cmd\":\"provision_core\",\"core_src\":$(json_text "$(wine_path "$tree/tests/standin-core.exe")"),\"wintun_src\":$(json_text "$(wine_path "$tree/tests/standin-wintun.dll")")}"
echo "== connect (the stand-in core prints two lines and runs)"
config='{"stand_in":{"launches":[{"stdout":["INFO stand-in core started"],"stderr":["WARN stand-in core: no TUN device under Wine"]}]}}'
ask connect "{\"cmd\":\"connect\",\"kill_switch\":false,\"config_json\":$(json_text "$config")}"
sleep 1
echo "== status"
status=$(ask status '{"cmd":"status"}')
echo "$status"
echo "== files in the store"
ls -l "$store/Vorn" "$store/Vorn/core"
echo "== logs since 0"
wine "$client" "$token_file" logs 0 </dev/null
echo "== disconnect_owned with the authority from status"
authority=$(printf '%s' "$status" | python3 -c 'import json,sys; print(json.dumps(json.load(sys.stdin)["data"]["stop_authority"]))')
ask disconnect "{\"cmd\":\"disconnect_owned\",\"authority\":$authority}"
echo "== status after the stop"
ask status '{"cmd":"status"}'
echo "== ping with a wrong token"
printf 'wrong' >"$tree/demo-wrong.token"
wine "$client" "$(wine_path "$tree/demo-wrong.token")" ping </dev/null || true
echo "== done (the Wine session and the console host end now)"
