#!/usr/bin/env bash
# Builds the project and runs every test: a normal build (preset debug, in
# build/), a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (preset sanitizers, in build-asan/), and one with ThreadSanitizer (preset
# threads, in build-tsan/, every test but the packaging checks).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh tests

jobs=$(nproc)
run_suite() {
    cmake --preset "$1"
    cmake --build --preset "$1" -j "$jobs"
    ctest --preset "$1" -j "$jobs"
}

echo "== normal build and tests"
run_suite debug
echo "== sanitizer build and tests"
run_suite sanitizers
# The log's writer and the pumps are threads of their own: the unit tests
# and the end-to-end suites again under ThreadSanitizer (preset threads, in
# build-tsan/; the packaging checks are the normal build's).
echo "== thread sanitizer build and tests"
run_suite threads
