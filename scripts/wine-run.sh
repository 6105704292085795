#!/bin/sh
# Runs a Windows program under 64-bit Wine in the given prefix:
#   wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix is created on first use; Wine's own chatter and its
# Mono/Gecko prompts are switched off.
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 </dev/null
  # This Wine build does not look in its own data folder for its fonts
  # (Tahoma stands in for the dialog font); in the prefix they are found.
  if [ -d /usr/share/wine/fonts ]; then
    cp -n /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
  fi
fi
exec /usr/lib/wine/wine64 "$@"
