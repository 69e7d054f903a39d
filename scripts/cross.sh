#!/usr/bin/env bash
# Builds the project for other CPUs with Debian's cross compilers and runs
# its tests there under qemu's user-mode emulator:
#
#   scripts/cross.sh [--unit] ARCH...
#
# ARCH is arm64, s390x (big-endian), armhf (32-bit) or arm64-signed-char
# (arm64 with a signed char, as the product's own arm64 platform has it).
# Each builds in build-ARCH (preset ARCH, toolchain in cmake/toolchains/)
# and runs every test there: the unit tests, the fuzz targets' replays, the
# end-to-end scenarios (the unit's system-call filter left out: the emulator
# refuses one), and the packaging checks, which make the target's Debian
# package, pass it through lintian and leave installing it to a machine of
# that CPU. --unit runs only the unit tests and replays (labels e2e and
# packaging left out). Installs what it needs (scripts/setup.sh
# cross-ARCH). Prints the time each ARCH took; fails if any test failed.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    echo "usage: scripts/cross.sh [--unit] ARCH... (ARCH: arm64 s390x armhf arm64-signed-char)" >&2
    exit 2
}
ctest_args=()
if [ "${1:-}" = "--unit" ]; then
    ctest_args=(-LE "e2e|packaging")
    shift
fi
[ $# -gt 0 ] || usage
groups=()
for arch in "$@"; do
    case $arch in
    arm64 | arm64-signed-char) groups+=(cross-arm64) ;;
    s390x | armhf) groups+=("cross-$arch") ;;
    *) usage ;;
    esac
done

scripts/setup.sh tests "${groups[@]}"

jobs=$(nproc)
failed=()
summary=()
for arch in "$@"; do
    echo "== $arch: build and tests under qemu"
    started=$SECONDS
    status=0
    cmake --preset "$arch" >/dev/null &&
        cmake --build --preset "$arch" -j "$jobs" &&
        ctest --preset "$arch" -j "$jobs" "${ctest_args[@]}" || status=$?
    took=$((SECONDS - started))
    summary+=("$arch: $( [ $status -eq 0 ] && echo passed || echo FAILED) in $((took / 60)) min $((took % 60)) s")
    [ $status -eq 0 ] || failed+=("$arch")
done

echo "== cross builds"
printf '   %s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "cross: failed for ${failed[*]}" >&2
    exit 1
fi
