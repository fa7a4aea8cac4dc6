#!/usr/bin/env bash
# Runs a command against a private, headless sway (wlroots) compositor.
# Usage: with_sway.sh CMD [ARG...]
# Starts sway with one 1280x800 headless output in a private XDG_RUNTIME_DIR (as nobody when
# run by root: sway refuses root; root clients may still use its socket), waits until its IPC
# lists the output, runs CMD with WAYLAND_DISPLAY, XDG_RUNTIME_DIR and SWAYSOCK set and DISPLAY
# unset, and stops sway again.
# Exit: CMD's status; 77 skip (sway not installed, or it does not start here).
set -euo pipefail

skip() { echo "SKIP: $*" >&2; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

(($# > 0)) || fail "usage: $0 CMD [ARG...]"
for tool in sway swaymsg; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
as_user=()
if ((EUID == 0)); then
    command -v setpriv >/dev/null 2>&1 || skip "setpriv is not installed (sway refuses root)"
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi

T=$(mktemp -d)
SWAY_PID=''

# sway is our child (PID 1 here reaps no orphans): TERM, up to 3 s grace, KILL, reap.
cleanup() {
    local rc=$? i
    set +e
    if [[ -n $SWAY_PID ]]; then
        kill -TERM "$SWAY_PID" 2>/dev/null
        for ((i = 0; i < 30; i++)); do
            kill -0 "$SWAY_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$SWAY_PID" 2>/dev/null
        wait "$SWAY_PID" 2>/dev/null
    fi
    rm -rf "$T"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The runtime directory belongs to sway's user; $T only lets it through.
RUN="$T/run"
mkdir -m 700 "$RUN"
chmod 711 "$T"
if ((EUID == 0)); then chown nobody:nogroup "$RUN"; fi
# Our own configuration: one headless output; no bar, no wallpaper and no Xwayland, so sway
# starts no other program.
cat >"$T/config" <<'EOF'
output HEADLESS-1 resolution 1280x800
xwayland disable
EOF

env -u DISPLAY -u WAYLAND_DISPLAY -u WAYLAND_SOCKET -u SWAYSOCK -u DBUS_SESSION_BUS_ADDRESS \
    XDG_RUNTIME_DIR="$RUN" HOME="$RUN" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_RENDERER=pixman "${as_user[@]}" sway -c "$T/config" </dev/null >"$T/sway.log" 2>&1 &
SWAY_PID=$!

# Up when the IPC socket answers and lists the headless output (the Wayland socket is made
# before it); at most 10 s.
socket='' ipc=''
for ((i = 0; i < 200; i++)); do
    kill -0 "$SWAY_PID" 2>/dev/null || break
    ipc=$(compgen -G "$RUN/sway-ipc.*.sock" || true)
    if [[ -n $ipc ]] && SWAYSOCK=$ipc swaymsg -t get_outputs 2>/dev/null | grep -q HEADLESS-1; then
        socket=$(compgen -G "$RUN/wayland-*" | grep -v '\.lock$' | head -n 1 || true)
        [[ -n $socket ]] && break
    fi
    sleep 0.05
done
[[ -n $socket ]] || skip "sway did not start: $(tail -n 5 "$T/sway.log" | tr '\n' ' ')"

status=0
env -u DISPLAY -u WAYLAND_SOCKET WAYLAND_DISPLAY="${socket##*/}" XDG_RUNTIME_DIR="$RUN" \
    SWAYSOCK="$ipc" "$@" || status=$?
exit "$status"
