#!/usr/bin/env bash
# Installs clang when it is missing, builds the libFuzzer targets with it in
# build-fuzz (preset fuzz) and runs each one for
# a bounded time, starting from its seed corpus in fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target defaults to $FUZZ_SECONDS, else 20. TARGET names such as
# "numbers" or "paths" pick targets; all of them by default. New inputs the
# fuzzer finds stay in build-fuzz/fuzz-corpus/ (the seed corpus is not
# touched); a crashing input is saved in build-fuzz/fuzz-artifacts/ and the
# script exits non-zero. Where clang or its fuzzer runtime cannot be had the
# script says so and exits 0.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${FUZZ_SECONDS:-20}}
[ $# -gt 0 ] && shift
case $seconds in
'' | *[!0-9]*)
    echo "fuzz: the time per target must be a number of seconds, not '$seconds'" >&2
    exit 2
    ;;
esac

skip() {
    echo "fuzz: skipped: $*"
    exit 0
}

scripts/setup.sh fuzz || echo "fuzz: clang and its fuzzer runtime could not be installed" >&2
command -v clang >/dev/null && command -v clang++ >/dev/null ||
    skip "clang is not installed (Debian: clang and libclang-rt-dev)"
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' \
    >"$probe/probe.cpp"
clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" 2>"$probe/log" ||
    skip "clang cannot link with its fuzzer and sanitizer runtimes (Debian: libclang-rt-dev): $(head -n 3 "$probe/log")"

build=build-fuzz
mkdir -p "$build"
echo "== building the fuzz targets with clang in $build"
if ! { cmake --preset fuzz && cmake --build --preset fuzz -j "$(nproc)"; } >"$build/build.log" 2>&1; then
    tail -n 40 "$build/build.log" >&2
    echo "fuzz: the build failed (all of it in $build/build.log)" >&2
    exit 1
fi

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for bin in "$build"/fuzz/fuzz_*; do
        name=${bin##*/fuzz_}
        [[ -x $bin && $name != *_replay ]] && targets+=("$name")
    done
fi
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: no target was built" >&2; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for target in "${targets[@]}"; do
    bin=$build/fuzz/fuzz_$target
    seeds=fuzz/corpus/$target
    [ -x "$bin" ] && [ -d "$seeds" ] || { echo "fuzz: unknown target '$target'" >&2; exit 2; }
    corpus=$build/fuzz-corpus/$target
    artifacts=$build/fuzz-artifacts
    log=$build/fuzz-logs/$target.log
    mkdir -p "$corpus" "$artifacts" "${log%/*}"
    echo "== fuzz $target for ${seconds}s"
    # The target's output goes to the log; the fuzzer's statistics too.
    if "$bin" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$corpus" "$seeds" >"$log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$log" |
            sed 's/^/   /' || true
    else
        echo "fuzz: $target FAILED; the end of $log:" >&2
        tail -n 40 "$log" >&2
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: ${#failed[@]} of ${#targets[@]} targets failed: ${failed[*]}" >&2
    exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without a failure"
