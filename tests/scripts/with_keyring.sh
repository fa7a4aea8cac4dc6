#!/usr/bin/env bash
# Runs a command against a private Secret Service: a new D-Bus session bus with gnome-keyring's
# secrets component, its login keyring created and unlocked with a throw-away password, in a
# temporary home.
# Usage: with_keyring.sh CMD [ARG...]
# Exit: CMD's status; 77 skip (dbus-run-session, gnome-keyring-daemon or dbus-send not
# installed); 1 when the Secret Service does not come up.
set -euo pipefail

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

(($# > 0)) || fail "usage: $0 CMD [ARG...]"
for tool in dbus-run-session gnome-keyring-daemon dbus-send; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done

T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
trap 'exit 1' INT TERM
mkdir -p "$T/home" "$T/run"
chmod 700 "$T/run"

# Inside the session: gnome-keyring runs in the foreground as the inner shell's child, so the
# shell stops and reaps it itself (PID 1 here reaps no orphans); dbus-run-session then ends the
# bus. The name org.freedesktop.secrets is owned once the service answers.
inner='
    echo -n pw | gnome-keyring-daemon --foreground --unlock --components=secrets \
        >"$T/keyring.log" 2>&1 &
    GK_PID=$!
    stop_keyring() {
        kill -TERM "$GK_PID" 2>/dev/null
        for i in $(seq 30); do kill -0 "$GK_PID" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$GK_PID" 2>/dev/null
        wait "$GK_PID" 2>/dev/null
    }
    trap stop_keyring EXIT
    up=0
    for i in $(seq 100); do
        if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
            grep -q "boolean true"; then
            up=1
            break
        fi
        kill -0 "$GK_PID" 2>/dev/null || break
        sleep 0.1
    done
    if [ "$up" != 1 ]; then
        echo "FAIL: the Secret Service did not start: $(tail -n 5 "$T/keyring.log")" >&2
        exit 1
    fi
    status=0
    "$@" || status=$?
    exit "$status"
'
status=0
env -u DBUS_SESSION_BUS_ADDRESS HOME="$T/home" XDG_RUNTIME_DIR="$T/run" \
    XDG_CONFIG_HOME="$T/home/.config" XDG_DATA_HOME="$T/home/.local/share" T="$T" \
    dbus-run-session -- sh -c "$inner" sh "$@" || status=$?
exit "$status"
