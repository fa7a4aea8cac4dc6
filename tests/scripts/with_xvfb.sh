#!/usr/bin/env bash
# Runs a command against a private, headless X server.
# Usage: with_xvfb.sh CMD [ARG...]
# Starts Xvfb on a free display (1280x800x24, no TCP), waits until it answers, runs CMD with
# DISPLAY set, and stops Xvfb again.
# Exit: CMD's status; 77 skip (Xvfb or xdpyinfo not installed); 1 when Xvfb does not start.
set -euo pipefail

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

(($# > 0)) || fail "usage: $0 CMD [ARG...]"
for tool in Xvfb xdpyinfo; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done

T=$(mktemp -d)
XVFB_PID=''

# Xvfb is our child (PID 1 here reaps no orphans): TERM, up to 3 s grace, KILL, reap.
cleanup() {
    local rc=$? i
    set +e
    if [[ -n $XVFB_PID ]]; then
        kill -TERM "$XVFB_PID" 2>/dev/null
        for ((i = 0; i < 30; i++)); do
            kill -0 "$XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
    fi
    rm -rf "$T"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# -displayfd: Xvfb picks a free display number and writes it once it accepts clients.
: >"$T/display" # exists before the background redirection opens it
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset \
    3>"$T/display" </dev/null >"$T/xvfb.log" 2>&1 &
XVFB_PID=$!

display=''
for ((i = 0; i < 100; i++)); do
    display=$(tr -dc '0-9' <"$T/display" || true)
    [[ -n $display ]] && DISPLAY=":$display" xdpyinfo >/dev/null 2>&1 && break
    kill -0 "$XVFB_PID" 2>/dev/null || break
    display=''
    sleep 0.1
done
[[ -n $display ]] || fail "Xvfb did not start: $(tail -n 5 "$T/xvfb.log" | tr '\n' ' ')"

status=0
DISPLAY=":$display" "$@" || status=$?
exit "$status"
