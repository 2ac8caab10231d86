#!/usr/bin/env bash
# tobrend-server in the test's own namespaces, every flavour at once: Tobrend
# boots by DHCP (dnsmasq) and fetches files byte-identical on port 69 (512-
# byte lock-step), 59 (enhanced) and 99 (broadcast), checked by testtftp's
# count and CRC and by copies into a FAT image read by mtools. Then tftp-hpa
# and curl fetch from port 69 with and without options (cmp), and the
# refusals: a write request, "..", a link out of the tree, a missing file.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mtype tftp curl
source "$(dirname "$0")/net_lib.sh"
export MTOOLS_SKIP_CHECK=1

net_up
mkdir -p root/boot root/sub
head -c 1 /dev/urandom > root/one
head -c 1024 /dev/urandom > root/k1024
head -c $((1408 * 3)) /dev/urandom > root/b1408x3
head -c $((1408 * 32)) /dev/urandom > root/w32
head -c $((3 * 1048576 + 77)) /dev/urandom > root/big
head -c $((512 * 70000)) /dev/urandom > root/wrap # block numbers roll over
: > root/empty
cp root/one root/sub/deep
echo secret > outside
ln -s "$WORK/outside" root/escape

S=10.77.0.1
{
    for f in one k1024 big; do echo "testtftp \"$S@69:$f\" 99999999"; done
    for f in one b1408x3 big empty sub/deep; do echo "testtftp \"$f\" 99999999"; done
    for f in one w32 big; do echo "testtftp \"$S@99:$f\" 99999999"; done
    echo "testtftp \"$S@69:missing\" 10"
    echo "testtftp \"escape\" 10"
    echo "copy \"$S@69:big\" \"{0:1}/BIG69\""
    echo "copy \"big\" \"{0:1}/BIG59\""
    echo "copy \"$S@99:big\" \"{0:1}/BIG99\""
} > root/boot/start.tbr

fat_image

start_dnsmasq boot/start.tbr
start_server "$WORK/root" --gather 0.2
wait_port udp 69
wait_port udp 59
wait_port tcp 99

tobrend 90 -w -d"$WORK/disk.img"
for f in one k1024 big one b1408x3 big empty sub/deep one w32 big; do
    expect_out "$(crc_line root/$f)"
done
expect_grep '^BTFTP>Last window has only one packet$'
expect_out "TFTP: error 1 (File not found )"
expect_out "TFTP: error 2 (Access violation )"
img="disk.img@@$((start * 512))"
for f in BIG69 BIG59 BIG99; do
    mtype -i "$img" "::$f" > got.bin 2> /dev/null || fail "mtype cannot read $f"
    cmp -s root/big got.bin || fail "$f differs from the served file"
done

# Other clients on the standard port: (name, client command) table.
while IFS='|' read -r what file command; do
    rm -f got.bin
    in_client timeout 30 bash -c "$command" > client.out 2>&1
    cmp -s "root/$file" got.bin || { fail "$what: $file differs"; cat client.out; }
done <<TABLE
tftp-hpa plain|big|tftp -m binary $S 69 -c get big got.bin
curl plain|big|curl -s -o got.bin tftp://$S/big
curl blksize 1408|big|curl -s --tftp-blksize 1408 -o got.bin tftp://$S/big
curl blksize 8192|wrap|curl -s --tftp-blksize 8192 -o got.bin tftp://$S/wrap
tftp-hpa roll-over|wrap|tftp -m binary $S 69 -c get wrap got.bin
curl enhanced port|k1024|curl -s -o got.bin tftp://$S:59/k1024
TABLE

# Refusals, each an error packet: (client command, expected text) table. A
# name from the root ("/etc/passwd", as GRUB asks) means the same path below
# the served tree, never the host's file.
while IFS='|' read -r command expected; do
    in_client timeout 10 bash -c "$command" > client.out 2>&1
    grep -qF -- "$expected" client.out || { fail "$command: no \"$expected\""; cat client.out; }
done <<TABLE
tftp -m binary $S 69 -c put outside put.bin|Access violation
tftp -m binary $S 69 -c get ../outside got.bin|Access violation
tftp -m binary $S 69 -c get escape got.bin|Access violation
tftp -m binary $S 69 -c get /etc/passwd got.bin|File not found
tftp -m binary $S 69 -c get /../outside got.bin|Access violation
tftp -m binary $S 69 -c get nothere got.bin|File not found
tftp -m netascii $S 69 -c get one got.bin|octet
TABLE

# A packet from another port is answered with ERROR 5 and the transfer goes
# on; a malformed request and a repeated one get nothing more.
in_client timeout 20 python3 - "$S" > foreign.out 2>&1 <<'PY' || fail "foreign port: $(cat foreign.out)"
import socket, struct, sys
server = sys.argv[1]
def udp():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(3)
    return s
a, b = udp(), udp()
a.sendto(b"\0\1k1024\0octet\0", (server, 69))
data, port = a.recvfrom(2048)
assert data[:4] == b"\0\3\0\1", data[:4]
b.sendto(b"\0\4\0\1", port)
error, _ = b.recvfrom(2048)
assert error[:4] == b"\0\5\0\5", error
a.sendto(b"\0\4\0\1", port)
data, _ = a.recvfrom(2048)
assert data[:4] == b"\0\3\0\2" and len(data) == 516, data[:4]
a.sendto(b"\0\4\0\2", port)
data, _ = a.recvfrom(2048)
assert data == b"\0\3\0\3", data
a.sendto(b"\0\4\0\3", port)
b.sendto(b"\0\1no-terminator", (server, 69))
b.settimeout(0.5)
try:
    b.recvfrom(2048)
    sys.exit("an answer to a malformed request")
except socket.timeout:
    pass
PY
# Windowed transfer (windowsize) with large blocks on the enhanced port and
# on 69, acknowledged window by window; every byte compared.
for port in 59 69; do
    in_client timeout 20 python3 - "$S" "$port" root/big > window.out 2>&1 <<'PY' ||
import socket, struct, sys
server, port, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(3)
s.sendto(b"\0\1big\0octet\0windowsize\0" + b"16\0blksize\0" + b"1408\0tsize\0" + b"0\0", (server, port))
oack, tid = s.recvfrom(2048)
size = len(open(path, "rb").read())
assert oack == b"\0\6blksize\x001408\0windowsize\x0016\0tsize\0" + str(size).encode() + b"\0", oack
s.sendto(b"\0\4\0\0", tid)
got, expect = b"", 1
while True:
    data, _ = s.recvfrom(2048)
    op, block = struct.unpack("!HH", data[:4])
    assert op == 3, data[:40]
    if block != expect & 0xFFFF:
        continue
    got += data[4:]
    if expect % 16 == 0 or len(data) < 1412:
        s.sendto(struct.pack("!HH", 4, block), tid)
    expect += 1
    if len(data) < 1412:
        break
assert got == open(path, "rb").read(), "data differs"
PY
        { fail "windowed transfer on port $port: $(tail -3 window.out)"; }
done
# A client connected to the broadcast port that has not asked yet listens on
# the members' data port too: a session that starts meanwhile goes to its
# members one by one, never by broadcast (it would take the windows for its
# own file's).
in_client timeout 20 python3 - "$S" > stranger.out 2>&1 <<'PY' || fail "stranger: $(cat stranger.out)"
import socket, sys, time
server = sys.argv[1]
idle = socket.create_connection((server, 99), timeout=5)
member = socket.create_connection((server, 99), timeout=5)
member.sendall(b"\0\1w32\0octet\0")
assert len(member.recv(4)) == 4
time.sleep(1)
PY
grep -qE 'session [0-9]+: "w32" starts with 1 member\(s\), unicast to each' server.log ||
    fail "a session broadcast while another client was connected"
grep -q 'refused: leads outside the root' server.log || fail "no log line for the link"
grep -qE 'standard .*"big" done, [0-9]+ bytes in .* MB/s' server.log || fail "no transfer log line"
grep -qE 'broadcast session [0-9]+: "big" done' server.log || fail "no session log line"
# Ctrl-C ends the server cleanly.
stop_server INT
grep -q 'stopping on signal 2' server.log || fail "no log line for SIGINT"
[ "$failures" -gt 0 ] && sed "s/^/    server: /" server.log
finish
