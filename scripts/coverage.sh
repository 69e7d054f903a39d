#!/usr/bin/env bash
# Builds the project with gcov instrumentation in build-cov (preset
# coverage), runs every test
# and prints the line and branch coverage of lib/ and svc/: one table per
# file, then the totals. A browsable report lands in build-cov/coverage/.
#
#   scripts/coverage.sh
#
# COVERAGE_FAIL_UNDER=<percent> makes the script fail when the line coverage
# is below that figure. The script also fails when a test fails (after the
# report).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh tests coverage

build=build-cov
jobs=$(nproc)
# Preset coverage. Tests run code in forked children that leave with _exit;
# they write their counters through __gcov_dump, which the preset makes
# every program link.
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$jobs"

# Counts of earlier runs would add up with this one's.
find "$build" -name '*.gcda' -delete
tests=0
ctest --preset coverage -j "$jobs" || tests=$?

# Exception edges that no test can take (every call that may throw has one)
# and unreachable branches would only blur the branch figure.
gcovr_args=(--root . --filter 'lib/' --filter 'svc/' --exclude-throw-branches
            --exclude-unreachable-branches -j "$jobs" "$build")
mkdir -p "$build/coverage"
echo "== line coverage of lib/ and svc/"
gcovr "${gcovr_args[@]}" --txt --html-details "$build/coverage/index.html"
echo "== branch coverage of lib/ and svc/"
gcovr "${gcovr_args[@]}" --txt --branches
echo "== coverage summary (lib/ and svc/)"
# gcovr deletes its output file after probing it, so it must never be a
# device such as /dev/null: the text report goes to a file of the build.
summary=$(gcovr "${gcovr_args[@]}" --print-summary --txt "$build/coverage/summary.txt")
echo "$summary"
echo "details: $build/coverage/index.html"

if [ "$tests" -ne 0 ]; then
    echo "coverage: some tests failed (ctest exit status $tests)" >&2
    exit "$tests"
fi
if [ -n "${COVERAGE_FAIL_UNDER:-}" ]; then
    lines=$(sed -n 's/^lines: \([0-9.]*\)%.*/\1/p' <<<"$summary")
    if awk -v got="$lines" -v min="$COVERAGE_FAIL_UNDER" 'BEGIN { exit !(got < min) }'; then
        echo "coverage: line coverage ${lines}% is below ${COVERAGE_FAIL_UNDER}%" >&2
        exit 1
    fi
fi
