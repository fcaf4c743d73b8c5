#!/bin/sh
# Runs a test inside a private D-Bus session with a keyring of its own, in a
# scratch home, so that the user's real keyring is never touched.
set -eu
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch" XDG_DATA_HOME="$scratch/data" XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
dbus-run-session -- sh -c '
    printf orvantis | gnome-keyring-daemon --foreground --unlock --components=secrets \
        >/dev/null 2>&1 &
    daemon=$!
    for _ in $(seq 100); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null \
            | grep -q true && break
        sleep 0.1
    done
    status=0
    ORVANTIS_TEST_SECRET_STORE=1 "$@" || status=$?
    kill "$daemon" 2>/dev/null || true
    exit $status' sh "$@"
