#!/usr/bin/env bash
# The headless command end to end: `pointrelay serve` starts the daemon and shows the pairing
# code, `pointrelay pair --png` writes the same code as an image that decodes to the payload,
# `pointrelay send` drives the daemon, Ctrl-C stops it. Loopback only.
# A second serve on the same port leaves the first alone; an orphaned daemon is ended. Every
# refusal of a bad command line says what was wrong.
# Usage: cli_test.sh PATH_TO_POINTRELAY PATH_TO_POINTRELAYD
set -euo pipefail

[[ -n ${POINTRELAY_NETNS:-} ]] || exec "$(dirname "$0")/in_private_network.sh" "$0" "$@"
fail() { echo "FAIL: $*" >&2; [[ -f ${T:-}/serve.out ]] && cat "$T/serve.out" >&2; exit 1; }
CLI=${1:?usage: $0 PATH_TO_POINTRELAY PATH_TO_POINTRELAYD}
DAEMON=${2:?usage: $0 PATH_TO_POINTRELAY PATH_TO_POINTRELAYD}
command -v zbarimg >/dev/null || { echo "SKIP: zbarimg is not installed"; exit 77; }

T=$(mktemp -d)
SERVE_PID='' ORPHAN_PID=''
cleanup() {
    set +e
    if [[ -n $SERVE_PID ]]; then
        kill -KILL "$SERVE_PID" 2>/dev/null
        wait "$SERVE_PID" 2>/dev/null
    fi
    [[ -n $ORPHAN_PID ]] && kill -KILL "$ORPHAN_PID" 2>/dev/null
    rm -rf "$T"
}
trap cleanup EXIT
free_port() {
    local port=$((20000 + RANDOM % 20000))
    while [[ -n $(ss -ltnH "sport = :$port" 2>/dev/null) ]]; do port=$((port + 1)); done
    echo "$port"
}
# Alive, and not a zombie waiting for a parent that reaps nothing.
alive() { [[ -r /proc/$1/stat ]] && ! grep -q '^[0-9]* ([^)]*) Z' "/proc/$1/stat"; }
wait_for_line() { # PATTERN FILE
    for ((i = 0; i < 100; i++)); do
        grep -q "$1" "$2" && return 0
        kill -0 "$SERVE_PID" 2>/dev/null || fail "serve ended early"
        sleep 0.1
    done
    fail "no line matching '$1'"
}

# A private home: the key store, the settings and the daemon's replay memory live there.
export HOME=$T/home XDG_CONFIG_HOME=$T/home/.config XDG_STATE_HOME=$T/home/.state
unset DBUS_SESSION_BUS_ADDRESS DISPLAY
mkdir -p "$HOME"
PORT=$(free_port)

# Refusals, before anything runs: each names what was wrong, none exits 0.
long=$(head -c 70000 /dev/zero | tr '\0' a)
while IFS='|' read -r expected args; do
    # shellcheck disable=SC2086 # the arguments are words
    if out=$("$CLI" $args 2>&1); then fail "accepted: $args"; fi
    [[ $out == *"$expected"* ]] || fail "'$args' said: $out"
done <<EOF
move takes two whole numbers from -32768 to 32767, not "40000 0"|send move 40000 0
move takes two whole numbers from -32768 to 32767, not "abc def"|send move abc def
click takes left or right|send click left sideways
wrong number of arguments: "scroll 1"|send scroll 1
one command carries at most 65518|send text $long
cannot read the key file /nonexistent: No such file|send --psk-file /nonexistent sys copy
--port takes a port from 1024 to 49151, not "65535"|pair --port 65535
unknown command "frobnicate"|frobnicate
EOF

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
wait_for_line '^running' "$T/serve.out"
grep -q "IP: .*:$PORT" "$T/serve.out" || fail "no address line"
grep -q '▀\|▄\|█' "$T/serve.out" || fail "no QR code in the terminal"

ack=$("$CLI" send --port "$PORT" --psk-file "$T/paired.key" sys copy)
[[ $ack == '{"type":"ack","payload":{"action":"copy","ok":true}}' ]] || fail "no ack: $ack"
"$CLI" send --port "$PORT" move 2 -1 || fail "move not sent"
"$CLI" send --port "$PORT" --plain text "hello" || fail "text not sent"
# One phone at a time was connected: the count never showed more.
grep -o 'clients: [0-9]*' "$T/serve.out" | awk '$2 > 1 { exit 1 }' ||
    fail "more clients shown than were connected: $(grep -o 'clients: [0-9]*' "$T/serve.out" | tr '\n' ' ')"

# A second serve on the port refuses, naming the daemon that holds it, and leaves it serving.
if "$CLI" serve --port "$PORT" --no-mdns >"$T/second.out" 2>&1 </dev/null; then
    fail "a second serve on port $PORT started"
fi
grep -q "port $PORT is in use: pointrelayd" "$T/second.out" || fail "second serve: $(cat "$T/second.out")"
"$CLI" send --port "$PORT" sys copy >/dev/null || fail "the first serve no longer serves"

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

# A daemon whose supervisor is gone (handed to init) is stale: serve ends it and takes over.
PORT=$(free_port)
("$DAEMON" --port "$PORT" --no-mdns >/dev/null 2>&1 & echo $! >"$T/orphan.pid")
ORPHAN_PID=$(cat "$T/orphan.pid")
for ((i = 0; i < 50; i++)); do [[ -n $(ss -ltnH "sport = :$PORT") ]] && break; sleep 0.1; done
"$CLI" serve --port "$PORT" --no-mdns >"$T/serve.out" 2>&1 </dev/null &
SERVE_PID=$!
wait_for_line '^running' "$T/serve.out"
! alive "$ORPHAN_PID" || fail "the orphaned daemon $ORPHAN_PID still runs"
kill -TERM "$SERVE_PID"
wait "$SERVE_PID" || fail "serve exited with $? after SIGTERM"
SERVE_PID=''
echo "PASS: serve, pair, send, refusals, a second serve and an orphan on port $PORT"
