#!/usr/bin/env bash
# Builds trelvoxlogd and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target trelvoxlogd
exec build/svc/trelvoxlogd -v "$@"
