#!/bin/bash
# Sets up a fresh Debian machine and runs every test:
#   host  - the engine's logic, natively, with AddressSanitizer and UBSan
#   win64 - the engine and the real Win32 adapters, under Wine and Xvfb
#   win32 - the release build, which must build and link (it cannot run here)
set -euo pipefail
cd "$(dirname "$0")/.."

sh scripts/setup.sh

jobs=$(nproc)
for preset in host win64 win32; do
  echo "== configure and build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

summary=build/test-summary.log
: >"$summary"
status=0

echo "== tests: host"
ctest --preset host | tee -a "$summary" || status=1

echo "== tests: win32 (the release executable, inspected)"
ctest --preset win32 | tee -a "$summary" || status=1

echo "== tests: win64 (Wine, on a virtual display)"
xvfb-run -a -s "-screen 0 1024x768x24" sh scripts/wine-tests.sh | tee -a "$summary" || status=1

# One closing line for all three ctest runs, after every test that skipped
# (from each build's full log, as ctest shows a skipping Google Test as passed).
awk -v summary="$summary" -f scripts/test-summary.awk "$summary" \
    build/*/Testing/Temporary/LastTest.log
exit $status
