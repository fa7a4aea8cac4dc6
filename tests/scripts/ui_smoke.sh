#!/usr/bin/env bash
# The tray application for real on a headless X server with trayer's tray, clicked with xdotool
# as a user would: PointrelayServer starts with a private home as the launch at login starts it
# (--background), serving at once; a click on its tray icon opens the status popup with
# "稼働中"; a phone connects over loopback and stays, and the popup shows "Clients: 1"; a second
# launch ends at once and brings the first one's settings forward; a click on the icon closes
# the popup; SIGTERM takes the quit sequence: the daemon ends and the port is free before the
# application exits.
# Usage: ui_smoke.sh POINTRELAYSERVER SMOKE_PHONE [SCREENSHOT_DIR]
# Exit: 0 pass, 1 fail, 77 skip (no X server tools, trayer or xdotool).
HERE=$(cd "$(dirname "$0")" && pwd)
[[ -n ${POINTRELAY_NETNS:-} ]] || exec "$HERE/in_private_network.sh" "$0" "$@"
[[ -n ${POINTRELAY_SMOKE_DISPLAY_READY:-} ]] ||
    POINTRELAY_SMOKE_DISPLAY_READY=1 exec "$HERE/with_xvfb.sh" "$0" "$@"
source "$HERE/lib.sh"
need trayer xdotool
APP=${1:-} PHONE=${2:-}
[[ -x $APP && -x $PHONE ]] || fail "usage: $0 POINTRELAYSERVER SMOKE_PHONE [SCREENSHOT_DIR]"
SHOTS=${3:-$T}
fail() { echo "FAIL: $*" >&2; sed 's/^/  app: /' "$T/app.out" >&2; exit 1; }

export HOME=$T/home XDG_CONFIG_HOME=$T/home/.config XDG_STATE_HOME=$T/home/.state
export XDG_RUNTIME_DIR=$T/runtime
unset DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM
mkdir -p "$XDG_CONFIG_HOME/pointrelay" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
PORT=$(free_port)
# The settings as the application stores them; no avahi here, so no advertising.
printf '{"port": %d, "bonjourEnabled": false}\n' "$PORT" \
    >"$XDG_CONFIG_HOME/pointrelay/PointrelayServer.json"

trayer --edge bottom --align right --widthtype pixel --width 100 --height 24 >/dev/null 2>&1 &
PIDS+=($!)
tray() { xdotool search --classname trayer >/dev/null 2>&1; } # once it owns the tray selection
wait_for 5 $! tray || :
mkdir -p "$SHOTS"
# As the launch at login starts it: serving at once, quietly in the tray.
POINTRELAY_SMOKE=1 POINTRELAY_SMOKE_SHOT=$SHOTS/ui_smoke_background_tray.png "$APP" --background \
    >"$T/app.out" 2>&1 </dev/null &
APP_PID=$!
PIDS+=("$APP_PID")

# Waits (bounded) until the application's latest "[smoke]" line matches PATTERN.
is_latest() { [[ $(grep '^\[smoke\]' "$T/app.out" | tail -n 1) =~ $1 ]]; }
latest() {
    wait_for "$2" "$APP_PID" is_latest "$1" && return
    kill -0 "$APP_PID" 2>/dev/null || fail "PointrelayServer ended early"
    fail "the latest line does not match '$1' after $2 s"
}
opened() { grep -c '^\[smoke\] popover at' "$T/app.out" || true; }
click() { xdotool mousemove "$1" "$2" click 1; }
# "NAME at X,Y" of the last line that names it.
position() { grep -- "$1 at" "$T/app.out" | tail -n 1 | sed -E "s/.*$1 at ([0-9]+),([0-9]+).*/\1 \2/"; }

latest '^\[smoke\] tray: available' 10 # trayer's, as Qt sees it
wait_for 20 "$APP_PID" listening "$PORT" || fail "the background launch does not serve"
read -r ICON_X ICON_Y < <(position icon)
click "$ICON_X" "$ICON_Y"
latest "^\[smoke\] 稼働中 \| .* \| Port: $PORT \| Clients: 0 \| Stop$" 20
daemon=$(ps -o pid=,comm= --ppid "$APP_PID" | awk '$2 == "pointrelayd" {print $1}')
[[ -n $daemon ]] || fail "no pointrelayd child of PointrelayServer"
"$PHONE" "$PORT" 60 >"$T/phone.out" 2>&1 &
PIDS+=($!)
latest "^\[smoke\] 稼働中 \| .* \| Clients: 1 \| Stop$" 10

# A click on the icon closes the open popup (and is not taken as a new opening).
before=$(opened)
click "$ICON_X" "$ICON_Y"
latest '^\[smoke\] popover closed$' 5
sleep 0.5 # a reopening would be reported within 0.1 s
(($(opened) == before)) || fail "the click that closed the popup opened it again"

# A second launch brings the first one's settings forward and ends.
timeout 10 "$APP" >"$T/second.out" 2>&1 </dev/null || fail "a second launch did not end by itself"
shown() { grep -q '^\[smoke\] settings window shown for another launch$' "$T/app.out"; }
wait_for 5 "$APP_PID" shown || fail "the first instance did not show its settings"

kill -TERM "$APP_PID" # as the session ends: the quit sequence stops the running daemon
timeout 5 tail --pid="$APP_PID" -f /dev/null || fail "PointrelayServer still runs 5 s after SIGTERM"
wait "$APP_PID" || fail "PointrelayServer exited with $? after SIGTERM"
! kill -0 "$daemon" 2>/dev/null || fail "pointrelayd ($daemon) outlived the application"
! listening "$PORT" || fail "port $PORT still listened on"
echo "PASS: the background launch served on port $PORT, the popup showed 稼働中 and Clients: 1," \
    "a second launch ended and showed the first's settings; SIGTERM stopped the daemon"
