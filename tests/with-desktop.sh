#!/bin/sh
# Runs a test on a private X display with a window manager and a tray host,
# as on an agent's desktop. DESKTOP_TRAY_EDGE=bottom puts the tray host at the
# bottom right instead of the top right, over the screen's work area.
set -eu
scratch=$(mktemp -d)
pids=
cleanup() {
    # shellcheck disable=SC2086
    if [ -n "$pids" ]; then
        kill $pids 2>/dev/null || true
        wait $pids 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

# The server picks a free display itself and names it once it accepts
# connections: no race with a display that is still shutting down.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$scratch/display" >/dev/null 2>&1 &
pids=$!
for _ in $(seq 100); do
    [ -s "$scratch/display" ] && break
    sleep 0.1
done
DISPLAY=:$(cat "$scratch/display")
export DISPLAY
for _ in $(seq 50); do
    xprop -root >/dev/null 2>&1 && break
    sleep 0.1
done

# Starts a helper program, again if it could not reach the display, until
# the check succeeds: programs started before the window manager or the
# tray host is up would find neither.
start_checked() {
    check=$1
    shift
    for _ in 1 2 3; do
        "$@" >/dev/null 2>&1 &
        pid=$!
        for _ in $(seq 30); do
            sh -c "$check" >/dev/null 2>&1 && pids="$pids $pid" && return 0
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$pid" 2>/dev/null || true
    done
    echo "with-desktop: cannot start $1" >&2
    return 1
}
start_checked 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' openbox
start_checked 'xdotool search --classname panel' \
    trayer --edge "${DESKTOP_TRAY_EDGE:-top}" --align right --widthtype pixel --width 160 --height 28 --transparent false
sleep 0.3 # the panel is up a moment before it takes over the tray

status=0
QT_QPA_PLATFORM=xcb "$@" || status=$?
exit $status
