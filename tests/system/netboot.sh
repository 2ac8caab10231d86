#!/usr/bin/env bash
# A PC boots Tobrend from the network and is restored. In a network
# namespace of its own the test makes a bridge with the lab's dnsmasq
# (DHCP for PXE, iPXE and Tobrend, examples/lab/dnsmasq.conf) and
# tobrend-server (TFTP for iPXE, enhanced TFTP and the security port for
# Tobrend) and a tap device on it; a QEMU PC with a blank 1 GB AHCI disk, a
# second large one and an e1000 card boots through the card's iPXE ROM into
# the image of scripts/make-netboot. The lab's start.tbr asks for the
# password (typed on the serial console here, checked by the server),
# partitions its first disk, restores a FAT32 and an ext2 partition from archives
# on the server through the cache partition and powers off. The disk is then checked from outside (sfdisk, fsck.fat,
# e2fsck, mtools, debugfs); a second boot restores again from the cache
# without downloading. The PC's console log is kept on failure.
#   netboot.sh <bin dir> <source dir>
set -uo pipefail
BIN=$(cd "$1" && pwd)
SRC=$(cd "$2" && pwd)
BUILD=$(cd "$BIN/.." && pwd)
LAB=$SRC/examples/lab
BOOT_LIMIT=${VK_NETBOOT_LIMIT:-300} # seconds for one boot of the PC
MAC=52:54:00:88:00:64
export MTOOLS_SKIP_CHECK=1

skip() {
    echo "SKIP: $*"
    exit 77
}
[ -x "$BIN/tobrend-server" ] || skip "tobrend-server is not built"
for tool in qemu-system-x86_64 dnsmasq ip sfdisk mkfs.fat fsck.fat mcopy mke2fs e2fsck debugfs; do
    command -v "$tool" > /dev/null || skip "$tool is not installed (scripts/install-deps)"
done
[ -f /usr/lib/ipxe/qemu/efi-e1000.rom ] || [ -f /usr/share/qemu/efi-e1000.rom ] ||
    skip "no iPXE ROM for QEMU's e1000 (ipxe-qemu)"
[ -x /bin/busybox ] && ! ldd /bin/busybox > /dev/null 2>&1 || skip "no static busybox (busybox-static)"
# The image carries the program as built; a sanitizer build would boot its
# runtime too and take several times as long: this test runs on plain builds.
ldd "$BIN/tobrend" | grep -q -E 'libasan|libubsan|libtsan' &&
    skip "tobrend is a sanitizer build; the PC boots the plain build's program"
[ "$(id -u)" = 0 ] || skip "network namespaces need root"

WORK=$(mktemp -d)
NS="vknb$$"
PIDS=()
failures=0
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2> /dev/null; done
    for p in "${PIDS[@]}"; do wait "$p" 2> /dev/null; done
    ip netns del "$NS" 2> /dev/null
    if [ "$failures" -ne 0 ] || [ "${KEEP:-}" ]; then
        mkdir -p "$BUILD/Testing/netboot"
        cp "$WORK"/*.log "$BUILD/Testing/netboot/" 2> /dev/null
        echo "logs kept in $BUILD/Testing/netboot"
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap "exit 1" INT TERM
cd "$WORK"
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# --- The image ----------------------------------------------------------------
"$SRC/scripts/make-netboot" --tobrend "$BIN/tobrend" --out "$WORK/srv/netboot" \
    --cache "$BUILD/netboot-cache" > make-netboot.log 2>&1 ||
    { tail -5 make-netboot.log; skip "no network boot image (no kernel package to be had?)"; }
grep -E '^(kernel|vmlinuz|initrd)' make-netboot.log

# Software emulation unless KVM really runs a guest here (a /dev/kvm without
# the processor's virtualisation hangs).
accel=tcg
if grep -q -E 'vmx|svm' /proc/cpuinfo && [ -w /dev/kvm ]; then
    timeout 10 qemu-system-x86_64 -accel kvm -nodefaults -display none -m 64 \
        -debugcon file:kvm.log -global isa-debugcon.iobase=0x402 > /dev/null 2>&1
    grep -q SeaBIOS kvm.log 2> /dev/null && accel=kvm
fi
echo "QEMU acceleration: $accel"

# --- Archives on the server -------------------------------------------------------
# A FAT32 and an ext2 partition made by mkfs.fat/mtools and mke2fs -d on an
# image that pelto laid out, archived by pelto's fullzip.
# FAT names: 8.3 names in capitals, long names, a directory named like
# the volume label.
mkdir -p fat/SYSTEM/DRIVERS "fat/Program Files" ext/home/lab ext/etc srv/lab srv/images
head -c 900000 /dev/urandom > fat/SYSTEM/KERNEL.BIN
for i in $(seq 1 40); do echo "driver $i" > "fat/SYSTEM/DRIVERS/Driver number $i.cfg"; done
seq 1 20000 > "fat/Program Files/The numbers.txt"
echo "boot=1" > fat/CONFIG.SYS
head -c 500000 /dev/urandom > ext/home/lab/data.bin
seq 1 5000 > ext/etc/list
ln -s home/lab/data.bin ext/data
mkdir ext/home/lab/empty
pelto() {
    printf '%s\n' "$2" > p.pto
    timeout 60 "$BIN/pelto" -w -d"$WORK/$1" p < /dev/null > p.log 2>&1 || true
}
part() { sfdisk -d "$1" 2> /dev/null | sed -n "s|^$1$2 : start= *\([0-9]*\), size= *\([0-9]*\).*|\1 \2|p"; }
truncate -s 128M src.img
pelto src.img 'setpartitions "FAT32:64 LINUX-EXT2:24"'
read -r s1 n1 <<< "$(part src.img 1)"
read -r s2 n2 <<< "$(part src.img 2)"
[ -n "${n2:-}" ] || { cat p.log; fail "no source layout"; exit 1; }
truncate -s $((n1 * 512)) fat.img
mkfs.fat -F 32 -s 1 -n SYSTEM fat.img > /dev/null && mcopy -s -i fat.img fat/* ::/ ||
    fail "cannot make the FAT32 source"
mke2fs -q -F -t ext2 -r 0 -d ext ext.img $((n2 / 2)) > /dev/null 2>&1 || fail "cannot make the ext2 source"
dd if=fat.img of=src.img bs=512 seek="$s1" conv=notrunc,sparse status=none
dd if=ext.img of=src.img bs=512 seek="$s2" conv=notrunc,sparse status=none
pelto src.img 'set FragmentSize = "600k"
fullzip "{0:1}" "srv/images/system.000"
fullzip "{0:2}" "srv/images/data.000"'
ls srv/images/system.001 > /dev/null 2>&1 || { cat p.log; fail "no archive of several fragments"; }

# --- The server -----------------------------------------------------------------
cp "$LAB/start.tbr" srv/lab/
# The PC has no screen: the console is the first serial port, and when the
# program ends any other way than the script chose, the PC powers off.
sed -e 's/^kernel .*/kernel netboot\/vmlinuz initrd=initrd.img console=ttyS0,115200 TERM=vt100 vk.end=poweroff/' \
    "$LAB/boot.ipxe" > srv/boot.ipxe
sed -e 's/^interface=.*/interface=br0/' "$LAB/dnsmasq.conf" > dnsmasq.conf
ip netns add "$NS" || skip "network namespaces cannot be made here"
ip -n "$NS" link set lo up
ip -n "$NS" link add br0 type bridge
ip -n "$NS" addr add 10.88.0.1/24 dev br0
ip -n "$NS" tuntap add dev tap0 mode tap || skip "no tap devices here"
ip -n "$NS" link set tap0 master br0
ip -n "$NS" link set tap0 up
ip -n "$NS" link set br0 up
ip netns exec "$NS" dnsmasq --no-daemon --conf-file="$WORK/dnsmasq.conf" --user=root \
    --dhcp-leasefile="$WORK/leases" --log-facility="$WORK/dnsmasq.log" --pid-file= 2> /dev/null &
PIDS+=($!)
ip netns exec "$NS" "$BIN/tobrend-server" --root "$WORK/srv" --address 10.88.0.1 --users "$LAB/users" \
    --broadcast-port 0 --status-port 0 --quiet 2> server.log &
PIDS+=($!)
for _ in $(seq 50); do
    ip netns exec "$NS" ss -uln | grep -q ':89 ' && break
    sleep 0.1
done

# --- The PC ---------------------------------------------------------------------
truncate -s 1G disk.img
# The second disk is large (sparse): its cylinder count is beyond the 16
# bits of the kernel's geometry answer and the partition tables' reach.
truncate -s 600G second.img
# boot <name>: one boot until the PC powers off; the console in <name>.log.
boot() {
    local name=$1 started=$SECONDS
    rm -f con.in con.out
    mkfifo con.in con.out
    cat con.out > "$name.log" &
    local reader=$!
    ip netns exec "$NS" timeout "$BOOT_LIMIT" qemu-system-x86_64 -machine q35 -accel "$accel" \
        -m 512 -nodefaults -display none -no-reboot \
        -chardev pipe,id=con,path=con -serial chardev:con \
        -drive file=disk.img,format=raw,if=none,id=d0 -drive file=second.img,format=raw,if=none,id=d1 \
        -device ahci,id=ahci -device ide-hd,drive=d0,bus=ahci.0 -device ide-hd,drive=d1,bus=ahci.1 \
        -netdev tap,id=n0,ifname=tap0,script=no,downscript=no -device e1000,netdev=n0,mac=$MAC \
        -boot n > "$name.qemu.log" 2>&1 &
    local qemu=$!
    PIDS+=($qemu)
    # The administrator types the password when the script asks for it.
    local typed=
    while kill -0 "$qemu" 2> /dev/null; do
        if [ -z "$typed" ] && grep -q 'Password:' "$name.log" 2> /dev/null; then
            sleep 0.5
            printf 'secret\r' > con.in
            typed=1
        fi
        sleep 0.5
    done
    wait "$qemu"
    local status=$?
    wait "$reader"
    echo "$name boot: $((SECONDS - started)) s (QEMU status $status)"
    [ "$status" = 0 ] || fail "$name boot: QEMU ended with $status (124: time limit)"
    tr -d '\r' < "$name.log" | sed 's/\x1b\[[0-9;?]*[A-Za-z]/\n/g' > "$name.txt"
    grep -q 'Lab PC restored' "$name.txt" || fail "$name boot: the script did not end"
    grep -q 'netboot: powering off' "$name.txt" || fail "$name boot: no power-off"
    # The kernel re-read the table the program wrote (BLKRRPART).
    grep -q -E 'netboot: partitions: (.* )?sd[a-z]1 sd[a-z]2 ' "$name.txt" ||
        fail "$name boot: the kernel sees $(grep 'netboot: partitions' "$name.txt")"
    # Both disks found (the first and the second), in MB of whole cylinders:
    # 130 of 255 x 63 sectors, and the large one at the last cylinder
    # numbers can hold (65536).
    grep -q -E 'Disks \(MB\): 1020 514080$' "$name.txt" || fail "$name boot: $(grep 'Disks' "$name.txt")"
}

# check <name>: the disk as other tools see it.
check() {
    local name=$1
    sfdisk -d disk.img > layout.txt 2> /dev/null || fail "$name: sfdisk cannot read the table"
    read -r s1 n1 <<< "$(part disk.img 1)"
    read -r s2 n2 <<< "$(part disk.img 2)"
    # Sizes are whole cylinders of the geometry the kernel reports for the
    # disk (255 heads, 63 sectors here: 7.8 MB).
    grep -q -E "^disk.img1 : .*type=[bc], bootable" layout.txt && grep -q "^disk.img2 : .*type=83" layout.txt &&
        [ "$(grep -c '^disk.img' layout.txt)" = 2 ] && [ "$n1" -ge $((300 * 2048)) ] &&
        [ "$n1" -lt $((308 * 2048)) ] && [ "$n2" -ge $((100 * 2048)) ] && [ "$n2" -lt $((108 * 2048)) ] ||
        { fail "$name: layout"; cat layout.txt; }
    dd if=disk.img of=p1.img bs=512 skip="$s1" count="$n1" conv=sparse status=none
    dd if=disk.img of=p2.img bs=512 skip="$s2" count="$n2" conv=sparse status=none
    fsck.fat -n p1.img > fsck.log 2>&1 || { fail "$name: fsck.fat"; tail fsck.log; }
    e2fsck -fn p2.img > e2fsck.log 2>&1 || { fail "$name: e2fsck"; tail e2fsck.log; }
    rm -rf got && mkdir -p got/fat got/ext
    mcopy -s -n -i p1.img '::*' got/fat/ 2> /dev/null || fail "$name: mcopy"
    diff -r fat got/fat > diff.log || { fail "$name: FAT32 tree"; head diff.log; }
    debugfs -R "rdump / $WORK/got/ext" p2.img > /dev/null 2>&1 || fail "$name: debugfs"
    rm -rf got/ext/lost+found
    diff -r --no-dereference ext got/ext > diff.log || { fail "$name: ext2 tree"; head diff.log; }
    rm -f p1.img p2.img
}

# The server's log and Tobrend's on the console tell what came from the
# server: every fragment whole on the first boot; on the second only the
# first blocks that show the cached copies unchanged.
fragments=$(ls srv/images | wc -l)
boot first
done=$(grep -c -E '"images/[^"]*" done' server.log)
[ "$done" = "$fragments" ] || fail "first boot: $done of $fragments fragments sent whole"
downloaded=$(grep -o 'Downloading "images/[^"]*"' first.txt | sort -u | wc -l)
[ "$downloaded" = "$fragments" ] || fail "first boot: $downloaded of $fragments fragments downloaded"
grep -q -E 'security .*checkuser' server.log || fail "no password check at the security port"
check first
lines=$(wc -l < server.log)
boot second
tail -n +$((lines + 1)) server.log | grep -E '"images/[^"]*" done' && fail "second boot: fragments sent whole"
grep -q 'Downloading' second.txt && fail "second boot downloaded again"
grep -q 'found in the disk cache' second.txt || fail "second boot: no file found in the cache"
check second
[ "$failures" = 0 ] && { echo PASS; exit 0; }
echo "$failures failure(s)"
exit 1
