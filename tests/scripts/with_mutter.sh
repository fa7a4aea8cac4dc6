#!/usr/bin/env bash
# Runs a command against a private, headless mutter (GNOME) compositor and its own session bus.
# Usage: with_mutter.sh CMD [ARG...]
# Starts a session bus (no service activation) and mutter with one 1280x800 virtual monitor in a
# private XDG_RUNTIME_DIR and home, waits until its Wayland socket exists and
# org.gnome.Mutter.RemoteDesktop answers, runs CMD with WAYLAND_DISPLAY, XDG_RUNTIME_DIR and
# DBUS_SESSION_BUS_ADDRESS set and DISPLAY unset, and stops mutter and the bus again.
# mutter scales every new window in over 250 ms (no setting turns this off): surface
# coordinates settle only then.
# Exit: CMD's status; 77 skip (mutter, dbus-daemon or gdbus not installed, or mutter does not
# start here).
set -euo pipefail

skip() { echo "SKIP: $*" >&2; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

(($# > 0)) || fail "usage: $0 CMD [ARG...]"
for tool in mutter dbus-daemon gdbus; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done

T=$(mktemp -d)
BUS_PID='' MUTTER_PID=''

# Both are our children (PID 1 here reaps no orphans): TERM, up to 3 s grace, KILL, reap.
stop() {
    local pid=$1 i
    [[ -n $pid ]] || return 0
    kill -TERM "$pid" 2>/dev/null
    for ((i = 0; i < 30; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}
cleanup() {
    local rc=$?
    set +e
    stop "$MUTTER_PID"
    stop "$BUS_PID"
    rm -rf "$T"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

RUN="$T/run"
mkdir -m 700 "$RUN" "$T/home"
NAME="wayland-pointrelay-$$"
BUS="unix:path=$RUN/bus"

# A session bus that starts no services, so nothing outlives it.
cat >"$T/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>$BUS</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
: >"$T/bus.address" # exists before the background redirection opens it
dbus-daemon --config-file="$T/bus.conf" --nofork --print-address=3 \
    3>"$T/bus.address" </dev/null >"$T/bus.log" 2>&1 &
BUS_PID=$!
for ((i = 0; i < 100; i++)); do
    [[ -s $T/bus.address ]] && break
    kill -0 "$BUS_PID" 2>/dev/null || break
    sleep 0.05
done
[[ -s $T/bus.address ]] || skip "the session bus did not start: $(tail -n 5 "$T/bus.log")"

env -u DISPLAY -u WAYLAND_DISPLAY -u WAYLAND_SOCKET XDG_RUNTIME_DIR="$RUN" HOME="$T/home" \
    XDG_CONFIG_HOME="$T/home/.config" XDG_DATA_HOME="$T/home/.local/share" \
    XDG_CACHE_HOME="$T/home/.cache" DBUS_SESSION_BUS_ADDRESS="$BUS" GSETTINGS_BACKEND=memory \
    mutter --headless --wayland --no-x11 --virtual-monitor 1280x800 --wayland-display="$NAME" \
    </dev/null >"$T/mutter.log" 2>&1 &
MUTTER_PID=$!

# Up when the socket exists and the remote desktop service answers; at most 15 s.
up=0
for ((i = 0; i < 300; i++)); do
    kill -0 "$MUTTER_PID" 2>/dev/null || break
    if [[ -S $RUN/$NAME ]] &&
        gdbus introspect --address "$BUS" --dest org.gnome.Mutter.RemoteDesktop \
            --object-path /org/gnome/Mutter/RemoteDesktop >/dev/null 2>&1; then
        up=1
        break
    fi
    sleep 0.05
done
((up)) || skip "mutter did not start: $(tail -n 5 "$T/mutter.log" | tr '\n' ' ')"

status=0
env -u DISPLAY -u WAYLAND_SOCKET WAYLAND_DISPLAY="$NAME" XDG_RUNTIME_DIR="$RUN" \
    DBUS_SESSION_BUS_ADDRESS="$BUS" "$@" || status=$?
exit "$status"
