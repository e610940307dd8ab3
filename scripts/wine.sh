# Sourced by the scripts that run Windows programs: one Wine prefix per build
# tree, no debug output, no display, and one Wine session kept alive for the
# whole run.
#
# The session is started detached (its standard streams on /dev/null):
# otherwise Wine's service processes inherit the caller's pipes and hold them
# open, and a ctest or a pipeline that waits for them never ends.

wine_setup() {
  local tree=$1
  export WINEPREFIX="$tree/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    wineboot --init </dev/null >/dev/null 2>&1 || true
    wineserver -w
  fi
}

wine_session_start() {
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  trap wine_session_end EXIT
}

wine_session_end() {
  wineserver -k >/dev/null 2>&1 || true
}

# A Unix path as Wine's Z: drive sees it.
wine_path() {
  printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"
}
