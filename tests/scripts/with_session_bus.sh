#!/usr/bin/env bash
# Runs CMD on a private D-Bus session bus of its own that starts no services, e.g. with a mock
# desktop portal that CMD starts itself (tests/support/portal/mock_portal.py). CMD gets
# DBUS_SESSION_BUS_ADDRESS and a private XDG_RUNTIME_DIR, and no DISPLAY or WAYLAND_DISPLAY.
# Usage: with_session_bus.sh CMD [ARG...]
# Exit: CMD's status; 77 skip (dbus-daemon is not installed or does not start).
source "$(dirname "$0")/lib.sh"
(($# > 0)) || fail "usage: $0 CMD [ARG...]"
start_session_bus
env -u DISPLAY -u WAYLAND_DISPLAY -u WAYLAND_SOCKET XDG_RUNTIME_DIR="$RUN" \
    DBUS_SESSION_BUS_ADDRESS="$BUS" "$@" || exit $?
