#!/usr/bin/env bash
# Builds the project and runs every test twice: a normal build (preset
# debug, in build/) and a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (preset sanitizers, in build-asan/).
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
