#!/usr/bin/env bash
# Start-up benchmark: the client with an empty configuration against a floor
# program (a bare Qt Widgets sign-in dialog in the same font), taking turns
# on one Xvfb display. Prints exec-to-window times and peak resident sets,
# their medians and the ratios to the floor. Reports figures; fails only when
# a program shows no window.
#
# Usage: scripts/bench-startup.sh [--bare] [runs]   (default 15 runs of each)
#   By default the display has a window manager and a tray host, as an
#   agent's desktop does (the client then sets up its tray and sound);
#   --bare runs on a plain Xvfb without either.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANTIS_BUILD_DIR:-$root/build}
bare=no
if [ "${1:-}" = --bare ]; then
    bare=yes
    shift
fi
runs=${1:-15}

"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"

# A private session bus, as on a desktop; no secret store runs on it, and
# every run has an empty home of its own (see bench/startup_harness.cpp).
harness=(dbus-run-session -- "$build/bench/startup_harness" --runs "$runs"
         floor="$build/bench/floor_login" orvantis="$build/app/orvantis")
if [ $bare = yes ]; then
    exec xvfb-run -a -s "-screen 0 1600x1000x24 -nolisten tcp" "${harness[@]}"
fi
exec "$root/tests/with-desktop.sh" "${harness[@]}"
