#!/usr/bin/env bash
# The headless command end to end: `pointrelay serve` starts the daemon and shows the pairing
# code, `pointrelay pair --png` writes the same code as an image that decodes to the payload,
# `pointrelay send` drives the daemon, Ctrl-C stops it. Loopback only.
# Usage: cli_test.sh PATH_TO_POINTRELAY
set -euo pipefail

fail() { echo "FAIL: $*" >&2; [[ -f ${T:-}/serve.out ]] && cat "$T/serve.out" >&2; exit 1; }
CLI=${1:?usage: $0 PATH_TO_POINTRELAY}
command -v zbarimg >/dev/null || { echo "SKIP: zbarimg is not installed"; exit 77; }

T=$(mktemp -d)
SERVE_PID=''
cleanup() {
    set +e
    if [[ -n $SERVE_PID ]]; then
        kill -KILL "$SERVE_PID" 2>/dev/null
        wait "$SERVE_PID" 2>/dev/null
    fi
    rm -rf "$T"
}
trap cleanup EXIT

# A private home: the key store, the settings and the daemon's replay memory live there.
export HOME=$T/home XDG_CONFIG_HOME=$T/home/.config XDG_STATE_HOME=$T/home/.state
unset DBUS_SESSION_BUS_ADDRESS DISPLAY
mkdir -p "$HOME"
PORT=$((20000 + RANDOM % 20000))
while [[ -n $(ss -ltnH "sport = :$PORT" 2>/dev/null) ]]; do PORT=$((PORT + 1)); done

# On a fresh home `pair` makes and stores the key (never a code without one): the image
# decodes to this port and a 64-character key, and it is the key `serve` then uses.
"$CLI" pair --port "$PORT" --png "$T/code.png" >/dev/null
payload=$(zbarimg --raw -q "$T/code.png")
[[ $payload =~ \"port\":$PORT[,}] ]] || fail "payload lacks the port: $payload"
[[ $payload =~ \"psk\":\"([0-9a-f]{64})\" ]] || fail "payload lacks the key: $payload"
echo "${BASH_REMATCH[1]}" >"$T/paired.key"
[[ $(stat -c %a "$T/code.png") == 600 ]] || fail "the code image is readable by others"

"$CLI" serve --port "$PORT" --no-mdns >"$T/serve.out" 2>&1 </dev/null &
SERVE_PID=$!
for ((i = 0; i < 100; i++)); do
    grep -q '^running' "$T/serve.out" && break
    kill -0 "$SERVE_PID" 2>/dev/null || fail "serve ended early"
    sleep 0.1
done
grep -q '^running' "$T/serve.out" || fail "serve did not report a running daemon"
grep -q "IP: .*:$PORT" "$T/serve.out" || fail "no address line"
grep -q '▀\|▄\|█' "$T/serve.out" || fail "no QR code in the terminal"

ack=$("$CLI" send --port "$PORT" --psk-file "$T/paired.key" sys copy)
[[ $ack == '{"type":"ack","payload":{"action":"copy","ok":true}}' ]] || fail "no ack: $ack"
"$CLI" send --port "$PORT" move 2 -1 || fail "move not sent"
"$CLI" send --port "$PORT" --plain text "hello" || fail "text not sent"
# One phone at a time was connected: the count never showed more.
grep -o 'clients: [0-9]*' "$T/serve.out" | awk '$2 > 1 { exit 1 }' ||
    fail "more clients shown than were connected: $(grep -o 'clients: [0-9]*' "$T/serve.out" | tr '\n' ' ')"

# Supervision starts no process of its own once the daemon runs (no lister per poll).
children() { ps -o pid= --ppid "$SERVE_PID" | tr -d ' ' | sort | tr '\n' ' '; }
before=$(children)
sleep 2.5
after=$(children)
[[ $before == "$after" && $(wc -w <<<"$after") == 1 ]] ||
    fail "children changed while supervising: '$before' -> '$after'"

kill -INT "$SERVE_PID"
status=0
wait "$SERVE_PID" || status=$?
SERVE_PID=''
((status == 0)) || fail "serve exited with $status after Ctrl-C"
grep -q '^stopped' "$T/serve.out" || fail "serve did not stop the daemon"
[[ -z $(ss -ltnH "sport = :$PORT" 2>/dev/null) ]] || fail "port $PORT still listened on"
echo "PASS: serve, pair, send and stop on port $PORT"
