#!/usr/bin/env bash
# Runs CMD against a private, headless sway (wlroots) with one 1280x800 output in a private
# XDG_RUNTIME_DIR (as nobody when run by root: sway refuses root; root clients may still use
# its socket), once its IPC lists the output; CMD gets WAYLAND_DISPLAY, XDG_RUNTIME_DIR and
# SWAYSOCK, and no DISPLAY. No bar, wallpaper or Xwayland: sway starts no other program.
# Usage: with_sway.sh CMD [ARG...]
# Exit: CMD's status; 77 skip (sway not installed, or it does not start here).
source "$(dirname "$0")/lib.sh"
(($# > 0)) || fail "usage: $0 CMD [ARG...]"
need sway swaymsg
RUN=$T/run as_user=()
mkdir -m 700 "$RUN"
chmod 711 "$T"
if ((EUID == 0)); then
    need setpriv
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    chown nobody:nogroup "$RUN"
fi
printf 'output HEADLESS-1 resolution 1280x800\nxwayland disable\n' >"$T/config"
up() { # the Wayland socket is made before the IPC one
    ipc=$(compgen -G "$RUN/sway-ipc.*.sock") &&
        SWAYSOCK=$ipc swaymsg -t get_outputs 2>/dev/null | grep -q HEADLESS-1 &&
        socket=$(compgen -G "$RUN/wayland-*" | grep -v '\.lock$' | head -n 1)
}
start_desktop() {
    rm -f "$RUN"/sway-ipc.*.sock
    env -u DISPLAY -u WAYLAND_DISPLAY -u WAYLAND_SOCKET -u SWAYSOCK -u DBUS_SESSION_BUS_ADDRESS \
        XDG_RUNTIME_DIR="$RUN" HOME="$RUN" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
        WLR_RENDERER=pixman "${as_user[@]}" sway -c "$T/config" </dev/null >>"$T/sway.log" 2>&1 &
    PIDS+=($!)
    local pid=$!
    wait_for 10 "$pid" up || skip "sway did not start: $(tail -n 5 "$T/sway.log" | tr '\n' ' ')"
    echo "$pid" >"$T/desktop.pid" # once it is up
}
start_desktop
keep_desktop_up env -u DISPLAY -u WAYLAND_SOCKET WAYLAND_DISPLAY="${socket##*/}" \
    XDG_RUNTIME_DIR="$RUN" SWAYSOCK="$ipc" "$@" || exit $?
