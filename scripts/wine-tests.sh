#!/bin/sh
# The win64 tests under Wine, then screenshots; run on a display (test.sh
# gives it a virtual one). Exits with ctest's status.
cd "$(dirname "$0")/.."
export WINEPREFIX="$PWD/build/win64/wineprefix"
# A Wine server left from an earlier run may hold another display.
/usr/lib/wine/wineserver -k 2>/dev/null
status=0
ctest --preset win64 || status=$?
# The fault suite's table of cases, from the full test log.
sed -n '/^Fault suite:/,/^Note:/p' build/win64/Testing/Temporary/LastTest.log
/usr/lib/wine/wineserver -k 2>/dev/null
sh scripts/screenshot.sh || echo "(no screenshot taken)"
exit $status
