#!/usr/bin/env bash
# Network boot against real servers: dnsmasq answers the discovery, the
# start-up script named after the boot file comes by TFTP from the enhanced
# server, and files come byte-identical through all three flavours: in.tftpd
# on port 69, the test server on 59 and its broadcast flavour on 99. Checked
# with testtftp's count and CRC and by copies into a FAT image read by mtools.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs mtype
source "$(dirname "$0")/net_lib.sh"
export MTOOLS_SKIP_CHECK=1

net_up
mkdir -p root/boot
head -c 1 /dev/urandom > root/one
head -c 1024 /dev/urandom > root/k1024
head -c 2048 /dev/urandom > root/b512x4
head -c $((1408 * 3)) /dev/urandom > root/b1408x3
head -c $((1408 * 32)) /dev/urandom > root/w32
head -c $((3 * 1048576 + 77)) /dev/urandom > root/big

S=10.77.0.1
{
    echo 'logvars "BOOTP-*"'
    echo 'logvars "DHCP-*"'
    for f in one b512x4 big; do echo "testtftp \"$S@69:$f\" 99999999"; done
    echo "testtftp \"$S@69:k1024\" 1025"
    for f in one b1408x3 big; do echo "testtftp \"$f\" 99999999"; done
    for f in one w32 big; do echo "testtftp \"$S@99:$f\" 99999999"; done
    echo "testtftp \"$S@69:missing\" 10"
    echo "copy \"$S@69:big\" \"{0:1}/BIG69\""
    echo "copy \"$S@99:big\" \"{0:1}/BIG99\""
} > root/boot/start.tbr

# A FAT16 partition laid out by pelto and formatted by mkfs.fat.
fat_image

start_dnsmasq boot/start.tbr
start_tftpd "$WORK/root"
start_pyserver --root "$WORK/root"
start_pyserver --root "$WORK/root" --broadcast
wait_port udp 69
wait_port udp 59
wait_port tcp 99

tobrend 90 -w -d"$WORK/disk.img"

expect_out "- BootProm detected, using 10.77.0.1 as enhanced TFTP server"
# The reply's fields and options as variables.
expect_out 'set BOOTP-Client-ID="02 00 00 77 00 02"'
expect_out 'set BOOTP-Your-IP="10.77.0.2"'
expect_out 'set BOOTP-Server-IP="10.77.0.1"'
expect_out 'set BOOTP-Bootfile="boot/start.tbr"'
expect_out 'set BOOTP-Subnet-Mask="255.255.255.0"'
expect_out 'set BOOTP-Routers="10.77.0.1 10.77.0.3"'
expect_out 'set BOOTP-Time-Offset="-16"'
expect_out 'set DHCP-Message-Type="2"'
expect_out 'set DHCP-Server-Identifier="10.77.0.1"'
expect_out 'set DHCP-IP-Address-Lease-Time="3600"'

# Every flavour delivers the same bytes: count and CRC as computed here.
for f in one b512x4 big one b1408x3 big one w32 big; do expect_out "$(crc_line root/$f)"; done
# 1024 bytes on port 69: two full blocks, then the empty one ends the file.
expect_out "$(crc_line root/k1024)"
[ "$(grep -c '^TestTFTP: Read returned 0, exiting read loop$' out)" -ge 7 ] ||
    fail "reads that end at the end of file"
expect_grep '^BTFTP>Last window has only one packet$'
expect_out "TFTP: error 1 (File not found )"
expect_out "TestTFTP: 0 bytes read, CRC is 00000000"

img="disk.img@@$((start * 512))"
for f in BIG69 BIG99; do
    mtype -i "$img" "::$f" > got.bin 2> /dev/null || fail "mtype cannot read $f"
    cmp -s root/big got.bin || fail "$f differs from the served file"
done
finish
