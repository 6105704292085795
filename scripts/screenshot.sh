#!/bin/sh
# Screenshots of the built program on the current display (a virtual one in
# the test run), into build/win32/screenshots/ (build/win64/screenshots/ on a
# machine that runs no 32-bit code):
#   main-window.png               the running window with its frame, as started
#   main-window-after-install.png its client area after an install (drawn by ui_tests)
set -eu
cd "$(dirname "$0")/.."
# The shipped 32-bit build, or the x86_64 one where this machine runs no
# 32-bit code.
build=win32
sh scripts/runs-32bit.sh || build=win64
out=build/$build/screenshots
mkdir -p "$out"
prefix="$PWD/build/$build/wineprefix"

# Wine's own desktop window draws the frame that a window manager would.
bash scripts/wine-run.sh "$prefix" explorer /desktop=QuorvexShot,480x480 \
  "$PWD/build/$build/bin/QuorvexInstall.exe" >/dev/null 2>&1 &
sleep 8
# Wine centres the window on the screen, inside its own desktop.
import -window root -depth 8 -gravity center -crop 480x480+0+0 +repage "$out/main-window.png"
kill $! 2>/dev/null || true
bash scripts/wine-run.sh "$prefix" wineserver -k 2>/dev/null || true

if [ -f build/$build/bin/main-window-after-install.bmp ]; then
  /usr/bin/convert build/$build/bin/main-window-after-install.bmp -alpha off "$out/main-window-after-install.png"
fi
echo "Screenshots in $out: $(ls "$out" | tr '\n' ' ')"
