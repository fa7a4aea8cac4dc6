#!/usr/bin/env bash
# Runs CMD against a private, headless X server: Xvfb on a free display (1280x800x24, no TCP),
# once it answers, with DISPLAY set. Stops Xvfb again.
# Usage: with_xvfb.sh CMD [ARG...]
# Exit: CMD's status; 77 skip (Xvfb or xdpyinfo not installed); 1 when Xvfb does not start.
source "$(dirname "$0")/lib.sh"
(($# > 0)) || fail "usage: $0 CMD [ARG...]"
need Xvfb xdpyinfo
: >"$T/display" # -displayfd: Xvfb writes the display number once it accepts clients
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$T/display" </dev/null \
    >"$T/xvfb.log" 2>&1 &
PIDS+=($!)
display() { echo ":$(tr -dc 0-9 <"$T/display")"; }
up() { [[ -s $T/display ]] && DISPLAY=$(display) xdpyinfo >/dev/null 2>&1; }
wait_for 10 $! up || fail "Xvfb did not start: $(tail -n 5 "$T/xvfb.log" | tr '\n' ' ')"
DISPLAY=$(display) "$@" || exit $?
