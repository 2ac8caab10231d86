#!/usr/bin/env bash
# Discovery on the wire: the DISCOVER byte for byte, five of them two
# seconds apart when nothing answers, then the warning and host files; a
# reply for another client is passed over and a crafted reply with option
# overload is taken (its boot file from option 67, not the raw file field);
# a reply with another transaction id ends discovery at once.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3
source "$(dirname "$0")/net_lib.sh"
DHCP_PY="$HERE/net_dhcp.py"
net_up
echo 'echo "host script"' > t.tbr

# Nothing answers.
start_bg python3 "$DHCP_PY" listen "$WORK/silent.log"
wait_port udp 67
tobrend 30 -d t
kill "${PIDS[-1]}"
expect_out "- Linux BootPROM emulation started"
expect_out "  Warning: no BOOTP/DHCP reply received"
expect_out "- No BootProm detected, using file I/O instead"
expect_out "host script"
python3 "$DHCP_PY" check silent.log "$CLIENT_MAC" > check.out || fail "requests: $(cat check.out)"
grep -q '^requests 5 ' check.out || fail "five requests expected: $(cat check.out)"

# Another client's reply, then ours with overload.
mkdir -p root/boot
printf 'logvars "BOOTP-*"\nlogvars "DHCP-*"\n' > root/boot/over.tbr
start_pyserver --root "$WORK/root"
sleep 0.5
start_bg python3 "$DHCP_PY" answer "$WORK/answer.log"
wait_port udp 59
tobrend 30 -d
kill "${PIDS[-1]}"
expect_out "- BootProm detected, using 10.77.0.1 as enhanced TFTP server"
expect_out 'set BOOTP-Bootfile="boot/over.tbr"'
expect_out 'set BOOTP-Server-Name="bootsrv"'
expect_out 'set BOOTP-Option-43="abc"'
expect_out 'set BOOTP-Option-200="01 02"'
expect_out 'set BOOTP-Routers="10.77.0.1 10.77.0.9"'
expect_out 'set BOOTP-Time-Offset="-16"'
expect_out 'set BOOTP-Interface-MTU="1500"'
expect_out 'set DHCP-Message-Type="2"'
[ "$(wc -l < answer.log)" -eq 1 ] || fail "the first answer should be taken"

# Another transaction id: no reply, no warning, no second request.
start_bg python3 "$DHCP_PY" wrongxid "$WORK/xid.log"
wait_port udp 67
tobrend 30 -d t
expect_out "- No BootProm detected, using file I/O instead"
grep -q "Warning: no BOOTP" out && fail "no warning expected after a wrong xid"
[ "$(wc -l < xid.log)" -eq 1 ] || fail "one request expected before the wrong xid ends it"
finish
