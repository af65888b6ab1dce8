#!/bin/sh
# The portable unit and platform-contract tests, built for Windows (32- or
# 64-bit, the second argument) and run under Wine against the Win32
# backend. Passing needs GoogleTest's own report of the tests it ran: a
# status of 0 alone could come from a loader that ran nothing.
. "$(dirname "$0")/common.sh"
need_wine
tests="$BUILD/tests/brush_tests.exe"
need_file "$tests"
make_scratch
cd "$SCRATCH"
run_wine 600 "$tests" --gtest_output=xml:report.xml
[ "$wine_status" -eq 0 ] || fail "exit status $wine_status"
[ -s report.xml ] || fail "no test report: the tests did not run"
summary=$(grep -m 1 '<testsuites ' report.xml) || fail "the test report has no summary"
count=$(echo "$summary" | sed -n 's/.* tests="\([0-9]*\)".*/\1/p')
[ "${count:-0}" -gt 0 ] || fail "the report counts no test"
echo "$summary" | grep -q ' failures="0"' || fail "the report counts failures"
echo "$summary" | grep -q ' errors="0"' || fail "the report counts errors"
echo "$count tests passed under Wine ($BITS-bit build)"
