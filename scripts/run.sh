#!/bin/sh
# Sets up a fresh Debian machine, builds the 64-bit program with the sample
# library beside it, and starts it under Wine in a prefix of its own
# (build/win64/run-prefix), whose C:\WINDOWS\SYSTEM is the default folder.
# Without a display it runs on a virtual one and saves a screenshot.
set -eu
cd "$(dirname "$0")/.."

sh scripts/setup.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$(nproc)" --target QuorvexInstall quorvex_sample

program=build/win64/bin/QuorvexInstall.exe
prefix="$PWD/build/win64/run-prefix"
if [ -n "${DISPLAY:-}" ]; then
  exec bash scripts/wine-run.sh "$prefix" "$program"
fi

echo "No DISPLAY: running on a virtual display for 20 seconds."
xvfb-run -a -s "-screen 0 1024x768x24" sh -c "
  bash scripts/wine-run.sh '$prefix' '$program' &
  sleep 15
  import -window root -depth 8 build/win64/run-screenshot.png
  kill \$! 2>/dev/null
  bash scripts/wine-run.sh '$prefix' wineserver -k 2>/dev/null || true"
echo "Screenshot: build/win64/run-screenshot.png"
