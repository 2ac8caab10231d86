#!/usr/bin/env bash
# TFTP options against real and test servers, each on its own address of the
# server side: dnsmasq's TFTP and in.tftpd agree blksize 1408; in.tftpd with
# -B (--blocksize) 512 agrees 512; the test server ignoring options serves the
# plain 512-byte lock-step (a 1024-byte file: blocks 1, 2 and the empty 3),
# refusing them (ERROR 8) or offering a bigger block than asked gets the
# plain request again; agreeing windows it loses, duplicates and reorders
# blocks inside them and the client recovers without a timeout. TFTPOptions
# "OFF" keeps the request plain. Every file is checked by count and CRC.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 ip ss dnsmasq in.tftpd
source "$(dirname "$0")/net_lib.sh"
net_up
mkdir -p root/boot
head -c $((1408 * 100 + 7)) /dev/urandom > root/f
head -c 1024 /dev/urandom > root/k1024
head -c $((3 * 1048576 + 99)) /dev/urandom > root/big
S=10.77.0.1
{
    echo "testtftp \"$S@69:big\" 999999999"
    echo "testtftp \"10.77.0.11@69:big\" 999999999"
    echo "testtftp \"10.77.0.12@69:f\" 999999999"
    echo "testtftp \"10.77.0.13@69:k1024\" 999999999"
    echo "testtftp \"10.77.0.14@69:f\" 999999999"
    echo "testtftp \"10.77.0.15@69:f\" 999999999"
    echo "testtftp \"10.77.0.16:big\" 999999999"
    echo "testtftp \"10.77.0.17@69:f\" 999999999"
    echo 'set TFTPOptions = "off"'
    echo "testtftp \"$S@69:f\" 999999999"
} > root/boot/start.tbr

for n in 11 12 13 14 15 16 17; do ip -n "$NS_S" addr add "10.77.0.$n/24" dev srv0; done
DNSMASQ_ADDRESS=$S start_dnsmasq boot/start.tbr --enable-tftp --tftp-root="$WORK/root"
start_bg in.tftpd -L -s "$WORK/root" -a 10.77.0.11:69
start_bg in.tftpd -L -s "$WORK/root" -a 10.77.0.12:69 -B 512
py() { start_bg python3 "$SERVER_PY" --root "$WORK/root" --address "$@"; }
start_pyserver --root "$WORK/root" # the start-up script on port 59
py 10.77.0.13 --port 69 --block 512 --log "$WORK/ignore.log"
py 10.77.0.14 --port 69 --block 512 --options refuse --log "$WORK/refuse.log"
py 10.77.0.15 --port 69 --options accept --window 16 --drop 5 --dup 9 --swap 20 --drop 48 \
    --dup 70 --swap 99 --log "$WORK/window.log"
py 10.77.0.16 --port 59 --options accept
py 10.77.0.17 --port 69 --block 512 --options bad --log "$WORK/bad.log"
wait_port udp 59
# The start-up script's server in particular, before Tobrend asks it.
for _ in $(seq 50); do in_server ss -uln | grep -q "$S:59 " && break; sleep 0.1; done

tobrend 90 -d

for f in big big f k1024 f f big f f; do expect_out "$(crc_line root/$f)"; done
agreed() {
    [ "$(grep -A1 -xF "TestTFTP: $1" out | grep -cxF "$(crc_line "root/$2")")" -ge "${3:-1}" ] ||
        fail "no transfer of $2 with: $1"
}
agreed "block size 1408, window 1 (options agreed)" big 2 # dnsmasq, in.tftpd
agreed "block size 512, window 1 (options agreed)" f      # in.tftpd --blocksize 512
agreed "block size 512, window 1" k1024                   # options ignored
agreed "block size 512, window 1" f 3                     # refused, bad OACK, TFTPOptions off
agreed "block size 1408, window 16 (options agreed)" f    # windows with faults
agreed "block size 1408, window 32 (options agreed)" big  # port 59
[ "$(grep -c '^ACK' ignore.log)" = 3 ] || fail "1024 bytes plain: $(tr '\n' ' ' < ignore.log)"
grep -q '^OPTIONS blksize=1408 tsize=0 windowsize=64$' ignore.log || fail "options asked"
[ "$(grep -c '^RRQ' refuse.log)" = 2 ] && ! grep -q OPTIONS <(sed -n '3,$p' refuse.log) ||
    fail "refused options: $(tr '\n' ' ' < refuse.log)"
grep -q '^OP5 8$' bad.log || fail "a bigger block than asked is refused: $(tr '\n' ' ' < bad.log)"
grep -q 'Minor Timeout' out && fail "a lost block waited for the timeout"
expect_out "TFTP: loss of synch. at block 5"
finish
