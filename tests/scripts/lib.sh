# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Shared by the test scripts (sourced): skip and fail with the CTest
# exit codes, a temporary folder $T, and children (PIDS) that are stopped and reaped on exit,
# newest first: PID 1 here reaps no orphans. AFTER, if set, runs once they are gone.
set -euo pipefail
skip() { echo "SKIP: $*" >&2; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
need() { local tool; for tool; do command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"; done; }
T=$(mktemp -d) PIDS=() AFTER=''
stop_child() { # TERM, up to 3 s of grace, KILL, reap
    kill -TERM "$1" 2>/dev/null
    wait_for 3 "$1" false || :
    kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}
cleanup() {
    local rc=$? i
    set +e
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_child "${PIDS[i]}"; done
    eval "$AFTER"
    rm -rf "$T"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
# wait_for SECONDS PID CMD...: true once CMD succeeds; false when PID ends or time runs out.
wait_for() {
    local end=$((SECONDS + $1)) pid=$2
    shift 2
    until "$@"; do
        kill -0 "$pid" 2>/dev/null && ((SECONDS < end)) || return 1
        sleep 0.05
    done
}
listening() { [[ -n $(ss -ltnH "sport = :$1") ]]; }
free_port() { # one nothing listens on, from 20000 to 40000
    local port=$((20000 + RANDOM % 20000))
    while listening "$port"; do port=$((port + 1)); done
    echo "$port"
}
# A private session bus that starts no services, so nothing outlives it; sets RUN and BUS.
start_session_bus() {
    need dbus-daemon
    RUN=$T/run BUS=unix:path=$T/run/bus
    mkdir -p "$RUN" && chmod 700 "$RUN"
    echo "<busconfig><type>session</type><listen>$BUS</listen><auth>EXTERNAL</auth>
<policy context='default'><allow send_destination='*' eavesdrop='true'/><allow eavesdrop='true'/>
<allow own='*'/></policy></busconfig>" >"$T/bus.conf"
    dbus-daemon --config-file="$T/bus.conf" --nofork </dev/null >"$T/bus.log" 2>&1 &
    PIDS+=($!)
    wait_for 5 $! test -S "$RUN/bus" || skip "the session bus did not start: $(tail -n 5 "$T/bus.log")"
}
# keep_desktop_up CMD...: runs CMD while the desktop that start_desktop starts (it writes the
# compositor's PID to $T/desktop.pid) stays up: when the compositor ends, it is started anew,
# as after a person logs out and in. CMD finds the PID file in POINTRELAY_DESKTOP_PIDFILE.
alive() { local state; state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) && [[ $state != Z ]]; }
keep_desktop_up() {
    POINTRELAY_DESKTOP_PIDFILE=$T/desktop.pid "$@" &
    local cmd=$! desktop
    PIDS+=("$cmd")
    while alive "$cmd"; do
        desktop=$(<"$T/desktop.pid")
        if ! alive "$desktop"; then
            wait "$desktop" 2>/dev/null || :
            start_desktop
        fi
        sleep 0.05
    done
    wait "$cmd"
}
