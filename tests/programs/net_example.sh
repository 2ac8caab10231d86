#!/usr/bin/env bash
# The network start-up sample (examples/netstart.tbr) as it runs in a lab:
# dnsmasq names it as the boot file, Tobrend fetches it and the system
# archive from the enhanced TFTP server, and keys typed at the menu pick the
# reinstall, a wrong password and then the right one. The reinstalled disk
# is checked with sfdisk, fsck.fat, mtools and e2fsck, the archive's copy in
# the cache partition with the independent cache reader.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 sfdisk fsck.fat mcopy e2fsck
source "$(dirname "$0")/net_lib.sh"
CACHETOOL="python3 $HERE/../fs/cachetool.py"
export MTOOLS_SKIP_CHECK=1
part() { sfdisk -d lab.img 2> /dev/null | sed -n "s/^lab.img$1 : start= *\([0-9]*\), size= *\([0-9]*\).*/\\$2/p"; }

net_up
mkdir -p root/boot root/images src/DOS
cp "$HERE/../../examples/netstart.tbr" root/boot/
printf 'files=40\r\n' > src/CONFIG.SYS
head -c 300000 /dev/urandom > src/DOS/KERNEL.BIN
# The master's system partition and its archive, made by Pelto.
truncate -s 400M master.img
printf '%s\n' 'setpartitions "FAT32:300"' 'clean 1' 'xcopy "src" "{0:1}/"' \
    'fullzip "{0:1}/" "root/images/system.000"' > m.pto
timeout 120 "$BIN/pelto" -w -dmaster.img m < /dev/null > m.out 2>&1
[ -f root/images/system.000 ] || { fail "no archive: $(tail -3 m.out)"; finish; }

start_dnsmasq boot/netstart.tbr --dhcp-option=12,lab-pc-07
start_pyserver --root "$WORK/root"
wait_port udp 59

# The keys come once the menu (and later the refusal) is on the output;
# standard input stays open until the script has ended.
truncate -s 512M lab.img
keys() {
    for step in "3  command prompt:1wrong" "Wrong password:1secret"; do
        for _ in $(seq 300); do grep -q "${step%%:*}" raw.out 2> /dev/null && break; sleep 0.1; done
        printf '%s\n' "${step#*:}"
    done
    for _ in $(seq 600); do grep -q "now waiting" raw.out && break; sleep 0.1; done
}
keys | in_client timeout -s KILL 90 "$BIN/tobrend" -w -d"$WORK/lab.img" > raw.out 2>&1 &
pid=$!
for _ in $(seq 900); do grep -q "now waiting" raw.out && break; sleep 0.1; done
kill -KILL "$pid" 2> /dev/null
wait "$pid" 2> /dev/null
sed -e 's/\r$//' raw.out > out

expect_out "Boot server 10.77.0.1, this PC is 10.77.0.2"
expect_out "Host name: lab-pc-07"
expect_out "Wrong password"
expect_out "Installation done"
sfdisk -d lab.img 2> /dev/null | grep -q "^lab.img1 : .*bootable" || fail "partition 1 not active"
rm -rf got && mkdir got
mcopy -s -n -m -i "lab.img@@$(($(part 1 1) * 512))" '::*' got/ 2> /dev/null
tree() { (cd "$1" && find . -type f -exec md5sum {} + | tr a-z A-Z | sort); }
diff <(tree src) <(tree got) > /dev/null || fail "the restored system differs from the master's"
for n in 1 2; do dd if=lab.img of=p$n.img bs=512 skip="$(part $n 1)" count="$(part $n 2)" status=none; done
fsck.fat -n p1.img > fsck.out 2>&1 || fail "fsck.fat on the system partition: $(tail -3 fsck.out)"
e2fsck -fn p2.img > fsck.out 2>&1 || fail "e2fsck on the data partition: $(tail -3 fsck.out)"
$CACHETOOL list lab.img > cache.list || fail "the cache reader found damage"
grep -q 'system\.000' cache.list || fail "the archive is not in the cache: $(cat cache.list)"
finish
