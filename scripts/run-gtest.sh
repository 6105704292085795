#!/bin/bash
# Runs one Google Test program for ctest and judges it:
#   run-gtest.sh [EMULATOR ARGS...] PROGRAM
# It passes only when the program exits with 0 AND its output reports at
# least one passed test, no failed one, and no crash or sanitizer report.
# Neither half is enough alone: Wine can end a program that crashed after its
# summary with exit code 0, and a sanitizer's leak report comes after the
# summary, so only the exit code tells of it.
set -u
# A 32-bit Windows program (machine 0x14c) on a machine that cannot run
# 32-bit code is judged by its run in the emulated machine (test.sh runs
# them all there first, through vm32.sh); without such a run, newer than the
# program, it is skipped (exit 77), saying why, rather than failed.
program=${!#}
emulated=""
if [ $# -gt 1 ] && [ -f "$program" ]; then
    header=$(od -An -t u4 -j 60 -N 4 "$program" | tr -d ' ')
    machine=$(od -An -t x2 -j $((header + 4)) -N 2 "$program" | tr -d ' ')
    if [ "$machine" = 014c ] && ! sh "$(dirname "$0")/runs-32bit.sh"; then
        emulated="$(dirname "$program")/../vm32/$(basename "$program" .exe)"
        if [ "${QUORVEX_SKIP_WIN32:-0}" = 1 ]; then
            echo "run-gtest.sh: skipped: on request (QUORVEX_SKIP_WIN32=1): this machine's kernel does not run 32-bit code"
            exit 77
        fi
        if [ ! "$emulated.rc" -nt "$program" ]; then
            echo "run-gtest.sh: skipped: this machine's kernel does not run 32-bit code, and there is no run of this program in the emulated machine"
            exit 77
        fi
    fi
fi
output=$(mktemp)
trap 'rm -f "$output"' EXIT

if [ -n "$emulated" ]; then
    echo "run-gtest.sh: as it ran in the emulated machine whose kernel runs 32-bit code (vm32.sh)"
    tee "$output" <"$emulated.log"
    status=$(cat "$emulated.rc")
else
    "$@" 2>&1 | tee "$output"
    status=${PIPESTATUS[0]}
fi

fail() {
    echo "run-gtest.sh: FAILED: $1"
    exit 1
}
[ "$status" -eq 0 ] || fail "the program exited with code $status"
grep -q '^\[  FAILED  \]' "$output" && fail "Google Test reports failed tests"
grep -Eq '^\[  PASSED  \] [1-9][0-9]* tests?\.' "$output" ||
    fail "no summary with at least one passed test"
# Wine's report of an unhandled exception; the sanitizers' reports.
grep -Eq '^wine: Unhandled|ERROR: [A-Za-z]+Sanitizer|runtime error: ' "$output" &&
    fail "a crash or sanitizer report"
exit 0
