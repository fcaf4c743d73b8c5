#!/usr/bin/env bash
# The message-handling benchmarks, one after another, offscreen: a flood, a
# thousand pictures, a paste of a screenshot, quick replies and a compressed
# working day. Each prints its medians and whether each target is met;
# targets never fail the script, a broken run does.
#
# Usage: scripts/bench-messages.sh [working-day seconds]   (default 600)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANTIS_BUILD_DIR:-$root/build}
benches=(bench_flood bench_pictures bench_paste bench_replies bench_workday)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target "${benches[@]}"
export QT_QPA_PLATFORM=offscreen
status=0
for bench in "${benches[@]}"; do
    args=()
    [ "$bench" = bench_workday ] && args=("${1:-600}")
    echo
    # Warnings of a machine without sound or window manager are only noise.
    "$build/bench/$bench" "${args[@]}" \
        2> >(grep -v -e 'audio device' -e PulseAudio -e 'support raise' >&2) || status=1
done
exit $status
