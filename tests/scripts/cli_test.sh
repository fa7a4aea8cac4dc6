#!/usr/bin/env bash
# The headless command end to end, loopback only: refusals of bad command lines say what was
# wrong; `pointrelay pair --png` writes a code image (owner-only) that decodes to the key a
# phone paired before devices had keys of their own holds; `pointrelay serve` starts the daemon with that key and shows the code; `pointrelay send`
# drives it; a second serve on the port refuses and leaves it serving; Ctrl-C stops the daemon;
# a daemon whose supervisor is gone (run by an account without a home) is ended; the browser
# page is served with --web only; a killed supervisor's daemon goes with it; a busy web port
# is refused before anything starts; a device paired by name connects until `devices remove`;
# a damaged device list is said and kept aside.
# Usage: cli_test.sh PATH_TO_POINTRELAY PATH_TO_POINTRELAYD
[[ -n ${POINTRELAY_NETNS:-} ]] || exec "$(dirname "$0")/in_private_network.sh" "$0" "$@"
source "$(dirname "$0")/lib.sh"
CLI=${1:-} DAEMON=${2:-}
[[ -x $CLI && -x $DAEMON ]] || fail "usage: $0 PATH_TO_POINTRELAY PATH_TO_POINTRELAYD"
need zbarimg
fail() { echo "FAIL: $*" >&2; cat "$T"/*.out >&2 2>/dev/null; exit 1; }
eventually() { wait_for 10 $$ "$@"; }
# A zombie (whose parent, PID 1 here, reaps nothing) has ended too.
ended() { [[ ! -r /proc/$1/stat ]] || grep -q '^[0-9]* ([^)]*) Z' "/proc/$1/stat"; }
serve() { # `pointrelay serve` on $PORT (and any further options), until it says it runs; in a
    # process group of its own, as a terminal would start it
    : >"$T/serve.out" # emptied here: the child's own redirection may come after the first look
    setsid "$CLI" serve --port "$PORT" --no-mdns "$@" >>"$T/serve.out" 2>&1 </dev/null &
    PIDS+=($!)
    eventually grep -q '^running' "$T/serve.out" || fail "serve did not say it runs"
}

# A private home: the key store, the settings and the daemon's replay memory live there.
export HOME=$T/home XDG_CONFIG_HOME=$T/home/.config XDG_STATE_HOME=$T/home/.state XDG_RUNTIME_DIR=$T/run
unset DBUS_SESSION_BUS_ADDRESS DISPLAY LANG LANGUAGE
export LC_ALL=en_US.UTF-8 # English, from the catalogue; Japanese is the default
mkdir -p "$HOME"
PORT=$(free_port)

"$CLI" --help | grep -q '^Usage: pointrelay serve' && "$CLI" --help | grep -q 'switchSpace -1|1' ||
    fail "--help does not show the usage and every action"
[[ $(LC_ALL=C "$CLI" frobnicate 2>&1) == *'不明なコマンド "frobnicate"'* ]] || fail "not Japanese by default"
store=$XDG_CONFIG_HOME/pointrelay/org.pointrelay.PointrelayServer
(umask 077 && mkdir -p "$store" && head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$store/psk")
cp "$store/psk" "$T/legacy.key"
"$CLI" pair --port "$PORT" --png "$T/code.png" >/dev/null
[[ $(stat -c %a "$T/code.png") == 600 ]] || fail "the code image is readable by others"
payload=$(zbarimg --raw -q "$T/code.png")
[[ $payload =~ \"port\":${PORT}[,}] && $payload =~ \"psk\":\"([0-9a-f]{64})\" ]] ||
    fail "payload lacks the port or the key: $payload"
[[ ${BASH_REMATCH[1]} == $(cat "$T/legacy.key") ]] || fail "the key paired before is not Phone 1's"
echo "${BASH_REMATCH[1]}" >"$T/paired.key"

while IFS='|' read -r expected args; do
    # shellcheck disable=SC2086 # the arguments are words
    if out=$("$CLI" $args 2>&1); then fail "accepted: $args"; fi
    [[ $out == *"$expected"* ]] || fail "'${args:0:60}' said: $out"
done <<EOF
move takes two whole numbers from -32768 to 32767, not "40000 0"|send move 40000 0
one command carries at most 65518|send text $(head -c 70000 /dev/zero | tr '\0' a)
cannot read the key file /nonexistent: No such file|send --psk-file /nonexistent sys copy
--port takes a port from 1024 to 49151, not "65535"|pair --port 65535
--web-port takes a port from 1024 to 49151, not "80"|serve --web-port 80
unknown command "frobnicate"|frobnicate
unknown system action "selectall"; the actions are:|send sys selectall
fkey takes 1-12, not "13"|send sys fkey 13
copy takes nothing, not "x"|send sys copy x
has no IPv4 address, and pointrelayd listens on IPv4 only|send --host ::1 --psk-file $T/paired.key sys copy
cannot connect to 127.0.0.1:1025: Connection refused|send --port 1025 --psk-file $T/paired.key sys copy
cannot find the host no-such-host.invalid|send --host no-such-host.invalid --psk-file $T/paired.key sys copy
EOF

serve
grep -q "IP: .*:$PORT" "$T/serve.out" && grep -q '▀\|▄\|█' "$T/serve.out" &&
    grep -q '^Pair the phone app' "$T/serve.out" || fail "no address line or no code in the terminal"
eventually grep -q '^\[pointrelayd\] Input: ' "$T/serve.out" &&
    ! grep -q 'pointrelay\.keystore' "$T/serve.out" || fail "serve hides the route or shows debug lines"
! listening 9001 && ! grep -q 'Browser' "$T/serve.out" || fail "the page is served without --web"
ack=$("$CLI" send --port "$PORT" --psk-file "$T/paired.key" sys copy)
[[ $ack == '{"type":"ack","payload":{"action":"copy","ok":true}}' ]] || fail "no ack: $ack"
"$CLI" send --port "$PORT" move -- -10 -20 && "$CLI" send --port "$PORT" sys fkey 12 &&
    "$CLI" send --host localhost --port "$PORT" --plain \
    text "hello" || fail "move or text not sent"
eventually grep -q 'move: [1-9]' "$T/serve.out" || fail "serve shows no move rate"
[[ -z $("$CLI" send --port "$PORT" text '{"type":"sys","action":"copy"}') ]] ||
    fail "send text ran a command"
head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$T/other.key"
printf 'not hex\n' >"$T/bad.key"
for file in other bad; do
    ! "$CLI" send --port "$PORT" --psk-file "$T/$file.key" sys copy 2>>"$T/keys.out" || fail "$file key taken"
done
grep -q 'did not accept this key' "$T/keys.out" && grep -q 'not hold a key of 64 hex' "$T/keys.out" ||
    fail "a wrong key and a malformed key file are not told apart"
"$CLI" pair --name Tablet --png "$T/tablet.png" >/dev/null || fail "pair --name did not pair"
[[ $(zbarimg --raw -q "$T/tablet.png") =~ \"psk\":\"([0-9a-f]{64})\" ]] && echo "${BASH_REMATCH[1]}" >"$T/tablet.key"
"$CLI" send --port "$PORT" --psk-file "$T/tablet.key" sys copy >/dev/null || fail "Tablet's key refused"
"$CLI" devices >"$T/devices.out"
grep -q '^Phone 1  paired: .*  last seen: 20' "$T/devices.out" && grep -q '^Tablet  paired: 20' "$T/devices.out" ||
    fail "devices said: $(cat "$T/devices.out")"
"$CLI" devices remove Tablet && { "$CLI" devices remove Tablet 2>"$T/remove.out"; (($? == 1)); } &&
    grep -q 'no device named “Tablet”' "$T/remove.out" || fail "devices remove Tablet did not remove it once"
{ "$CLI" pair --name " " 2>"$T/pair.out"; (($? == 1)); } && grep -q 'Enter a name' "$T/pair.out" &&
    { "$CLI" devices remove 2>"$T/pair.out"; (($? == 2)); } && grep -q 'takes the name of one' "$T/pair.out" ||
    fail "an empty name or none"
{ "$CLI" pair --name "phone 1" 2>"$T/pair.out"; (($? == 1)); } && grep -q 'already a device named “phone 1”' "$T/pair.out" &&
    "$CLI" devices rename "Phone 1" "My phone" && "$CLI" devices | grep -q '^My phone  paired' || fail "pair --name or rename"
eventually grep -q '^\[pointrelayd\] Keys reloaded: 1 devices' "$T/serve.out" || fail "the daemon did not reload"
! "$CLI" send --port "$PORT" --psk-file "$T/tablet.key" sys copy 2>/dev/null &&
    "$CLI" send --port "$PORT" sys copy >/dev/null || fail "a removed device connects, or Phone 1 does not"
! "$CLI" serve --port "$PORT" --no-mdns >"$T/second.out" 2>&1 </dev/null ||
    fail "a second serve on port $PORT started"
grep -q "port $PORT is in use: pointrelayd" "$T/second.out" || fail "second serve did not say why"
"$CLI" send --port "$PORT" sys copy >/dev/null || fail "the first serve no longer serves"
daemon=$(pgrep -P "${PIDS[-1]}" pointrelayd) || fail "serve runs no daemon"
[[ $(ps -o pgid= -p "$daemon") != $(ps -o pgid= -p "${PIDS[-1]}") ]] ||
    fail "the daemon is in serve's process group, where a terminal's Ctrl-C reaches it too"
kill -INT -- "-${PIDS[-1]}" # Ctrl-C in a terminal reaches its whole process group
wait "${PIDS[-1]}" || fail "serve exited with $? after Ctrl-C"
grep -q '^stopped' "$T/serve.out" && ! listening "$PORT" && ! grep -q unexpectedly "$T/serve.out" ||
    fail "serve did not stop the daemon itself"

# A daemon whose supervisor is gone (handed to init) is stale: serve ends it and takes over.
# Where the system lets us (root), it runs as an account without a home: no HOME, no entry in
# the user database (its replay memory stays in memory).
PORT=$(free_port)
nobody=(setpriv --reuid=2147480000 --regid=2147480000 --clear-groups env -u HOME -u XDG_STATE_HOME)
"${nobody[@]}" true 2>/dev/null || nobody=()
("${nobody[@]}" "$DAEMON" --port "$PORT" --no-mdns >/dev/null 2>&1 & echo $! >"$T/orphan.pid")
PIDS+=("$(cat "$T/orphan.pid")")
eventually listening "$PORT" || fail "the daemon did not listen on port $PORT"
WEB=$(free_port)
serve --web-port "$WEB"
eventually ended "${PIDS[-2]}" || fail "the orphaned daemon still runs"
sed -n '/^Browser remote/,$p' "$T/serve.out" | grep -q '▀\|▄\|█' &&
    grep -q "Browser: http://.*:$WEB/" "$T/serve.out" ||
    fail "serve --web-port does not show the page's code and address"
exec 3<>"/dev/tcp/127.0.0.1/$WEB" && printf 'GET / HTTP/1.1\r\nHost: localhost\r\n\r\n' >&3
grep -q 'dist/remote.bundle.js' <&3 || fail "the page is not served on port $WEB"
exec 3<&-

# A supervisor killed outright takes its daemon with it.
daemon=$(pgrep -P "${PIDS[-1]}" pointrelayd) || fail "serve runs no daemon"
kill -KILL "${PIDS[-1]}"
wait_for 2 $$ ended "$daemon" || fail "the daemon outlived its killed supervisor"
# A web port held by another program: refused before any daemon starts.
python3 -c 'import socket, time; s = socket.create_server(("", 9001)); time.sleep(60)' &
PIDS+=($!)
eventually listening 9001 || fail "nothing holds port 9001"
! "$CLI" serve --port "$PORT" --no-mdns --web >"$T/busy.out" 2>&1 </dev/null ||
    fail "serve --web started beside a busy web port"
grep -q "port 9001 is in use: python3 (PID [0-9]*)" "$T/busy.out" && grep -q -- --web-port "$T/busy.out" &&
    ! listening "$PORT" ||
    fail "serve --web left a daemon or did not say why"
# A damaged device list is said, kept aside, and the list starts again.
printf 'zzzz\n' >"$store/devices"
out=$("$CLI" pair 2>&1) && [[ $out == *"The list of devices was damaged"* && $(cat "$store/devices.bad") == zzzz ]] ||
    fail "pair said: $out"
echo "PASS: refusals, pair, serve, send, a second serve, an orphan, the page on port $PORT," \
    "a killed supervisor, a busy web port, devices paired and removed, and a damaged list"
