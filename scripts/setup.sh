#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing.
# Needs root (or sudo) only when something has to be installed.
set -euo pipefail

packages=(cmake ninja-build g++ make googletest libgtest-dev libgmock-dev pkg-config)
# The packaging checks: manual pages, the Debian package, the systemd unit.
packages+=(groff-base man-db dpkg-dev file systemd python3)
# lintian on the package; the unit's system-call filter applied to the
# service in the service-mode tests (systemd-analyze comes with systemd).
packages+=(lintian libseccomp-dev)
# The benchmarks (scripts/bench.sh): Google Benchmark and the spdlog peer.
packages+=(libbenchmark-dev libspdlog-dev)
# Coverage reports (scripts/coverage.sh).
packages+=(gcovr)
# Central collection through rsyslog (tests/e2e/rsyslog): the engine and RELP.
packages+=(rsyslog rsyslog-relp)
packages+=("$@")

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
