#!/bin/sh
# Sets up a fresh Debian machine, builds the shipped 32-bit program with the
# sample library Quorvexv1.4.dll beside it, and starts it under Wine 10 in a
# prefix of its own (build/win32/run-prefix), whose C:\WINDOWS\SYSTEM is the
# default folder.
# With a display it starts the program. Without one it shows the main job on
# a virtual display, inside Wine's own desktop (which draws the window's
# frame): a screenshot as started, one click on "Install and Register DLL"
# with the default folder, a screenshot after it, the three rows' texts as the
# screen shows them, and the registry entry the install made.
set -eu
cd "$(dirname "$0")/.."
# The shipped 32-bit build; where this machine's kernel runs no 32-bit code
# (Wine then starts no 32-bit program), the same program built for x86_64.
[ "${1:-}" = --on-virtual-display ] || sh scripts/setup.sh
build=win32 bits=32
if ! sh scripts/runs-32bit.sh; then
  build=win64 bits=64
  [ "${1:-}" = --on-virtual-display ] ||
    echo "This machine runs no 32-bit code: using the x86_64 build of the same program."
fi
bin=build/$build/bin
prefix="$PWD/build/$build/run-prefix"
title="Quorvex v1.4 Install"
wine() { bash scripts/wine-run.sh "$prefix" "$@"; }

if [ "${1:-}" != --on-virtual-display ]; then
  log=build/run-build.log
  printf 'build: the %s-bit program and the sample library ... ' "$bits"
  if ! { cmake --preset "$build" && cmake --build --preset "$build" -j "$(nproc)" \
    --target QuorvexInstall quorvex_sample quorvex_driver; } >"$log" 2>&1; then
    echo "failed (log: $log)"
    tail -n 20 "$log"
    exit 1
  fi
  echo ok
  if [ -n "${DISPLAY:-}" ]; then
    exec bash scripts/wine-run.sh "$prefix" "$bin/QuorvexInstall.exe"
  fi
  echo "No display: showing the main job on a virtual one."
  exec xvfb-run -a -s "-screen 0 640x480x24" sh scripts/run.sh --on-virtual-display
fi

# On the virtual display, inside Wine's own desktop; the driver joins it.
before=build/$build/run-started.png
after=build/$build/run-after-install.png
# A Wine server left from an earlier run may hold another display.
wine wineserver -k 2>/dev/null || true
# A prefix without 32-bit support has no C:\WINDOWS\SYSTEM; the default
# folder is made, as it is on Windows.
wine cmd /c exit >/dev/null 2>&1 </dev/null
mkdir -p "$prefix/drive_c/windows/system"
wine explorer /desktop=Quorvex,640x480 "$bin/QuorvexInstall.exe" >/dev/null 2>&1 &
trap 'wine wineserver -k 2>/dev/null || true' EXIT
if ! wine "$bin/quorvex_driver.exe" wait-window "$title" Quorvex >/dev/null; then
  echo "The program's window did not come up."
  exit 1
fi
import -window root -depth 8 "$before"
echo "Screenshot as started: $before"

printf '%s\n' 'Clicking "Install and Register DLL" with the default folder C:\WINDOWS\SYSTEM:'
wine "$bin/quorvex_driver.exe" click-install "$title" Quorvex | tr -d '\r' |
  sed 's/^uninstall_row=/  UnInstall Previous Version... /; s/^copy_row=/  Copy DLL to System Folder...   /;
       s/^install_row=/  Install Current Version...     /'
sleep 1
import -window root -depth 8 "$after"
echo "Screenshot after the install: $after"

# A 32-bit program registers in the 32-bit registry view.
echo "Registry entry made by the install ($bits-bit view):"
wine reg query 'HKCR\CLSID\{A76248CA-888F-48C3-A189-0B2C40C98AA5}\InprocServer32' "/reg:$bits" 2>&1 |
  tr -d '\r' | sed '/^$/d; s/^/  /'
