#!/usr/bin/env bash
# End-to-end DNS-SD check: pointrelayd advertises _pointrelay._tcp through avahi while it runs,
# writes nothing but its own log lines, and withdraws the service on SIGTERM. Without a system
# bus or avahi-daemon, private ones are started (avahi on the loopback interface only).
# Usage: dnssd_test.sh PATH_TO_POINTRELAYD
# Exit: 0 pass, 1 fail, 77 skip (avahi cannot run here).
source "$(dirname "$0")/lib.sh"
DAEMON=${1:-} SERVICE=_pointrelay._tcp
[[ -x $DAEMON ]] || fail "usage: $0 PATH_TO_POINTRELAYD"
need avahi-daemon avahi-browse dbus-daemon dbus-send python3
system() { dbus-send --system --print-reply --dest="$1" / "$2" 2>/dev/null; }
bus_up() { system org.freedesktop.DBus org.freedesktop.DBus.GetId >/dev/null; }
avahi_up() { system org.freedesktop.Avahi org.freedesktop.Avahi.Server.GetState | grep -q 'int32 2'; }
if ! bus_up; then
    ((EUID == 0)) || skip "no system D-Bus and not root"
    mkdir -p /run/dbus
    AFTER='rm -f /run/dbus/pid /run/dbus/system_bus_socket'
    eval "$AFTER"
    dbus-daemon --system --nofork </dev/null >"$T/dbus.log" 2>&1 &
    PIDS+=($!)
    wait_for 5 $! bus_up || skip "dbus-daemon did not start: $(tr '\n' ' ' <"$T/dbus.log")"
fi
if ! avahi-daemon --check 2>/dev/null; then
    ((EUID == 0)) || skip "avahi-daemon is not running and not root"
    printf '%s\n' '[server]' use-ipv4=yes use-ipv6=no allow-interfaces=lo '[wide-area]' \
        enable-wide-area=no '[publish]' publish-hinfo=no publish-workstation=no >"$T/avahi.conf"
    avahi-daemon --no-drop-root --no-chroot -f "$T/avahi.conf" </dev/null >"$T/avahi.log" 2>&1 &
    PIDS+=($!)
fi
owner=$$ # the avahi-daemon started here, if any: its end ends the wait
((${#PIDS[@]} == 0)) || owner=${PIDS[-1]}
wait_for 10 "$owner" avahi_up || skip "avahi-daemon did not start: $(tail -n 3 "$T/avahi.log" 2>/dev/null)"

PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("", 0)); print(s.getsockname()[1])')
AVAHI_COMPAT_NOWARN=1 XDG_STATE_HOME=$T/state "$DAEMON" --port "$PORT" </dev/null 2>"$T/log" &
DAEMON_PID=$!
PIDS+=($!)
failed() { echo "--- daemon log:" >&2 && cat "$T/log" >&2 && fail "$@"; }
logged() { grep -qF "[C++] $1" "$T/log"; }
# Resolved entries of the parsable listing: =;iface;proto;name;type;domain;host;address;port;txt
listed() {
    avahi-browse -rtp "$SERVICE" >"$T/browse" 2>&1
    awk -F';' -v port="$PORT" '$1 == "=" && $9 == port { gsub(/\\032/, " ", $4);
        if (index($4, "Pointrelay Server")) found = 1 } END { exit !found }' "$T/browse"
}
unlisted() { ! listed; }
wait_for 5 $DAEMON_PID logged "mDNS: $SERVICE advertised" || failed "no advertisement within 5 s"
wait_for 8 $$ listed || { cat "$T/browse" >&2 && failed "port $PORT not found by avahi-browse"; }

kill -TERM $DAEMON_PID
timeout 5 tail --pid=$DAEMON_PID -f /dev/null || failed "the daemon ignored SIGTERM for 5 s"
wait $DAEMON_PID || failed "the daemon exited with status $? after SIGTERM"
{ logged "Listening on port $PORT" && logged "Server stopped"; } || failed "a log line is missing"
! grep -vn '^\[C++\] ' "$T/log" >&2 || failed "lines without the [C++] prefix (foreign output)"
wait_for 8 $$ unlisted || { cat "$T/browse" >&2 && fail "still advertised after the stop"; }
echo "PASS: $SERVICE advertised on port $PORT and withdrawn on SIGTERM"
