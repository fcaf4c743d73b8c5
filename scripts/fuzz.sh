#!/usr/bin/env bash
# Builds the libFuzzer targets of the network layer with clang, address and
# undefined-behaviour sanitizers (build-fuzz/) and runs each of them over its
# seed corpus. Any crash, leak, timeout or excess memory fails the run; what
# the fuzzer found is left in build-fuzz/artifacts/<target>/.
#
# Usage: scripts/fuzz.sh [seconds]   each target for that long (default 30)
#        scripts/fuzz.sh --long      each target for 1,000,000 executions
#        scripts/fuzz.sh --runs N    each target for N executions
# New inputs go to a temporary working corpus; fuzz/corpus/ is only read.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANTIS_FUZZ_BUILD_DIR:-$root/build-fuzz}

limit=(-max_total_time=30)
case "${1:-}" in
    "") ;;
    --long) limit=(-runs=1000000) ;;
    --runs) limit=(-runs="${2:?--runs needs a count}") ;;
    *[!0-9]* | 0)
        echo "usage: $0 [seconds | --long | --runs N]" >&2
        exit 2
        ;;
    *) limit=(-max_total_time="$1") ;;
esac

"$root/scripts/install-deps.sh"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVANTIS_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" -j 2 >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/orvantis-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
for target in records realtime rest; do
    artifacts=$build/artifacts/$target
    mkdir -p "$work/$target" "$artifacts"
    log=$work/$target.log
    started=$(date +%s)
    if "$build/fuzz/fuzz_$target" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -dict="$root/fuzz/orvantis.dict" -artifact_prefix="$artifacts/" \
        "$work/$target" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
    fi
    # One line per target: executions, speed, coverage, memory.
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
    cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -n 1 || true)
    printf 'fuzz_%-8s %s: %s execs in %ss (%s/s), %s, peak rss %s MB\n' "$target" "$result" \
        "${runs:-?}" "$(($(date +%s) - started))" "${speed:-?}" "${cov:-no coverage line}" \
        "${rss:-?}"
    if [ "$result" != ok ]; then
        grep -vE '^#[0-9]+ +(NEW|REDUCE|pulse|RELOAD)' "$log" | tail -n 60
        echo "inputs kept in $artifacts"
    fi
done
exit $status
