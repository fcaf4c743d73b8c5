#!/bin/sh
# Runs a test on a private X display with a window manager and a tray host,
# as on an agent's desktop. The test waits for the tray itself.
set -eu
exec xvfb-run -a -s "-screen 0 1600x1000x24" sh -c '
    openbox >/dev/null 2>&1 &
    wm=$!
    trayer --edge top --align right --widthtype pixel --width 160 --height 28 \
        --transparent false >/dev/null 2>&1 &
    tray=$!
    status=0
    QT_QPA_PLATFORM=xcb "$@" || status=$?
    kill "$wm" "$tray" 2>/dev/null || true
    exit $status' sh "$@"
