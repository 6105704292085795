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

# The win32 build is the one users run: where this machine cannot run its
# suites, they run in an emulated machine, and a run without them fails,
# unless skipping them is asked for by name.
skipped_win32=0
emulator_failed=0
if ! sh scripts/runs-32bit.sh; then
  if [ "${QUORVEX_SKIP_WIN32:-0}" = 1 ]; then
    echo "== win32 suites: skipped on request (QUORVEX_SKIP_WIN32=1)"
    skipped_win32=1
  else
    echo "== win32 suites in an emulated machine: this machine's kernel does not run 32-bit"
    echo "   code, so Wine starts no 32-bit program here (a few minutes; the first time more)"
    if ! bash scripts/vm32.sh build/win32/vm32 build/win32/bin/*_tests.exe; then
      echo "test.sh: FAILED: the emulated machine did not run the win32 suites (its step and log above)"
      emulator_failed=1
      status=1
    fi
  fi
fi
# Both Windows builds on one virtual display.
xvfb-run -a -s "-screen 0 1024x768x24" sh scripts/wine-tests.sh win32 win64 |
  tee -a "$summary" || status=1

# One closing line for all three ctest runs, after every test that skipped
# (from each build's full log, as ctest shows a skipping Google Test as passed).
awk -v summary="$summary" -v skipped_win32="$skipped_win32" \
    -v emulator_failed="$emulator_failed" -f scripts/test-summary.awk "$summary" \
    build/*/Testing/Temporary/LastTest.log
exit $status
