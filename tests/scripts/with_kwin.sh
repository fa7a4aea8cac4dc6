#!/usr/bin/env bash
# Runs CMD against a private, headless KWin (kwin_wayland --virtual, one 1280x800 output) with
# its own session bus, XDG_RUNTIME_DIR and home, once its Wayland socket exists. KWin offers its
# fake input only to programs that an installed desktop file names: TRUSTED (the daemon under
# test) is named in one in the private home, hidden from menus, as the package installs it for
# /usr/bin/pointrelayd. CMD gets WAYLAND_DISPLAY, XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS and
# the private home's XDG folders, and no DISPLAY.
# TRUSTED may name several programs, separated by ":"; "-" names none: the desktop files
# installed on the machine decide.
# Usage: with_kwin.sh TRUSTED CMD [ARG...]
# Exit: CMD's status; 77 skip (kwin_wayland or kbuildsycoca6 missing, or KWin does not start).
source "$(dirname "$0")/lib.sh"
(($# > 1)) || fail "usage: $0 TRUSTED CMD [ARG...]"
need kwin_wayland kbuildsycoca6
trusted=$1
shift
start_session_bus
NAME=wayland-pointrelay-$$ H=$T/home
mkdir -p -m 700 "$H" && mkdir -p "$H/.local/share/applications"
IFS=: read -r -a programs <<<"$trusted"
for program in "${programs[@]}"; do
    [[ $program == - ]] && continue
    cat >"$H/.local/share/applications/pointrelay-$(basename "$program").desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Name=$(basename "$program")
Exec=$(realpath "$program")
NoDisplay=true
X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input
DESKTOP
done
home=(HOME="$H" XDG_CONFIG_HOME="$H/.config" XDG_DATA_HOME="$H/.local/share"
    XDG_CACHE_HOME="$H/.cache" XDG_RUNTIME_DIR="$RUN" DBUS_SESSION_BUS_ADDRESS="$BUS")
env "${home[@]}" kbuildsycoca6 --noincremental >"$T/sycoca.log" 2>&1 ||
    skip "kbuildsycoca6 failed: $(tail -n 3 "$T/sycoca.log" | tr '\n' ' ')"
up() { [[ -S $RUN/$NAME ]]; }
start_desktop() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u WAYLAND_SOCKET "${home[@]}" QT_QPA_PLATFORM=offscreen \
        kwin_wayland --virtual --width 1280 --height 800 --socket "$NAME" </dev/null \
        >>"$T/kwin.log" 2>&1 &
    PIDS+=($!)
    local pid=$!
    wait_for 20 "$pid" up || skip "KWin did not start: $(tail -n 5 "$T/kwin.log" | tr '\n' ' ')"
    echo "$pid" >"$T/desktop.pid" # once it is up
}
start_desktop
keep_desktop_up env -u DISPLAY -u WAYLAND_SOCKET "${home[@]}" WAYLAND_DISPLAY="$NAME" "$@" ||
    exit $?
