#!/usr/bin/env bash
# Installs what is missing, builds, starts the stand-in service on 127.0.0.1
# and the client pointed at it. Sign in with demo / demo123. The service keeps
# its sessions and messages from one demo to the next; ORVANTIS_DEMO_FRESH=1
# starts over from the built-in content.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
# The stand-in service even where the build leaves out tests and benchmarks.
"$root/scripts/build.sh" -DORVANTIS_BUILD_DEVSERVER=ON
build=${ORVANTIS_BUILD_DIR:-$root/build}

state_dir=${XDG_CACHE_HOME:-$HOME/.cache}/orvantis-demo
state="$state_dir/devserver-state.json"
mkdir -p "$state_dir"
if [ "${ORVANTIS_DEMO_FRESH:-0}" = 1 ]; then
    rm -rf "$state" "$state.uploads"
fi

portfile=$(mktemp)
"$build/devserver/devserver" --port 0 --state "$state" >"$portfile" &
server=$!
# SIGTERM lets the service write its state once more before it goes.
trap 'kill $server 2>/dev/null && wait $server 2>/dev/null; rm -f "$portfile"' EXIT
for _ in $(seq 1 100); do
    port=$(grep -oE 'port [0-9]+' "$portfile" | head -n1 | cut -d' ' -f2 || true)
    [ -n "$port" ] && break
    sleep 0.1
done
if [ -z "${port:-}" ]; then
    echo "the stand-in service did not start" >&2
    exit 1
fi
echo "stand-in service on http://127.0.0.1:$port (account demo, password demo123)"

export ORVANTIS_API_URL="http://127.0.0.1:$port/api"
export ORVANTIS_WSS_URL="ws://127.0.0.1:$port/wss"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "no display: running the client under Xvfb"
    xvfb-run -a -s "-screen 0 1400x900x24" "$build/app/orvantis" "$@"
else
    "$build/app/orvantis" "$@"
fi
