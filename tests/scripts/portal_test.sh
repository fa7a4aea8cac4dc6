#!/usr/bin/env bash
# The desktop portal with libei as a person meets it, on GNOME 48 (mutter) or KDE Plasma 6.3
# (KWin, with PipeWire): in a first desktop session (the compositor, the portal and its
# desktop's backend on a session bus that starts services) the daemon asks, the consent dialog
# is granted once through the accessibility bus, and a move reaches a Wayland client through
# libei; the daemon restarted in that session, and then a new desktop session with the same
# home, reach it again without any dialog.
# Usage: portal_test.sh gnome|kde POINTRELAYD WITNESS POINTRELAY
# Exit: 0 pass, 1 fail, 77 skip (that desktop's portal is not installed).
source "$(dirname "$0")/lib.sh"
(($# == 4)) || fail "usage: $0 gnome|kde POINTRELAYD WITNESS POINTRELAY"
desktop=$1 daemon=$2 witness=$3 cli=$4 here=$(cd "$(dirname "$0")" && pwd)
need gdbus dbus-run-session dbus-update-activation-environment python3
if [[ $desktop == gnome ]]; then
    need mutter
    export XDG_CURRENT_DESKTOP=GNOME
else
    need kwin_wayland pipewire wireplumber
    export XDG_CURRENT_DESKTOP=KDE
fi
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 # Qt's dialogs show themselves to the accessibility bus
[[ -n $(compgen -G "/usr/lib*/*/libexec/xdg-desktop-portal-$desktop" ||
    compgen -G "/usr/libexec/xdg-desktop-portal-$desktop") ]] ||
    skip "xdg-desktop-portal-$desktop is not installed"
export HOME=$T/home XDG_STATE_HOME=$T/home/.local/state XDG_SESSION_TYPE=wayland
mkdir -p "$HOME/.config/xdg-desktop-portal"
printf '[preferred]\ndefault=gnome;gtk;\n' >"$HOME/.config/xdg-desktop-portal/gnome-portals.conf"
printf %s 0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0 >"$T/key"
shared=$T

# One desktop session: the compositor, then the daemon through the portal; DIALOG says whether the
# person is asked (and grants) this time. Runs in a shell of its own on a new session bus, with
# a folder of its own ($T) for its logs and the home and key in $shared.
session() {
    local dialog=$1 name=wayland-portal-$RANDOM port
    export WAYLAND_DISPLAY=$name
    # The portal's backend is started by the bus: it finds the compositor through these.
    dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE \
        XDG_RUNTIME_DIR HOME XDG_STATE_HOME QT_LINUX_ACCESSIBILITY_ALWAYS_ON
    if [[ $desktop == gnome ]]; then
        mutter --headless --wayland --no-x11 --virtual-monitor 1280x800 --wayland-display="$name" \
            </dev/null >>"$T/desktop.log" 2>&1 &
        PIDS+=($!)
        up() { [[ -S $XDG_RUNTIME_DIR/$name ]] && gdbus introspect --session \
            -d org.gnome.Mutter.RemoteDesktop -o /org/gnome/Mutter/RemoteDesktop >/dev/null 2>&1; }
    else # KDE's portal shares the screen through PipeWire, also when only input is asked for
        pipewire </dev/null >>"$T/pipewire.log" 2>&1 &
        PIDS+=($!)
        wireplumber </dev/null >>"$T/pipewire.log" 2>&1 &
        PIDS+=($!)
        QT_QPA_PLATFORM=offscreen kwin_wayland --virtual --width 1280 --height 800 \
            --socket "$name" </dev/null >>"$T/desktop.log" 2>&1 &
        PIDS+=($!)
        up() { [[ -S $XDG_RUNTIME_DIR/$name ]]; }
    fi
    wait_for 20 $! up || fail "the $desktop compositor did not start: $(tail -n 3 "$T/desktop.log")"
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
# Each session in a process group of its own, with its output in a file: what its bus started
# and left behind (KDE's plasma_waitforname waits a minute for a notification service) is
# ended with it, and holds no pipe of whoever runs this test.
for dialog in yes no; do
    setsid dbus-run-session -- bash -c "source '$here/lib.sh'; shared='$shared' desktop='$desktop' \
        daemon='$daemon' witness='$witness' cli='$cli' here='$here'; $(declare -f session); \
        session $dialog" >"$T/session.log" 2>&1 </dev/null &
    group=$!
    wait "$group" || { cat "$T/session.log" >&2; fail "the session where the dialog is expected: $dialog"; }
    kill -TERM -- "-$group" 2>/dev/null || :
done
echo "PASS: granted once, then no dialog after a daemon restart and in a new session"
