# The closing lines of scripts/test.sh:
#   awk -v summary=SUMMARY [-v skipped_win32=1] [-v emulator_failed=1] -f test-summary.awk SUMMARY LASTTEST_LOG...
# SUMMARY holds ctest's console output of every run, and each LastTest.log
# the full output of one build's tests. First every test that skipped, with
# its reason, then "N passed, N failed, N skipped": passed and failed count
# ctest's tests; skipped counts the tests ctest skipped and the Google Test
# cases that skipped themselves, which ctest shows as passed. With
# skipped_win32=1 the line ends by saying that the win32 suites were skipped
# on request.
FILENAME == summary {
    if (/tests passed, [0-9]+ tests failed out of/) {
        failed += $4
        total += $NF
    } else if (/ \(Skipped\)$/) {
        ctestSkipped++  # named with its reason from the full log, below
    }
    next
}
FNR == 1 {
    build = FILENAME
    sub(/\/Testing\/Temporary\/LastTest\.log$/, "", build)
    sub(/.*\//, "", build)
}
/^[0-9]+\/[0-9]+ Test: / { program = $3; next }
/^\[ RUN      \] / { reason = "no reason given"; next }
/^run-gtest\.sh: skipped: / {
    sub(/^run-gtest\.sh: skipped: /, "")
    printf "skipped: %s %s: %s\n", build, program, $0
    next
}
/: Skipped$/ { getline reason; next }
/^\[  SKIPPED \] .* \([0-9]+ ms\)$/ {
    casesSkipped++
    printf "skipped: %s %s %s: %s\n", build, program, $4, reason
}
END {
    # An emulated machine that failed counts as a failed test: its suites did not run.
    printf "%d passed, %d failed, %d skipped%s\n", total - failed - ctestSkipped,
        failed + (emulator_failed == 1), ctestSkipped + casesSkipped,
        skipped_win32 == 1 ? "; win32 suites: skipped on request" : ""
}
