#!/usr/bin/env bash
# TFTP options through a lossy link: the delay-and-loss relay holds frames
# 0.3 ms each way and drops 5 % of them in both directions. The same files
# come byte-identical from tobrend-server with windows (ports 59 and 69) and
# from dnsmasq's TFTP with blksize. In the windows a lost block or
# acknowledgement costs a round trip or a short pause, not the one-second
# timeout of a read (dnsmasq itself resends only on its own timer).
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs ip
source "$(dirname "$0")/net_lib.sh"
source "$HERE/relay_lib.sh"
[ -x "$BIN/tobrend-server" ] || { echo "SKIP: tobrend-server is not built"; exit 77; }
relay_up --delay-ms 0.3 --loss 0.05 --seed 7
ip -n "$NS_S" addr add 10.77.0.12/24 dev srv0
mkdir -p root/boot
head -c $((2 * 1048576 + 333)) /dev/urandom > root/f
head -c $((1408 * 40 + 9)) root/f > root/s
{
    echo 'echo "windows"'
    echo 'testtftp "10.77.0.12:f" 999999999'
    echo 'testtftp "10.77.0.12@69:f" 999999999'
    echo 'echo "windows done"'
    echo 'testtftp "10.77.0.1@69:s" 999999999'
} > root/boot/start.tbr
DNSMASQ_ADDRESS=10.77.0.1 start_dnsmasq boot/start.tbr --enable-tftp --tftp-root="$WORK/root"
start_pyserver --root "$WORK/root"
start_bg "$BIN/tobrend-server" --root "$WORK/root" --address 10.77.0.12 --standard-port 69 \
    --enhanced-port 59 --broadcast-port 0 --security-port 0 --status-port 0 --quiet
wait_port udp 69
wait_port udp 59

tobrend 100 -d
relay_stop
[ "$(grep -cxF "$(crc_line root/f)" out)" = 2 ] || fail "two intact copies from tobrend-server"
expect_out "$(crc_line root/s)"
[ "$(grep -c '^TestTFTP: block size 1408, window 64 (options agreed)$' out)" = 2 ] ||
    fail "windows from tobrend-server"
expect_out "TestTFTP: block size 1408, window 1 (options agreed)"
[ "$(relay_count 'a->b' dropped)" -gt 20 ] || fail "the relay dropped too little: $RELAY_COUNTERS"
# Over 60 blocks of the windows are lost, none waits for a timeout.
minor=$(sed -n '/^windows$/,/^windows done$/p' out | grep -c 'TFTP: Minor Timeout')
[ "$minor" -le 1 ] || fail "$minor minor timeouts in the windows"
finish
