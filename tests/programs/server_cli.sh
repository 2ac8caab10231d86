#!/usr/bin/env bash
# tobrend-server's command line and configuration file, on loopback only:
# --help and --version print to standard output and exit 0 before anything
# starts; wrong options fail; a TOML file with the long options' keys
# configures two standard ports and the status endpoint, from which curl
# fetches a file (cmp) and then the counters and the board (JSON, metrics).
# A guesser failing checkuser on the security port is held back while the
# right password from another address passes; idle and slow connections to
# the status port do not hold up /status.json.
# A full server ends the newest transfer of the address that holds them all
# ("Server busy") to serve another address.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 tftp curl
set -uo pipefail
BIN=$(cd "$1" && pwd)
WORK=$(mktemp -d)
failures=0
PID=""
trap '[ -n "$PID" ] && kill "$PID" 2>/dev/null; rm -rf "$WORK"' EXIT
cd "$WORK"
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
server="$BIN/tobrend-server"

"$server" --help > help.out 2> help.err || fail "--help exit status $?"
grep -q -- '--max-rate' help.out || fail "--help does not list --max-rate"
[ -s help.err ] && fail "--help wrote to standard error"
"$server" --version > version.out || fail "--version exit status $?"
grep -q '^tobrend-server ' version.out || fail "--version: $(cat version.out)"
# (arguments | why it must fail) table; none of these may start serving.
while IFS='|' read -r args why; do
    # shellcheck disable=SC2086
    timeout 5 "$server" $args > /dev/null 2>&1 && fail "$why: accepted"
done <<TABLE
--root $WORK --bogus|an unknown option
--address 127.0.0.1|no root
--root $WORK/none|a missing root
--root $WORK --max-rate fast|an unreadable rate
--root $WORK --security-port 8089|a security port without users
--root $WORK --config $WORK/none.toml|a missing configuration file
TABLE

base=$((20000 + $$ % 20000))
mkdir root
head -c 300000 /dev/urandom > root/file
cat > server.toml <<TOML
# The same keys as the long options.
root = "$WORK/root"
address = "127.0.0.1"
standard-port = [$base, $((base + 1))]
enhanced-port = 0
broadcast-port = 0
status-port = $((base + 2))
security-port = $((base + 3))
users = "$WORK/users"
max-transfers = 4
TOML
echo "bob:$(openssl passwd -6 -salt saltsalt secret)" > users
"$server" --config server.toml --quiet 2> server.log &
PID=$!
for _ in $(seq 50); do grep -q 'serving' server.log && break; sleep 0.1; done
for port in $base $((base + 1)); do
    timeout 10 curl -s -o got --tftp-blksize 1024 "tftp://127.0.0.1:$port/file" && cmp -s got root/file ||
        fail "curl from port $port"
done
# Beyond --max-transfers (4) a request is refused with a TFTP error; the
# four held open here never acknowledge and end on the server's own.
timeout 20 python3 - "$base" > busy.out 2>&1 <<'PY' || fail "busy: $(cat busy.out)"
import socket, sys
port = int(sys.argv[1])
held = []
for i in range(4):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(3)
    s.sendto(b"\0\1file\0octet\0", ("127.0.0.1", port))
    assert s.recvfrom(2048)[0][:4] == b"\0\3\0\1"
    held.append(s)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(3)
s.sendto(b"\0\1file\0octet\0", ("127.0.0.1", port))
error = s.recvfrom(2048)[0]
assert error[:4] == b"\0\5\0\0" and b"busy" in error, error
# Another address asks while this one holds every transfer: the newest of
# them ends with "Server busy", and the other address is served.
other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
other.settimeout(3)
other.bind(("127.0.0.2", 0))
other.sendto(b"\0\1file\0octet\0", ("127.0.0.1", port))
assert other.recvfrom(2048)[0][:4] == b"\0\3\0\1"
while True:
    error = held[-1].recvfrom(2048)[0]
    if error[:2] == b"\0\5":
        break
assert error[:4] == b"\0\5\0\0" and b"this address holds too many" in error, error
other.close()
for h in held:
    h.close()
PY
grep -q 'refused, 4 transfers at once' server.log || fail "no log line for the refusal"
sleep 0.6 # the board is published four times a second
timeout 5 curl -s "http://127.0.0.1:$((base + 2))/status.json" > status.json || fail "no /status.json"
grep -q '"transfers_done":2,.*"refused_busy":1' status.json || fail "status: $(cat status.json)"
grep -q '"file":"file"' status.json || fail "ended transfers not on the board: $(cat status.json)"
timeout 5 curl -s "http://127.0.0.1:$((base + 2))/metrics" | grep -q '^tobrend_server_transfers_done_total 2$' ||
    fail "no transfer count in /metrics"
# checkuser from 127.0.0.2, wrong each time, and from 127.0.0.3, right: the
# guesser's five failures stop the server verifying its checks (its right
# password then fails too) and never the other address's.
timeout 20 python3 - "$((base + 3))" > guess.out 2>&1 <<'PY' || fail "guesser: $(cat guess.out)"
import socket, sys
def check(source, digits):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    s.settimeout(3)
    s.sendto(b"\0\1checkuser/m/bob/" + digits + b"\0octet\0", ("127.0.0.1", int(sys.argv[1])))
    data, server = s.recvfrom(2048)
    s.sendto(b"\0\4" + data[2:4], server)
    return data[4:].split(b'"')[1].decode()
right = b"864C8DA05E7D7BA6B169C2377B7EE13A" # "secret" as Tobrend encodes it
got = [(check("127.0.0.2", b"0" * 32), check("127.0.0.3", right)) for _ in range(7)]
got.append((check("127.0.0.2", right), check("127.0.0.3", right)))
assert got == [("FAILED", "PASSED")] * 8, got
PY
sleep 0.3 # the held-back checks show on the board as refused
timeout 5 curl -s "http://127.0.0.1:$((base + 2))/status.json" | grep -q '"security_refused":[1-9]' ||
    fail "held-back checks not counted as refused"
# Seventy connections to the status port, idle or with half a request: the
# page is served at once all the same, and every one of them is closed
# within the 2 s that a request may take.
timeout 20 python3 - "$((base + 2))" > idle.out 2>&1 <<'PY' || fail "idle connections: $(cat idle.out)"
import socket, subprocess, sys, time
port = int(sys.argv[1])
held = [socket.create_connection(("127.0.0.1", port), timeout=3) for _ in range(70)]
for s in held[::2]:
    s.sendall(b"GET /status.json HTTP/1.1\r\nHost: x\r\n")
start = time.monotonic()
curl = subprocess.run(["curl", "-s", "-m", "3", f"http://127.0.0.1:{port}/status.json"],
                      capture_output=True)
took = time.monotonic() - start
assert curl.returncode == 0 and b'"counters"' in curl.stdout and took < 0.5, (curl, took)
time.sleep(2.5)
for s in held:
    try:
        assert s.recv(1) == b"", "still open"
    except ConnectionResetError:
        pass
PY
# Thirty write requests from one address: each is refused, twenty are
# logged and the rest summed up in one line (here when the server stops).
timeout 20 python3 - "$base" > flood.out 2>&1 <<'PY' || fail "flood: $(cat flood.out)"
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.4", 0))
s.settimeout(3)
for _ in range(30):
    s.sendto(b"\0\2upload\0octet\0", ("127.0.0.1", int(sys.argv[1])))
    assert s.recvfrom(2048)[0][:4] == b"\0\5\0\2"
PY
kill -TERM "$PID"
wait "$PID" || fail "exit status $? after SIGTERM"
PID=""
grep -q 'stopping on signal 15' server.log || fail "no stop line: $(cat server.log)"
[ "$(grep -c '127.0.0.4:[0-9]*: write request' server.log)" = 20 ] &&
    grep -q '127.0.0.4: 10 more refusals were not logged' server.log ||
    fail "refusals from one host not held back: $(grep -c 127.0.0.4 server.log) lines"
[ "$failures" -eq 0 ] && { echo PASS; exit 0; }
cat server.log
echo "$failures failure(s)"
exit 1
