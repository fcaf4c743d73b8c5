#!/bin/sh
# Runs a test on a private X display with a window manager and a tray host,
# as on an agent's desktop.
set -eu
exec xvfb-run -a -s "-screen 0 1600x1000x24" sh -c '
    openbox >/dev/null 2>&1 &
    wm=$!
    trayer --edge top --align right --widthtype pixel --width 160 --height 28 \
        --transparent false >/dev/null 2>&1 &
    tray=$!
    # Programs started before the tray host or the window manager is up
    # would find neither.
    for _ in $(seq 50); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" \
            && xdotool search --class trayer >/dev/null 2>&1 && break
        sleep 0.1
    done
    status=0
    QT_QPA_PLATFORM=xcb "$@" || status=$?
    kill "$wm" "$tray" 2>/dev/null || true
    exit $status' sh "$@"
