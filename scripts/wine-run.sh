#!/bin/bash
# Runs a Windows program under Wine 10 in the given prefix:
#   wine-run.sh PREFIX PROGRAM [ARGS...]
# 64-bit programs run as they are, 32-bit ones as WoW64 processes (Wine's
# 32-bit Windows-side libraries, no 32-bit Linux library). Wine lives in a
# Debian 13 root (scripts/wine10-root.sh) entered through bubblewrap, which
# leaves nothing mounted behind. PROGRAM "wineserver" runs Wine's server
# instead ("wineserver -k" ends the prefix's processes).
# The prefix is created on first use; Wine's own chatter and its
# Mono/Gecko prompts are switched off.
set -eu
mkdir -p "$1"
prefix=$(cd "$1" && pwd)
shift
top=$(cd "$(dirname "$0")/.." && pwd)
root=$(bash "$top/scripts/wine10-root.sh")

# The same paths inside as outside: the source tree, the prefix, the
# current folder, and /tmp (where X and Wine keep their sockets).
sandbox=(bwrap --bind "$root" / --proc /proc --dev /dev --ro-bind /sys /sys --bind /tmp /tmp
  --bind "$top" "$top")
for dir in "$prefix" "$PWD"; do
  case "$dir/" in
    "$top"/* | /tmp/*) ;;
    *) sandbox+=(--bind "$dir" "$dir") ;;
  esac
done
# A runtime folder of its own keeps Wine's Wayland probe from complaining
# that there is none; there is no Wayland server in it, so X is used.
runtime="/tmp/quorvex-runtime-$(id -u)"
mkdir -p -m 700 "$runtime"
sandbox+=(--die-with-parent --chdir "$PWD" --setenv HOME /root --setenv XDG_RUNTIME_DIR "$runtime"
  --setenv WINEPREFIX "$prefix" --setenv WINEDEBUG "${WINEDEBUG:--all}"
  --setenv WINEDLLOVERRIDES "mscoree,mshtml=" --setenv WINEDLLPATH /opt/quorvex-wine)

if [ "${1:-}" = wineserver ]; then
  shift
  exec "${sandbox[@]}" /usr/lib/wine/wineserver "$@"
fi
# Made whole or made again: a start that was ended half-way (the screenshot
# step ends its program after a few seconds) leaves a prefix without its
# 32-bit side.
if [ ! -f "$prefix/.quorvex-ready" ]; then
  "${sandbox[@]}" /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 </dev/null
  # A program that crashes ends at once, with Wine's report on its output,
  # rather than waiting for someone to close a crash dialog.
  "${sandbox[@]}" /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\WineDbg' \
    /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
  # Wine's fonts where the prefix's font look-ups find them (Tahoma, the
  # dialog font's stand-in, among them).
  cp -n "$root"/usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
  : >"$prefix/.quorvex-ready"
fi
exec "${sandbox[@]}" /usr/lib/wine/wine64 "$@"
