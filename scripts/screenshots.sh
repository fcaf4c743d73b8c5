#!/usr/bin/env bash
# Renders every window of the client into docs/screenshots/, on a private
# desktop (X server, window manager, tray host), against an in-process
# stand-in service.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build=${ORVANTIS_BUILD_DIR:-$root/build}
"$root/tests/with-desktop.sh" "$build/tools/orvantis-screenshots" "$root/docs/screenshots"
