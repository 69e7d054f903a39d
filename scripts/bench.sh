#!/usr/bin/env bash
# Builds the benchmarks in an optimised build of their own (build-bench,
# preset bench) and runs
# every one of them, or those named: scripts/bench.sh [NAME...] where NAME is
# rotating_log, pump, idle or memory. Extra Google Benchmark flags go after
# "--", e.g. scripts/bench.sh rotating_log -- --benchmark_repetitions=9.
# Each program prints its figures and then a summary: the ratios against its
# peer measured in the same run, the limits, and the machine.
set -euo pipefail
cd "$(dirname "$0")/.."

all=(rotating_log pump idle memory)
names=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    names+=("$1")
    shift
done
[ "${1:-}" = "--" ] && shift
[ ${#names[@]} -eq 0 ] && names=("${all[@]}")
for name in "${names[@]}"; do
    case " ${all[*]} " in
    *" $name "*) ;;
    *) echo "bench: unknown benchmark $name (one of: ${all[*]})" >&2; exit 2 ;;
    esac
done

scripts/setup.sh bench
# Preset bench: -O2 as Debian builds its packages, with symbols so that perf
# can say where the time goes.
cmake --preset bench >/dev/null
targets=()
for name in "${names[@]}"; do
    targets+=("${name}_bench")
done
cmake --build --preset bench -j "$(nproc)" --target "${targets[@]}"

status=0
for name in "${names[@]}"; do
    echo
    echo "=== ${name}_bench"
    "build-bench/bench/${name}_bench" "$@" || status=1
done
exit $status
