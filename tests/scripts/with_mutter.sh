#!/usr/bin/env bash
# Runs CMD against a private, headless mutter (GNOME) with one 1280x800 virtual monitor, its
# own session bus, XDG_RUNTIME_DIR and home, once its Wayland socket exists and
# org.gnome.Mutter.RemoteDesktop answers; CMD gets WAYLAND_DISPLAY, XDG_RUNTIME_DIR and
# DBUS_SESSION_BUS_ADDRESS, and no DISPLAY. mutter scales every new window in over 250 ms (no
# setting turns this off): surface coordinates settle only then.
# Usage: with_mutter.sh CMD [ARG...]
# Exit: CMD's status; 77 skip (mutter, dbus-daemon or gdbus missing, or mutter does not start).
source "$(dirname "$0")/lib.sh"
(($# > 0)) || fail "usage: $0 CMD [ARG...]"
need mutter gdbus
start_session_bus
NAME=wayland-pointrelay-$$ H=$T/home
mkdir -m 700 "$H"
up() { [[ -S $RUN/$NAME ]] && gdbus introspect -a "$BUS" -d org.gnome.Mutter.RemoteDesktop \
    -o /org/gnome/Mutter/RemoteDesktop >/dev/null 2>&1; }
start_desktop() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u WAYLAND_SOCKET XDG_RUNTIME_DIR="$RUN" HOME="$H" \
        XDG_CONFIG_HOME="$H/.config" XDG_DATA_HOME="$H/.local/share" XDG_CACHE_HOME="$H/.cache" \
        DBUS_SESSION_BUS_ADDRESS="$BUS" GSETTINGS_BACKEND=memory mutter --headless --wayland \
        --no-x11 --virtual-monitor 1280x800 --wayland-display="$NAME" </dev/null \
        >>"$T/mutter.log" 2>&1 &
    PIDS+=($!)
    local pid=$!
    wait_for 15 "$pid" up || skip "mutter did not start: $(tail -n 5 "$T/mutter.log" | tr '\n' ' ')"
    echo "$pid" >"$T/desktop.pid" # once it is up
}
start_desktop
keep_desktop_up env -u DISPLAY -u WAYLAND_SOCKET WAYLAND_DISPLAY="$NAME" XDG_RUNTIME_DIR="$RUN" \
    DBUS_SESSION_BUS_ADDRESS="$BUS" "$@" || exit $?
