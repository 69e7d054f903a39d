#!/usr/bin/env bash
# Builds trelvoxlogd and the simulated driver trelvoxsim, then runs the
# service in application mode against the simulated driver on a private
# driver directory: the driver's event lines appear with their time stamps
# in local time. Stops after TRELVOX_RUN_SECONDS (default 30) or at Ctrl-C,
# and stops both programs cleanly. Arguments go to trelvoxlogd.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${TRELVOX_RUN_SECONDS:-30}
case $seconds in
'' | *[!0-9]* | 0*) echo "run: TRELVOX_RUN_SECONDS must be a whole number above 0" >&2; exit 2 ;;
esac

scripts/setup.sh
# The packager's build (preset release, in build-release): what ships.
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target trelvoxlogd trelvoxsim

TRELVOX_DRIVER_DIR=$(mktemp -d "${TMPDIR:-/tmp}/trelvox-drivers.XXXXXX")
export TRELVOX_DRIVER_DIR
sim_pid=
logd_pid=
stop=

finish() {
    # Ends whatever still runs, then removes the driver directory.
    for pid in $logd_pid $sim_pid; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $logd_pid $sim_pid; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$TRELVOX_DRIVER_DIR"
}
trap finish EXIT
trap 'stop=1' INT TERM

echo "run: simulated driver in $TRELVOX_DRIVER_DIR; trelvoxlogd for ${seconds} s (Ctrl-C stops it)" >&2
# Lines at a steady rate with quiet spells; after 15 s the driver unloads
# and comes back 3 s later, as a real driver does when it is reloaded.
build-release/tools/trelvoxsim/trelvoxsim --rate 4 --gap-every 8 --gap 2 \
    --unload-after 15 --return-after 3 &
sim_pid=$!
build-release/svc/trelvoxlogd "$@" &
logd_pid=$!

end=$((SECONDS + seconds))
while [ -z "$stop" ] && [ "$SECONDS" -lt "$end" ] && kill -0 "$logd_pid" 2>/dev/null; do
    sleep 0.2 || true
done

status=0
if kill -0 "$logd_pid" 2>/dev/null; then
    kill -INT "$logd_pid" 2>/dev/null || true
fi
wait "$logd_pid" || status=$?
logd_pid=
kill -TERM "$sim_pid" 2>/dev/null || true
wait "$sim_pid" || true
sim_pid=
echo "run: trelvoxlogd ended with status $status" >&2
exit "$status"
