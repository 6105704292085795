#!/bin/sh
# The Windows tests under Wine 10, then screenshots; run on a display
# (test.sh gives it a virtual one):
#   wine-tests.sh [PRESET...]     (default: win32 win64)
# win32 is the shipped build, its tests 32-bit (WoW64) processes; win64 the
# same sources as 64-bit ones. Exits non-zero when any ctest run failed.
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || set -- win32 win64
status=0
for preset in "$@"; do
  prefix="$PWD/build/$preset/wineprefix"
  echo "== tests: $preset (Wine 10, $( [ "$preset" = win32 ] && echo "32-bit WoW64 processes" || echo "64-bit processes"))"
  # A Wine server left from an earlier run may hold another display.
  bash scripts/wine-run.sh "$prefix" wineserver -k 2>/dev/null
  ctest --preset "$preset" || status=1
  # The fault suite's table of cases, from the full test log.
  sed -n '/^Fault suite:/,/^Note:/p' "build/$preset/Testing/Temporary/LastTest.log"
  bash scripts/wine-run.sh "$prefix" wineserver -k 2>/dev/null
done
sh scripts/screenshot.sh || echo "(no screenshot taken)"
exit $status
