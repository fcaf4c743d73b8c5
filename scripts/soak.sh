#!/usr/bin/env bash
# The long fault soak: builds, then runs the real main window offscreen
# against the misbehaving stand-in for the given seconds (default 600).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANTIS_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
QT_QPA_PLATFORM=offscreen "$build/bench/soak" "${1:-600}" "${2:-10}"
