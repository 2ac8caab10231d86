#!/usr/bin/env bash
# tobrend-server in the test's own namespaces, every flavour at once: Tobrend
# boots by DHCP (dnsmasq) and fetches files byte-identical on port 69 (512-
# byte lock-step), 59 (enhanced) and 99 (broadcast), checked by testtftp's
# count and CRC and by copies into a FAT image read by mtools. Then tftp-hpa
# and curl fetch from port 69 with and without options (cmp), and the
# refusals: a write request, "..", a link out of the tree, a missing file.
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

truncate -s 32M disk.img
printf 'setpartitions "FAT16:24"\n' > mk.pto
timeout 30 "$BIN/pelto" -w -d"$WORK/disk.img" mk < /dev/null > /dev/null 2>&1
read -r start size < <(sfdisk -d disk.img 2> /dev/null |
    sed -n 's/^disk.img1 : start= *\([0-9]*\), size= *\([0-9]*\).*/\1 \2/p')
mkfs.fat -a -F 16 -R 1 -r 512 --offset "${start:-0}" -h "${start:-0}" disk.img $((${size:-0} / 2)) \
    > /dev/null 2>&1 || fail "mkfs.fat"

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

# Refusals, each an error packet: (client command, expected text) table.
while IFS='|' read -r command expected; do
    in_client timeout 10 bash -c "$command" > client.out 2>&1
    grep -qF -- "$expected" client.out || { fail "$command: no \"$expected\""; cat client.out; }
done <<TABLE
tftp -m binary $S 69 -c put outside put.bin|Access violation
tftp -m binary $S 69 -c get ../outside got.bin|Access violation
tftp -m binary $S 69 -c get escape got.bin|Access violation
tftp -m binary $S 69 -c get /etc/passwd got.bin|Access violation
tftp -m binary $S 69 -c get nothere got.bin|File not found
tftp -m netascii $S 69 -c get one got.bin|octet
TABLE

grep -q 'refused: leads outside the root' server.log || fail "no log line for the link"
grep -qE 'standard .*"big" done, [0-9]+ bytes in .* MB/s' server.log || fail "no transfer log line"
grep -qE 'broadcast session [0-9]+: "big" done' server.log || fail "no session log line"
[ "$failures" -gt 0 ] && sed "s/^/    server: /" server.log
finish
