#!/bin/bash
# Runs one Google Test program for ctest and judges it:
#   run-gtest.sh [EMULATOR ARGS...] PROGRAM
# It passes only when the program exits with 0 AND its output reports at
# least one passed test, no failed one, and no crash or sanitizer report.
# Neither half is enough alone: Wine can end a program that crashed after its
# summary with exit code 0, and a sanitizer's leak report comes after the
# summary, so only the exit code tells of it.
set -u
output=$(mktemp)
trap 'rm -f "$output"' EXIT

"$@" 2>&1 | tee "$output"
status=${PIPESTATUS[0]}

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
