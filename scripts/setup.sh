#!/usr/bin/env bash
# Installs what building and running the service need, when it is missing,
# and the packages of the groups named:
#
#   scripts/setup.sh [GROUP|PACKAGE...]
#
# Groups: tests (scripts/test.sh: GoogleTest, the end-to-end and packaging
# checks), coverage (gcovr), bench (Google Benchmark and the spdlog peer),
# fuzz (clang and its fuzzer runtime). Any other word is a Debian package.
# Needs root (or sudo) only when something has to be installed.
set -euo pipefail

# Building and running: the compiler, CMake and Ninja.
packages=(cmake ninja-build g++)
for group in "$@"; do
    case $group in
    tests)
        packages+=(googletest libgtest-dev libgmock-dev pkg-config python3)
        # The service-mode scenarios apply the unit's system-call filter.
        packages+=(libseccomp-dev)
        # The packaging checks: manual pages, the Debian package and lintian,
        # the systemd unit (systemd-analyze comes with systemd).
        packages+=(groff-base man-db dpkg-dev file systemd lintian)
        # Central collection through rsyslog (tests/e2e/rsyslog): the engine
        # and RELP.
        packages+=(rsyslog rsyslog-relp)
        ;;
    coverage) packages+=(gcovr) ;;
    # strace counts the service's system calls per idle request (idle_bench).
    bench) packages+=(libbenchmark-dev libspdlog-dev strace) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) packages+=("$group") ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null; then
    sudo=(sudo)
else
    echo "setup: missing packages ${missing[*]}; run as root to install them" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
