#!/usr/bin/env bash
# The tray application for real on a headless X server: PointrelayServer starts with a private
# home, its status popup starts pointrelayd, a phone connects over loopback and stays, the
# popup shows "稼働中" and "Clients: 1", and quitting takes the quit sequence: the daemon ends and
# the port is free before the application exits. With trayer and xdotool installed the tray
# icon and the buttons are clicked for real (the icon twice more, to close and reopen the
# popup), and "終了" quits; otherwise the application opens the popup and presses Start
# itself, and SIGTERM quits (also with UI_SMOKE_MODE=drive).
# Usage: ui_smoke.sh POINTRELAYSERVER SMOKE_PHONE [SCREENSHOT_DIR]
# Exit: 0 pass, 1 fail, 77 skip (no X server tools).
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
[[ -n ${POINTRELAY_NETNS:-} ]] || exec "$HERE/in_private_network.sh" "$0" "$@"
if [[ -z ${POINTRELAY_SMOKE_DISPLAY_READY:-} ]]; then
    POINTRELAY_SMOKE_DISPLAY_READY=1 exec "$HERE/with_xvfb.sh" "$0" "$@"
fi

APP=${1:?usage: $0 POINTRELAYSERVER SMOKE_PHONE [SCREENSHOT_DIR]}
PHONE=${2:?usage: $0 POINTRELAYSERVER SMOKE_PHONE [SCREENSHOT_DIR]}
SHOTS=${3:-}

T=$(mktemp -d)
APP_PID='' PHONE_PID='' TRAYER_PID=''
fail() {
    echo "FAIL: $*" >&2
    [[ -f $T/app.out ]] && sed 's/^/  app: /' "$T/app.out" >&2
    exit 1
}
# Everything here is our child (PID 1 reaps no orphans): stop each by its PID and reap it.
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
    stop "$PHONE_PID"
    stop "$APP_PID"
    stop "$TRAYER_PID"
    rm -rf "$T"
    exit "$rc"
}
trap cleanup EXIT

export HOME=$T/home XDG_CONFIG_HOME=$T/home/.config XDG_STATE_HOME=$T/home/.state
export XDG_RUNTIME_DIR=$T/runtime
unset DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM
mkdir -p "$XDG_CONFIG_HOME/pointrelay" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
PORT=$((20000 + RANDOM % 20000))
while [[ -n $(ss -ltnH "sport = :$PORT" 2>/dev/null) ]]; do PORT=$((PORT + 1)); done
# The settings as the application stores them; no avahi here, so no advertising.
printf '{"port": %d, "bonjourEnabled": false}\n' "$PORT" \
    >"$XDG_CONFIG_HOME/pointrelay/PointrelayServer.json"

CLICK=0
if [[ ${UI_SMOKE_MODE:-} != drive ]] && command -v trayer >/dev/null 2>&1 &&
    command -v xdotool >/dev/null 2>&1; then
    CLICK=1
    trayer --edge bottom --align right --widthtype pixel --width 100 --height 24 \
        >"$T/trayer.out" 2>&1 &
    TRAYER_PID=$!
    for ((i = 0; i < 50; i++)); do # its window appears once it owns the tray selection
        xdotool search --classname trayer >/dev/null 2>&1 && break
        sleep 0.1
    done
fi

POINTRELAY_SMOKE=1 POINTRELAY_SMOKE_DRIVE=$((1 - CLICK)) \
    POINTRELAY_SMOKE_SHOT=${SHOTS:+$SHOTS/ui_smoke_popover.png} \
    "$APP" >"$T/app.out" 2>&1 </dev/null &
APP_PID=$!
[[ -n $SHOTS ]] && mkdir -p "$SHOTS"

wait_for() { # PATTERN SECONDS
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        grep -q -- "$1" "$T/app.out" && return 0
        kill -0 "$APP_PID" 2>/dev/null || fail "PointrelayServer ended early"
        sleep 0.1
    done
    fail "no line matching '$1' within $2 s"
}

count() { grep -c -- "$1" "$T/app.out" || true; }
click() { xdotool mousemove "$1" "$2" click 1; }
# "... at X,Y" of the last line matching PATTERN.
position() { grep -- "$1" "$T/app.out" | tail -n 1 | sed -E "s/.*$2 at ([0-9]+),([0-9]+).*/\1 \2/"; }

wait_for '^\[smoke\] tray: ' 10
if ((CLICK)); then
    grep -q '^\[smoke\] tray: available' "$T/app.out" || fail "trayer runs but Qt sees no tray"
    read -r ICON_X ICON_Y < <(position '^\[smoke\] tray: ' icon)
    click "$ICON_X" "$ICON_Y"
    wait_for '^\[smoke\] popover at' 5
    read -r START_X START_Y < <(position '^\[smoke\] popover at' Start)
    wait_for "^\[smoke\] 停止中 | .* | Start" 5
    click "$START_X" "$START_Y"
fi
wait_for "^\[smoke\] 稼働中 | .* | Port: $PORT | Clients: 0 | Stop" 20
daemon=$(ps -o pid=,comm= --ppid "$APP_PID" | awk '$2 == "pointrelayd" {print $1}')
[[ -n $daemon ]] || fail "no pointrelayd child of PointrelayServer"
[[ -n $(ss -ltnH "sport = :$PORT") ]] || fail "nothing listens on port $PORT"

"$PHONE" "$PORT" 60 >"$T/phone.out" 2>&1 &
PHONE_PID=$!
wait_for "^\[smoke\] 稼働中 | .* | Clients: 1 | Stop" 10

if ((CLICK)); then
    # A click on the icon closes the open popup (and is not taken as a new opening); the
    # next opens a new one that shows the current values.
    opened=$(count '^\[smoke\] popover at')
    click "$ICON_X" "$ICON_Y"
    wait_for '^\[smoke\] popover closed' 5
    sleep 0.5
    ((opened == $(count '^\[smoke\] popover at'))) || fail "the closing click reopened the popup"
    click "$ICON_X" "$ICON_Y"
    for ((i = 0; i < 50; i++)); do
        (($(count '^\[smoke\] popover at') > opened)) && break
        sleep 0.1
    done
    (($(count '^\[smoke\] popover at') > opened)) || fail "the popup did not open again"
    # The reopened popup shows the model as it is now: wait (bounded) until its latest line
    # is the connected phone, rather than assume when the connection poll last ran.
    for ((i = 0; i < 30; i++)); do
        [[ $(grep '^\[smoke\]' "$T/app.out" | tail -n 1) == *"稼働中 | "*" | Clients: 1 | Stop" ]] &&
            break
        sleep 0.1
    done
    [[ $(grep '^\[smoke\]' "$T/app.out" | tail -n 1) == *"Clients: 1 | Stop" ]] ||
        fail "the reopened popup does not show the connected phone"
fi

if [[ -n $SHOTS ]] && command -v import >/dev/null 2>&1; then
    import -window root "$SHOTS/ui_smoke_screen.png" || true
fi
grep '^\[smoke\]' "$T/app.out"
if ((CLICK)); then
    read -r QUIT_X QUIT_Y < <(position '^\[smoke\] popover at' Quit)
    click "$QUIT_X" "$QUIT_Y" # "終了"
    how="終了"
else
    kill -TERM "$APP_PID"
    how="SIGTERM"
fi
status=0
for ((i = 0; i < 50; i++)); do
    kill -0 "$APP_PID" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$APP_PID" 2>/dev/null && fail "PointrelayServer still runs 5 s after $how"
wait "$APP_PID" || status=$?
APP_PID=''
((status == 0)) || fail "PointrelayServer exited with $status after $how"
! kill -0 "$daemon" 2>/dev/null || fail "pointrelayd ($daemon) outlived the application"
[[ -z $(ss -ltnH "sport = :$PORT") ]] || fail "port $PORT still listened on"
grep -q '"pr_first_run_done": true' "$XDG_CONFIG_HOME/pointrelay/PointrelayServer.json" ||
    fail "the first-run flag was not stored"
echo "PASS: popup started pointrelayd on port $PORT, showed 稼働中 and Clients: 1; $how stopped it"
