#!/usr/bin/env bash
# Runs CMD against a private Secret Service: gnome-keyring's secrets component on a session bus
# of its own, its login keyring created and unlocked with a throw-away password, in a
# temporary home.
# Usage: with_keyring.sh CMD [ARG...]
# Exit: CMD's status; 77 skip (dbus-daemon, gnome-keyring-daemon or dbus-send not installed);
# 1 when the Secret Service does not come up.
source "$(dirname "$0")/lib.sh"
(($# > 0)) || fail "usage: $0 CMD [ARG...]"
need gnome-keyring-daemon dbus-send
start_session_bus
mkdir -p "$T/home"
export HOME=$T/home XDG_RUNTIME_DIR=$RUN DBUS_SESSION_BUS_ADDRESS=$BUS
export XDG_CONFIG_HOME=$HOME/.config XDG_DATA_HOME=$HOME/.local/share
echo -n pw | gnome-keyring-daemon --foreground --unlock --components=secrets >"$T/keyring.log" 2>&1 &
PIDS+=($!)
up() { dbus-send --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q true; }
wait_for 10 $! up || fail "the Secret Service did not start: $(tail -n 5 "$T/keyring.log")"
"$@" || exit $?
