#!/bin/bash
# Sets up a fresh Debian machine and runs every test:
#   host  - the engine's logic, natively, with AddressSanitizer and UBSan
#   win32 - the shipped i686 build: every suite as 32-bit processes under
#           Wine 10's WoW64 mode, plus the checks of the executable as a file
#   win64 - the same sources and suites as 64-bit processes under Wine 10
set -euo pipefail
cd "$(dirname "$0")/.."

sh scripts/setup.sh

jobs=$(nproc)
for preset in host win32 win64; do
  echo "== configure and build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

summary=build/test-summary.log
: >"$summary"
status=0

echo "== tests: host"
ctest --preset host | tee -a "$summary" || status=1

if ! sh scripts/runs-32bit.sh; then
  echo "== note: this machine's kernel does not run 32-bit code, so Wine starts no 32-bit"
  echo "   program here: the win32 build is made and its files checked, and its Wine"
  echo "   suites are skipped; the same suites run on the x86_64 build."
fi
# Both Windows builds on one virtual display.
xvfb-run -a -s "-screen 0 1024x768x24" sh scripts/wine-tests.sh win32 win64 |
  tee -a "$summary" || status=1

# One closing line for all three ctest runs, after every test that skipped
# (from each build's full log, as ctest shows a skipping Google Test as passed).
awk -v summary="$summary" -f scripts/test-summary.awk "$summary" \
    build/*/Testing/Temporary/LastTest.log
exit $status
