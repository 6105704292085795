#!/bin/sh
# Runs a Windows program under 64-bit Wine in the given prefix:
#   wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix is created on first use; Wine's own chatter and its
# Mono/Gecko prompts are switched off.
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 </dev/null
fi
exec /usr/lib/wine/wine64 "$@"
