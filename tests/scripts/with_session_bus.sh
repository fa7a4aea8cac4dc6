#!/usr/bin/env bash
# Runs a command on a private D-Bus session bus of its own, e.g. with a mock desktop portal
# that the command starts itself (tests/support/portal/mock_portal.py).
# Usage: with_session_bus.sh CMD [ARG...]
# Starts dbus-daemon --session-like with no service activation, so nothing outlives the bus;
# runs CMD with DBUS_SESSION_BUS_ADDRESS set, a private XDG_RUNTIME_DIR and DISPLAY and
# WAYLAND_DISPLAY unset; stops the bus again by its PID.
# Exit: CMD's status; 77 skip (dbus-daemon is not installed or does not start).
set -euo pipefail

skip() { echo "SKIP: $*" >&2; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

(($# > 0)) || fail "usage: $0 CMD [ARG...]"
command -v dbus-daemon >/dev/null 2>&1 || skip "dbus-daemon is not installed"

T=$(mktemp -d)
BUS_PID=''

# The bus is our child (PID 1 here reaps no orphans): TERM, up to 3 s grace, KILL, reap.
cleanup() {
    local rc=$? i
    set +e
    if [[ -n $BUS_PID ]]; then
        kill -TERM "$BUS_PID" 2>/dev/null
        for ((i = 0; i < 30; i++)); do
            kill -0 "$BUS_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$BUS_PID" 2>/dev/null
        wait "$BUS_PID" 2>/dev/null
    fi
    rm -rf "$T"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

RUN="$T/run"
mkdir -m 700 "$RUN"
BUS="unix:path=$RUN/bus"
cat >"$T/bus.conf" <<CONF
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
CONF
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

status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u WAYLAND_SOCKET XDG_RUNTIME_DIR="$RUN" \
    DBUS_SESSION_BUS_ADDRESS="$BUS" "$@" || status=$?
exit "$status"
