#!/bin/sh
# Runs a test inside a private D-Bus session of its own, so that nothing it
# does reaches the user's real desktop services.
set -eu
exec dbus-run-session -- env ORVANTIS_TEST_PRIVATE_BUS=1 "$@"
