#!/usr/bin/env bash
# Installs what building and running the service need, when it is missing,
# and the packages of the groups named:
#
#   scripts/setup.sh [GROUP|PACKAGE...]
#
# Groups: tests (scripts/test.sh: GoogleTest, the end-to-end and packaging
# checks), coverage (gcovr), bench (Google Benchmark and the spdlog peer),
# fuzz (clang and its fuzzer runtime), cross-arm64, cross-s390x and
# cross-armhf (scripts/cross.sh: building for that CPU and running its
# programs). Any other word is a Debian package. Needs root (or sudo) only
# when something has to be installed.
set -euo pipefail

# Building and running: the compiler, CMake and Ninja.
packages=(cmake ninja-build g++)
foreign=()
for group in "$@"; do
    case $group in
    tests)
        packages+=(googletest libgtest-dev libgmock-dev pkg-config python3)
        # The service-mode scenarios apply the unit's system-call filter.
        packages+=(libseccomp-dev)
        # The tests' own file system under the log directory (tests/e2e/faultfs).
        packages+=(fuse3 libfuse3-dev)
        # The packaging checks: manual pages, the Debian package and lintian,
        # the systemd unit (systemd-analyze comes with systemd).
        packages+=(groff-base man-db dpkg-dev file systemd lintian)
        # Central collection through rsyslog (tests/e2e/rsyslog): the engine
        # and RELP.
        packages+=(rsyslog rsyslog-relp)
        # The unit under a real systemd (tests/e2e/systemd): a Debian tree
        # made once, booted in a container.
        packages+=(systemd-container debootstrap)
        ;;
    coverage) packages+=(gcovr) ;;
    # strace counts the service's system calls per idle request (idle_bench).
    bench) packages+=(libbenchmark-dev libspdlog-dev strace) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    cross-arm64 | cross-s390x | cross-armhf)
        arch=${group#cross-}
        # Debian's cross compiler and qemu's user-mode emulator; the target's
        # own runtime beside the host's (multiarch), which its programs run
        # on and dpkg-shlibdeps reads the package's dependencies from.
        packages+=("crossbuild-essential-$arch" qemu-user "libc6:$arch" "libstdc++6:$arch"
                   "libgcc-s1:$arch")
        foreign+=("$arch")
        ;;
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
for arch in "${foreign[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || "${sudo[@]}" dpkg --add-architecture "$arch"
done
# Another installation may hold the package database for a while, and a
# mirror may be amid a sync: each step is tried again. An index that still
# fails to download matters only if the installation then fails.
retry() {
    local try
    for try in 1 2 3 4 5 6; do
        "$@" && return 0
        [ "$try" -lt 6 ] && { echo "setup: $1 $2 failed; trying again in 20 s" >&2; sleep 20; }
    done
    return 1
}
retry "${sudo[@]}" apt-get update -qq || echo "setup: apt-get update failed; installing all the same" >&2
retry "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
