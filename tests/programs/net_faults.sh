#!/usr/bin/env bash
# TFTP through a lossy, noisy boot server: one test server per fault, each on
# its own address. Duplicates, drops, a foreign port and holes in a broadcast
# window leave the data intact; ERROR packets end the file; a server that
# goes silent gives 15 minor timeouts and then the read error. A broadcast
# window is whole only with every packet up to its end: one past the end,
# or from another port of the server, fills no hole. A script cut off by an
# ERROR packet after its first blocks is loaded again, never run in part.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 ip
source "$(dirname "$0")/net_lib.sh"
net_up
for n in 11 12 13 14 15 16 17 18 19; do ip -n "$NS_S" addr add "10.77.0.$n/24" dev srv0; done
mkdir -p root/boot
head -c $((1408 * 9 + 5)) /dev/urandom > root/f
head -c $((1408 * 39 + 100)) /dev/urandom > root/w
head -c $((1408 * 20 + 50)) /dev/urandom > root/v
{
    for n in 11 12 13 14; do echo "testtftp \"10.77.0.$n:f\" 99999999"; done
    echo 'testtftp "10.77.0.15@69:f" 99999999'
    echo 'testtftp "10.77.0.16@99:w" 99999999'
    echo 'testtftp "10.77.0.17:f" 99999999'
    echo 'testtftp "10.77.0.18@99:v" 99999999'
    echo 'include "10.77.0.19:long.tbr"'
} > root/boot/start.tbr
{
    for i in $(seq 60); do echo "set Filler = \"$(printf '%090d' "$i")\""; done
    echo 'echo "long script ran to its end"'
} > root/long.tbr

start_dnsmasq boot/start.tbr
start_pyserver --root "$WORK/root"
py() { start_bg python3 "$SERVER_PY" --root "$WORK/root" --address "$@"; }
py 10.77.0.11 --dup 3
py 10.77.0.12 --drop 2
py 10.77.0.13 --foreign 2
py 10.77.0.14 --error "2:Access violation"
py 10.77.0.15 --port 69 --block 512 --dup 3 --log "$WORK/acks69.log"
py 10.77.0.16 --broadcast --drop 5 --drop 35 --drop 39
py 10.77.0.17 --silent-after 3
py 10.77.0.18 --broadcast --drop 5 --beyond 3 --foreign 2
py 10.77.0.19 --error-at 3
wait_port udp 59
wait_port tcp 99

tobrend 60 -d

line() { crc_line "$@"; }
expect_out "TFTP: loss of synch. at block 4"
expect_out "TFTP: error 2 (Access violation )"
[ "$(grep -cxF "$(line root/f)" out)" -eq 4 ] || fail "four intact copies of f"
expect_out "$(line root/w)"
expect_out "$(line root/v)"
# Port 69: a duplicate is answered with the last block received.
[ "$(grep -c '^ACK 3$' acks69.log)" -eq 2 ] || fail "block 3 acknowledged twice: $(tr '\n' ' ' < acks69.log)"
# Silence after three blocks: 15 minor timeouts, then the read fails.
expect_out "TestTFTP: Read returned -1, exiting read loop"
expect_out "$(line root/f $((1408 * 3)))"
minor=$(grep -c 'TFTP: Minor Timeout' out)
# One each for the drops on 59 and the broadcast holes (three windows), 15 for the silence.
[ "$minor" -ge 18 ] && [ "$minor" -le 27 ] || fail "minor timeouts: $minor"
# The script's transfer broken off at block 3 counts as failed and is read again.
expect_out "WARNING: TFTP transfer broken off by the server"
expect_out "long script ran to its end"
finish
