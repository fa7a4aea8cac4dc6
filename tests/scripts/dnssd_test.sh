#!/usr/bin/env bash
# End-to-end DNS-SD check: pointrelayd must advertise _pointrelay._tcp through
# avahi while running and withdraw it on SIGTERM.
# Usage: dnssd_test.sh PATH_TO_POINTRELAYD
# Exit: 0 pass, 1 fail, 77 skip (avahi cannot run here).
# If no system bus / avahi-daemon is running, private ones are started
# (avahi restricted to the loopback interface) and stopped again at the end.
set -euo pipefail

SERVICE=_pointrelay._tcp
NAME='Pointrelay Server'

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

DAEMON=${1:-}
[[ -n $DAEMON && -x $DAEMON ]] || fail "usage: $0 PATH_TO_POINTRELAYD"

for tool in avahi-daemon avahi-browse dbus-daemon dbus-send; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done

T=$(mktemp -d)
# Every process we start is our child (no --fork/--daemonize): PID 1 here
# does not reap orphans, and children can be stopped and reaped precisely.
DAEMON_PID='' AVAHI_PID='' DBUS_PID=''

# Stop one of our children: TERM, up to 3 s grace, KILL, reap.
# (bash reaps exited children while we sleep, so kill -0 then fails.)
stop_child() {
    local i
    kill -TERM "$1" 2>/dev/null
    for ((i = 0; i < 30; i++)); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}

cleanup() {
    local rc=$?
    set +e
    [[ -n $DAEMON_PID ]] && stop_child "$DAEMON_PID"
    [[ -n $AVAHI_PID ]] && stop_child "$AVAHI_PID"
    if [[ -n $DBUS_PID ]]; then
        stop_child "$DBUS_PID"
        rm -f /run/dbus/pid /run/dbus/system_bus_socket
    fi
    rm -rf "$T"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

bus_ok() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.GetId >/dev/null 2>&1
}
avahi_running() {
    dbus-send --system --print-reply --dest=org.freedesktop.Avahi / \
        org.freedesktop.Avahi.Server.GetState 2>/dev/null | grep -q 'int32 2'
}
# Parsable browse output: =;iface;proto;name;type;domain;host;address;port;txt
# (resolved entries only; names escape spaces as \032).
browse() { avahi-browse -rtp "$SERVICE" 2>&1 || true; }
advertised() {
    awk -F';' -v port="$PORT" -v name="$NAME" '
        $1 == "=" && $9 == port { n = $4; gsub(/\\032/, " ", n); if (index(n, name)) found = 1 }
        END { exit !found }' <<<"$1"
}

# --- System D-Bus ---------------------------------------------------------
if ! bus_ok; then
    ((EUID == 0)) || skip "no system D-Bus and not root"
    mkdir -p /run/dbus
    rm -f /run/dbus/pid /run/dbus/system_bus_socket
    dbus-daemon --system --nofork </dev/null >"$T/dbus.log" 2>&1 &
    DBUS_PID=$!
    for ((i = 0; i < 50; i++)); do
        bus_ok && break
        kill -0 "$DBUS_PID" 2>/dev/null || break
        sleep 0.1
    done
    bus_ok || skip "dbus-daemon failed to start: $(tr '\n' ' ' <"$T/dbus.log")"
fi

# --- avahi-daemon (loopback only when we start it) -------------------------
if ! avahi-daemon --check 2>/dev/null; then
    ((EUID == 0)) || skip "avahi-daemon is not running and not root"
    cat >"$T/avahi.conf" <<'CONF'
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
    avahi-daemon --no-drop-root --no-chroot -f "$T/avahi.conf" \
        </dev/null >"$T/avahi.log" 2>&1 &
    AVAHI_PID=$!
fi
for ((i = 0; i < 100; i++)); do # running state takes ~1.2 s after start
    avahi_running && break
    [[ -n $AVAHI_PID ]] && ! kill -0 "$AVAHI_PID" 2>/dev/null && break
    sleep 0.1
done
if ! avahi_running; then
    [[ -n $AVAHI_PID ]] &&
        skip "avahi-daemon failed to start: $(tail -n 3 "$T/avahi.log" | tr '\n' ' ')"
    skip "the running avahi-daemon does not answer on the system bus"
fi

# --- Free TCP port -----------------------------------------------------------
PORT=''
if command -v python3 >/dev/null 2>&1; then
    PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("", 0)); print(s.getsockname()[1])' 2>/dev/null || true)
fi
if ! [[ $PORT =~ ^[0-9]+$ ]]; then
    PORT=$((20000 + RANDOM % 10000))
    while [[ -n $(ss -ltnH "sport = :$PORT" 2>/dev/null) ]]; do
        PORT=$((PORT + 1))
    done
fi

# --- Start the daemon and wait for its advertisement -----------------------
export AVAHI_COMPAT_NOWARN=1
export XDG_STATE_HOME="$T/state" # the daemon's replay memory stays inside the test folder
"$DAEMON" --port "$PORT" </dev/null 2>"$T/log" &
DAEMON_PID=$!

show_log() { echo "--- daemon log:" >&2; cat "$T/log" >&2; }
for ((i = 0; i < 50; i++)); do
    grep -qF '[C++] mDNS: _pointrelay._tcp advertised' "$T/log" && break
    if grep -qF 'mDNS register failed' "$T/log"; then
        show_log; fail "daemon could not register the service"
    fi
    kill -0 "$DAEMON_PID" 2>/dev/null || { show_log; fail "daemon exited early"; }
    sleep 0.1
done
grep -qF '[C++] mDNS: _pointrelay._tcp advertised' "$T/log" ||
    { show_log; fail "no advertisement message within 5 s"; }

# --- The service must be visible to avahi-browse ---------------------------
found='' deadline=$((SECONDS + 8))
while ((SECONDS < deadline)); do # each browse takes ~1 s
    out=$(browse)
    if advertised "$out"; then found=1; break; fi
    sleep 0.2
done
if [[ -z $found ]]; then
    echo "--- avahi-browse -rtp $SERVICE:" >&2; echo "$out" >&2
    show_log; fail "service on port $PORT not found by avahi-browse"
fi

# --- Clean shutdown on SIGTERM ---------------------------------------------
kill -TERM "$DAEMON_PID"
# bash reaps the child while polling, so kill -0 fails once it has exited.
for ((i = 0; i < 50; i++)); do
    kill -0 "$DAEMON_PID" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$DAEMON_PID" 2>/dev/null && { show_log; fail "daemon ignored SIGTERM for 5 s"; }
status=0
wait "$DAEMON_PID" || status=$?
DAEMON_PID=''
((status == 0)) || { show_log; fail "daemon exited with status $status after SIGTERM"; }
grep -qF "[C++] Listening on port $PORT" "$T/log" ||
    { show_log; fail "no '[C++] Listening on port $PORT' in log"; }
grep -qF '[C++] Server stopped' "$T/log" || { show_log; fail "no '[C++] Server stopped' in log"; }
if grep -vn '^\[C++\] ' "$T/log" >"$T/foreign"; then
    echo "--- lines without the [C++] prefix:" >&2; cat "$T/foreign" >&2
    fail "daemon log contains foreign output (e.g. avahi compatibility warnings)"
fi

# --- The advertisement must be withdrawn -----------------------------------
gone='' deadline=$((SECONDS + 8))
while ((SECONDS < deadline)); do
    out=$(browse)
    if ! advertised "$out"; then gone=1; break; fi
    sleep 0.2
done
if [[ -z $gone ]]; then
    echo "--- avahi-browse -rtp $SERVICE:" >&2; echo "$out" >&2
    fail "service on port $PORT still advertised after shutdown"
fi

echo "PASS: $SERVICE advertised on port $PORT and withdrawn on SIGTERM"
