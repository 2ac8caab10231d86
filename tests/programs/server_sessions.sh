#!/usr/bin/env bash
# Broadcast sessions of tobrend-server with several Tobrend clients on one
# bridge (the relay's lab topology, no faults): three clients that ask
# within the gathering time share one session (--expect 3 starts it) and
# receive the file byte-identical by subnet broadcast; a fourth that joins
# late gets a session of its own, also by broadcast while the first one
# streams (Tobrend takes data only from its session's port); a fifth, frozen
# in the middle of a session, is dropped with a logged reason while the
# others go on. Last, a client that knows nothing of the server's notes
# (tests/net/btftp_client.py) gets plain lock-step windows. Then one host
# holds as many control connections and transfers as an address may: its
# next ones are answered "Server busy" while another address is served,
# and one that connects without asking holds a session on unicast for 2 s
# at most, once.
# Last, the server is restarted while a client is about to connect: the
# client tries again until it is back. Paced by --max-rate so that the
# sessions last long enough to be watched.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 ip
source "$(dirname "$0")/net_lib.sh"
source "$HERE/relay_lib.sh"

relay_lab 5
mkdir -p root/boot
head -c $((12 * 1048576 + 5)) /dev/urandom > root/big
echo 'testtftp "10.77.0.1@99:big" 999999999' > root/boot/start.tbr
# The late client fetches twice, both while the first session streams.
printf 'testtftp "10.77.0.1@99:big" 999999999\ntesttftp "10.77.0.1@99:big" 999999999\n' > root/boot/late.tbr
DHCP_IF=srv0 start_dnsmasq boot/start.tbr --dhcp-mac=set:late,02:00:00:77:01:04 \
    --dhcp-boot=tag:late,boot/late.tbr,bootsrv,10.77.0.1
start_server "$WORK/root" --gather 2 --expect 3 --max-rate 40M
wait_port tcp 99

# lab_tobrend <i>: Tobrend in client i's namespace, output in out.<i>.
LAB_PIDS=()
# With a second argument, without the time limit of timeout(1): the pid is
# Tobrend's own (ip netns exec replaces itself), to be frozen.
lab_tobrend() {
    if [ $# -gt 1 ]; then
        ip netns exec "${LAB_NS[$(($1 - 1))]}" "$BIN/tobrend" -w < /dev/null > "raw.$1" 2>&1 &
    else
        in_lab "$1" timeout -s KILL 120 "$BIN/tobrend" -w < /dev/null > "raw.$1" 2>&1 &
    fi
    LAB_PIDS[$1]=$!
    PIDS+=($!)
}
wait_log() {
    for _ in $(seq 300); do grep -qE -- "$1" server.log && return 0; sleep 0.1; done
    fail "no log line: $1"
}

for i in 1 2 3; do lab_tobrend "$i"; done
wait_log 'starts with 3 member'
sleep 1
lab_tobrend 4
wait_log 'session [0-9]+: "big" starts with 1 member'
sleep 0.5
# The frozen client: it starts a new session and then stalls it.
lab_tobrend 5 frozen
wait_log '10\.77\.0\.105:[0-9]+ joins'
session=$(sed -n 's/.*broadcast session \([0-9]*\): 10\.77\.0\.105:[0-9]* joins.*/\1/p' server.log)
wait_log "session $session: \"big\" starts"
sleep 0.3
kill -STOP "${LAB_PIDS[5]}"
wait_log '10\.77\.0\.105:[0-9]+ #[0-9]+ dropped: no acknowledgement of window'
kill -CONT "${LAB_PIDS[5]}"
kill "${LAB_PIDS[5]}"

want="$(crc_line root/big)"
for i in 1 2 3 4; do
    for _ in $(seq 600); do grep -q "End of batch file reached" "raw.$i" && break; sleep 0.1; done
    kill -INT "${LAB_PIDS[$i]}" 2>/dev/null
    tr -d '\r' < "raw.$i" > "out.$i"
    n=$(grep -cxF "$want" "out.$i")
    [ "$n" -eq "$([ "$i" -eq 4 ] && echo 2 || echo 1)" ] ||
        { fail "client $i: \"$want\" $n times"; grep -v "^BTFTP> Waiting\|^ :window ok\|^BTFTP>Sending ACK" "out.$i" | tail -8; }
done
grep -qE 'session [0-9]+: "big" starts with 3 member\(s\), to 10\.77\.0\.255' server.log ||
    fail "the three did not share one broadcast session"
grep -qE 'session [0-9]+: "big" done, [0-9]+ bytes to 3 member\(s\)' server.log ||
    fail "the shared session did not end with all three"
grep -qE 'session [0-9]+: "big" starts with 1 member\(s\), to 10\.77\.0\.255' server.log ||
    fail "the late client's session did not stream by broadcast"
grep -qE 'goes on by broadcast, every client tells sessions apart' server.log ||
    fail "the running session did not go back to broadcast once the late client asked"
in_lab 5 timeout -s KILL 60 python3 "$HERE/../net/btftp_client.py" 10.77.0.1 big strict.bin ||
    fail "the client without notes failed"
cmp -s root/big strict.bin || fail "the client without notes got other bytes"

# Limits per address, from client 3's namespace (its client is done) and a
# second address there.
ip -n "${LAB_NS[2]}" addr add 10.77.0.203/24 dev eth0
in_lab 3 timeout 30 python3 - 10.77.0.1 > limits.out 2>&1 <<'PY' || fail "limits: $(cat limits.out)"
import socket, sys
server = sys.argv[1]
def busy(answer, why):
    assert answer[:4] == b"\0\5\0\0" and why in answer, answer
held = [socket.create_connection((server, 99), timeout=5) for _ in range(4)]
busy(socket.create_connection((server, 99), timeout=5).recv(128), b"connections from this address")
def ask(source=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(3)
    if source:
        s.bind((source, 0))
    s.sendto(b"\0\1big\0octet\0", (server, 69))
    held.append(s)
    return s.recvfrom(2048)[0]
for _ in range(8):
    assert ask()[:4] == b"\0\3\0\1"
busy(ask(), b"transfers from this address")
assert ask("10.77.0.203")[:4] == b"\0\3\0\1"
PY
grep -q 'refused, 4 connections from this address' server.log || fail "no log line for the connections"

# A host that connects and never asks: its first connection holds a running
# session on unicast only until the server closes it (2 s); after that its
# address is suspect, and its next connection changes nothing.
ip -n "${LAB_NS[2]}" addr add 10.77.0.204/24 dev eth0
head -c $((24 * 1048576)) /dev/urandom > root/long
printf 'testtftp "10.77.0.1@99:long" 999999999\n' > root/boot/late.tbr
lab_tobrend 4
wait_log 'session [0-9]+: "long" starts'
in_lab 3 timeout 20 python3 - 10.77.0.1 > idle.out 2>&1 <<'PY' || fail "idle connections: $(cat idle.out)"
import socket, sys, time
def idle():
    s = socket.socket()
    s.bind(("10.77.0.204", 0))
    s.settimeout(5)
    s.connect((sys.argv[1], 99))
    start = time.monotonic()
    assert s.recv(16) == b"", "not closed"
    return time.monotonic() - start
took = [idle(), idle()]
assert all(1.5 < t < 3 for t in took), took
PY
for _ in $(seq 300); do grep -q "End of batch file reached" raw.4 && break; sleep 0.1; done
kill -INT "${LAB_PIDS[4]}" 2>/dev/null
grep -qxF "$(crc_line root/long)" <(tr -d '\r' < raw.4) || fail "the client fetching beside the idle host failed"
long=$(sed -n 's/.*broadcast session \([0-9]*\): "long" starts.*/\1/p' server.log)
[ "$(grep -c "session $long: goes on by unicast, another client connects" server.log)" = 1 ] ||
    fail "the idle host's connections: $(grep "session $long:" server.log)"
grep -q "session $long: goes on by broadcast" server.log || fail "the session stayed on unicast"

# A server restarted between two files: the client's connection is refused
# for a while, and it tries again.
printf 'delay 1\ntesttftp "10.77.0.1@99:big" 999999999\n' > root/boot/late.tbr
fetched=$(grep -c '"boot/late.tbr" done' server.log)
lab_tobrend 4
for _ in $(seq 300); do
    [ "$(grep -c '"boot/late.tbr" done' server.log)" -gt "$fetched" ] && break
    sleep 0.1
done
stop_server
sleep 2.5
start_server "$WORK/root" --max-rate 40M
wait_port tcp 99
for _ in $(seq 300); do grep -q "End of batch file reached" raw.4 && break; sleep 0.1; done
kill -INT "${LAB_PIDS[4]}" 2>/dev/null
tr -d '\r' < raw.4 > out.4
grep -qxF "$want" out.4 || { fail "no file from the restarted server"; tail -8 out.4; }
grep -q 'trying again in' out.4 || fail "the client did not say it tried again"
stop_server
[ "$failures" -gt 0 ] && sed 's/^/    server: /' server.log
finish
