#!/usr/bin/env bash
# The desktop portal of GNOME 48 with libei, as a person meets it: in a first desktop session
# (mutter, the portal and its GNOME backend on a session bus that starts services) the daemon
# asks, the consent dialog is granted once through the accessibility bus, and a move reaches a
# Wayland client through libei; the daemon restarted in that session, and then a new desktop
# session with the same home, reach it again without any dialog.
# Usage: gnome_portal_test.sh POINTRELAYD WITNESS POINTRELAY
# Exit: 0 pass, 1 fail, 77 skip (no GNOME portal, or no session bus that starts services).
source "$(dirname "$0")/lib.sh"
(($# == 3)) || fail "usage: $0 POINTRELAYD WITNESS POINTRELAY"
need mutter gdbus dbus-run-session dbus-update-activation-environment python3
[[ -x /usr/libexec/xdg-desktop-portal-gnome ]] || skip "xdg-desktop-portal-gnome is not installed"
daemon=$1 witness=$2 cli=$3 here=$(cd "$(dirname "$0")" && pwd)
export HOME=$T/home XDG_STATE_HOME=$T/home/.local/state XDG_CURRENT_DESKTOP=GNOME \
    XDG_SESSION_TYPE=wayland
mkdir -p "$HOME/.config/xdg-desktop-portal"
printf '[preferred]\ndefault=gnome;gtk;\n' >"$HOME/.config/xdg-desktop-portal/gnome-portals.conf"
printf %s 0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0 >"$T/key"
shared=$T

# One desktop session: mutter, then the daemon through the portal; DIALOG says whether the
# person is asked (and grants) this time. Runs in a shell of its own on a new session bus, with
# a folder of its own ($T) for its logs and the home and key in $shared.
session() {
    local dialog=$1 name=wayland-portal-$RANDOM port
    mutter --headless --wayland --no-x11 --virtual-monitor 1280x800 --wayland-display="$name" \
        </dev/null >>"$T/mutter.log" 2>&1 &
    PIDS+=($!)
    up() { [[ -S $XDG_RUNTIME_DIR/$name ]] && gdbus introspect --session \
        -d org.gnome.Mutter.RemoteDesktop -o /org/gnome/Mutter/RemoteDesktop >/dev/null 2>&1; }
    wait_for 20 $! up || fail "mutter did not start: $(tail -n 3 "$T/mutter.log")"
    export WAYLAND_DISPLAY=$name
    dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE \
        XDG_RUNTIME_DIR HOME XDG_STATE_HOME
    "$witness" >"$T/witness.txt" 2>&1 &
    PIDS+=($!)
    wait_for 10 $! grep -q "^ready" "$T/witness.txt" || fail "the witness did not start"
    for start in first again; do
        port=$(free_port)
        POINTRELAY_INPUT=portal "$daemon" --port "$port" --no-mdns --psk "$(<"$shared/key")" \
            2>"$T/daemon.log" &
        PIDS+=($!)
        if [[ $dialog == yes && $start == first ]]; then
            python3 "$here/grant_remote_desktop.py" 30 || fail "no consent dialog to grant"
        fi
        # Without a dialog the session starts at once; a dialog nobody answers would hold it.
        wait_for 15 $! grep -qx '\[C++\] Input: Wayland (libei, desktop portal)' "$T/daemon.log" ||
            { cat "$T/daemon.log" >&2; fail "no libei session ($dialog dialog, $start start)"; }
        : >"$T/witness.txt"
        moved() {
            "$cli" send --host 127.0.0.1 --port "$port" --psk-file "$shared/key" move 3 0 >/dev/null &&
                grep -q "^wl_pointer.motion" "$T/witness.txt"
        }
        wait_for 10 "${PIDS[-1]}" moved || fail "no move arrived ($start start)"
        stop_child "${PIDS[-1]}" || : # ended by TERM
        unset 'PIDS[-1]'
    done
}

# The first session asks once; the second, a new bus and a new mutter with the same home, not.
for dialog in yes no; do
    dbus-run-session -- bash -c "source '$here/lib.sh'; shared='$shared' daemon='$daemon' \
        witness='$witness' cli='$cli' here='$here'; $(declare -f session); session $dialog" ||
        fail "the desktop session where the dialog is expected: $dialog"
done
echo "PASS: granted once, then no dialog after a daemon restart and in a new session"
