#!/usr/bin/env bash
# Configures and builds into ./build (Release with debug info, two jobs).
# Arguments are further cache entries for cmake, e.g. -DORVANTIS_BUILD_TESTS=OFF.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANTIS_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j 2
