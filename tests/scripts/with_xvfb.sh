#!/usr/bin/env bash
# Runs CMD against a private, headless X server: Xvfb on a free display (1280x800x24, no TCP),
# once it answers, with DISPLAY set; started again on the same display whenever it ends while CMD
# runs (see keep_desktop_up in lib.sh). Stops Xvfb again.
# Usage: with_xvfb.sh CMD [ARG...]
# Exit: CMD's status; 77 skip (Xvfb or xdpyinfo not installed); 1 when Xvfb does not start.
source "$(dirname "$0")/lib.sh"
(($# > 0)) || fail "usage: $0 CMD [ARG...]"
need Xvfb xdpyinfo
: >"$T/display" # -displayfd: Xvfb writes the display number once it accepts clients
display() { echo ":$(tr -dc 0-9 <"$T/display")"; }
up() { [[ -s $T/display ]] && DISPLAY=$(display) xdpyinfo >/dev/null 2>&1; }
start_desktop() { # a restart takes the display number the first start was given
    local at=()
    [[ -s $T/display ]] && at=("$(display)")
    Xvfb "${at[@]}" -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$T/display" \
        </dev/null >>"$T/xvfb.log" 2>&1 &
    PIDS+=($!)
    local pid=$!
    wait_for 10 "$pid" up || fail "Xvfb did not start: $(tail -n 5 "$T/xvfb.log" | tr '\n' ' ')"
    echo "$pid" >"$T/desktop.pid" # once it is up
}
start_desktop
keep_desktop_up env DISPLAY="$(display)" "$@" || exit $?
