#!/usr/bin/env bash
# The Debian 13 package in the lab (scripts/lab.sh): built there by scripts/package.sh,
# installed with dpkg, and its daemon started under a headless KWin 6.3 as a person's session
# would start it: it takes KWin's fake input (granted through the desktop file the package
# installs, without a dialog) and a move sent with the package's pointrelay reaches a Wayland
# client. The package is removed again at the end.
# Exit: 0 pass, 1 fail, 77 skip (no lab here; one line says why).
source "$(dirname "$0")/lib.sh"
root=$(cd "$(dirname "$0")/../.." && pwd)
lab=$root/scripts/lab.sh
"$lab" check || exit $?
"$lab" build
"$lab" run env POINTRELAY_SKIP_SETUP=1 POINTRELAY_PACKAGE_DIR=/home/lab/package \
    /src/scripts/package.sh >"$T/package.txt" 2>&1 || { cat "$T/package.txt" >&2; fail "package.sh"; }
deb=$(tail -n 1 "$T/package.txt")
AFTER='"$lab" root dpkg --purge pointrelay >/dev/null 2>&1'
"$lab" root dpkg -i "$deb" >"$T/dpkg.txt" 2>&1 || { cat "$T/dpkg.txt" >&2; fail "dpkg -i $deb"; }
"$lab" run bash -c 'cmake -S /src -B ~/build -G Ninja >/dev/null &&
    cmake --build ~/build --target wayland_witness >/dev/null' || fail "the witness did not build"
"$lab" run /src/tests/scripts/with_kwin.sh - bash -c '
    source /src/tests/scripts/lib.sh
    printf %s 5f1e0c9a3b7d2e4f6a8c0b1d3e5f7a9c2b4d6e8f0a1c3e5b7d9f1a3c5e7b9d0f >"$T/key"
    port=$(free_port)
    /usr/bin/pointrelayd --port "$port" --no-mdns --psk "$(<"$T/key")" 2>"$T/daemon.log" &
    PIDS+=($!)
    wait_for 10 $! grep -q "Listening on port" "$T/daemon.log" || fail "pointrelayd did not listen"
    grep -qx "\[C++\] Input: Wayland (KWin fake input)" "$T/daemon.log" ||
        { cat "$T/daemon.log" >&2; fail "the packaged daemon did not take KWin fake input"; }
    /home/lab/build/tests/support/wayland/wayland_witness >"$T/witness.txt" 2>&1 &
    PIDS+=($!)
    wait_for 10 $! grep -q "^ready" "$T/witness.txt" || { cat "$T/witness.txt" >&2; fail "the witness did not start"; }
    moved() {
        pointrelay send --host 127.0.0.1 --port "$port" --psk-file "$T/key" move 5 0 >/dev/null &&
            grep -q "^wl_pointer.motion" "$T/witness.txt"
    }
    wait_for 10 $! moved || { cat "$T/daemon.log" >&2; fail "no move reached the witness"; }' ||
    fail "the packaged daemon did not drive KWin"
echo "PASS: $(basename "$deb") built, installed and driving KWin 6.3 in the Debian 13 lab"
