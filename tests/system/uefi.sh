#!/usr/bin/env bash
# A UEFI PC with Secure Boot on boots Tobrend from the network and then
# starts the system on its own disk. In a network namespace of its own the
# test makes a bridge with the lab's dnsmasq (examples/lab/dnsmasq.conf:
# the boot file by the client's architecture) and tobrend-server, and a tap
# device on it. A QEMU q35 PC with OVMF's Secure Boot firmware and
# Microsoft's keys enrolled, a virtio network card without option ROM (the
# firmware's own network stack boots) and an NVMe disk boots shim, Debian's
# signed network GRUB, Debian's signed kernel and the ramdisk of
# scripts/make-netboot. The lab's UEFI start-up script checks that the
# firmware runs Secure Boot, lays out the blank disk with a GUID partition
# table (ESP and Linux root), restores both from archives that Pelto made
# beforehand of a small bootable system, and ends with hdboot, which makes
# a boot entry for the disk's EFI system partition and sets BootNext to
# it; the PC restarts and
# starts the disk's system (shim, signed GRUB, the signed kernel and a tiny
# ramdisk whose init prints a marker and powers off), still under Secure
# Boot. A second power-on boots the network again (BootNext holds once) and
# hdboot renews its entry for the ESP, which got a new GUID meanwhile. A third PC, without Secure Boot and with iPXE's
# UEFI ROM on an e1000 card, runs the lab's boot.ipxe into Tobrend. The
# disk is then checked from outside (sgdisk, fsck.fat, e2fsck). The PC's
# console logs are kept on failure.
#   uefi.sh <bin dir> <source dir>
set -uo pipefail
BIN=$(cd "$1" && pwd)
SRC=$(cd "$2" && pwd)
BUILD=$(cd "$BIN/.." && pwd)
LAB=$SRC/examples/lab
# Seconds for the whole run of the PC: network boot, Tobrend, restart and
# the disk's system. Measured here (software emulation, 2 shared cores):
# about 60 s; the test makes two such runs and a shorter one (in all
# about 210 s).
RUN_LIMIT=${VK_UEFI_LIMIT:-400}
MAC=52:54:00:88:00:65
OVMF_CODE=/usr/share/OVMF/OVMF_CODE_4M.secboot.fd
OVMF_VARS=/usr/share/OVMF/OVMF_VARS_4M.ms.fd
MARKER="restored system started"
export MTOOLS_SKIP_CHECK=1

skip() {
    echo "SKIP: $*"
    exit 77
}
[ -x "$BIN/tobrend-server" ] || skip "tobrend-server is not built"
for tool in qemu-system-x86_64 dnsmasq ip sgdisk mkfs.fat fsck.fat mcopy mmd mke2fs e2fsck dumpe2fs; do
    command -v "$tool" > /dev/null || skip "$tool is not installed (scripts/install-deps)"
done
[ -f "$OVMF_CODE" ] && [ -f "$OVMF_VARS" ] || skip "no OVMF Secure Boot firmware (ovmf)"
[ -x /bin/busybox ] && ! ldd /bin/busybox > /dev/null 2>&1 || skip "no static busybox (busybox-static)"
# The image carries the program as built; a sanitizer build would boot its
# runtime too and take several times as long: this test runs on plain builds.
ldd "$BIN/tobrend" | grep -q -E 'libasan|libubsan|libtsan' &&
    skip "tobrend is a sanitizer build; the PC boots the plain build's program"
[ "$(id -u)" = 0 ] || skip "network namespaces need root"

WORK=$(mktemp -d)
NS="vkue$$"
PIDS=()
failures=0
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2> /dev/null; done
    for p in "${PIDS[@]}"; do wait "$p" 2> /dev/null; done
    ip netns del "$NS" 2> /dev/null
    if [ "$failures" -ne 0 ] || [ "${KEEP:-}" ]; then
        mkdir -p "$BUILD/Testing/uefi"
        cp "$WORK"/*.log "$WORK"/*.txt "$BUILD/Testing/uefi/" 2> /dev/null
        echo "logs kept in $BUILD/Testing/uefi"
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

# --- The image and the signed chain -------------------------------------------------
mkdir -p srv/lab
"$SRC/scripts/make-netboot" --tobrend "$BIN/tobrend" --out "$WORK/srv/netboot" \
    --cache "$BUILD/netboot-cache" > make-netboot.log 2>&1 ||
    { tail -5 make-netboot.log; skip "no network boot image (no kernel package to be had?)"; }
[ -f srv/netboot/shimx64.efi ] && [ -f srv/netboot/grubx64.efi ] ||
    skip "no signed shim and GRUB (shim-signed, grub-efi-amd64-signed cannot be had)"
grep -E '^(kernel|vmlinuz|initrd|shimx64|grubx64)' make-netboot.log
# The signed monolithic GRUB for the disk comes from the same package.
grub_deb=$(ls "$BUILD"/netboot-cache/grub-efi-amd64-signed_*.deb | sort -V | tail -1)
mkdir pkg && dpkg-deb -x "$grub_deb" pkg || skip "cannot unpack $grub_deb"
DISK_GRUB=pkg/usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed
[ -f "$DISK_GRUB" ] || skip "no grubx64.efi.signed in $grub_deb"

# --- The system on the disk ---------------------------------------------------------
# Its ESP holds shim as the fallback boot program \EFI\BOOT\BOOTX64.EFI,
# the signed GRUB beside it (shim starts grubx64.efi from its directory),
# GRUB's configuration (read from \EFI\BOOT when \EFI\debian is missing),
# the signed kernel and a ramdisk with a static busybox whose init prints
# the marker and whether the kernel found Secure Boot on, and powers off.
mkdir -p esp/EFI/BOOT sys/bin sys/dev sys/proc
cp srv/netboot/shimx64.efi esp/EFI/BOOT/BOOTX64.EFI
cp "$DISK_GRUB" esp/EFI/BOOT/grubx64.efi
cp srv/netboot/vmlinuz esp/vmlinuz
cat > esp/EFI/BOOT/grub.cfg << 'EOF'
set timeout=0
menuentry "restored system" {
  linux /vmlinuz console=ttyS0,115200 loglevel=4
  initrd /initrd.img
}
EOF
cp /bin/busybox sys/bin/busybox
cat > sys/init << EOF
#!/bin/busybox sh
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t devtmpfs devtmpfs /dev
echo "$MARKER: \$(/bin/busybox dmesg | /bin/busybox grep -o 'Secure boot [a-z]*' | /bin/busybox head -1)" > /dev/ttyS0
/bin/busybox poweroff -f
EOF
chmod 755 sys/init
(cd sys && find . | /bin/busybox cpio -o -H newc -R 0:0 2> /dev/null) | gzip -1 > esp/initrd.img

truncate -s 512M disk.img
# ESP 100 MB (FAT32), root 64 MB (Linux, ext4), the rest free.
sgdisk -n 1:2048:+100M -t 1:EF00 -c 1:"EFI system partition" -n 2:0:+64M -t 2:8300 -c 2:root \
    disk.img > sgdisk.log 2>&1 || { cat sgdisk.log; fail "sgdisk cannot lay out the disk"; exit 1; }
part() { sgdisk -i "$1" disk.img | sed -n 's/^\(First\|Last\) sector: \([0-9]*\).*/\2/p' | tr '\n' ' '; }
read -r s1 e1 <<< "$(part 1)"
read -r s2 e2 <<< "$(part 2)"
truncate -s $(((e1 - s1 + 1) * 512)) esp.img
mkfs.fat -F 32 -n ESP esp.img > /dev/null && mcopy -s -i esp.img esp/* ::/ || fail "cannot make the ESP"
mkdir -p root/etc && echo "restored" > root/etc/hostname
mke2fs -q -F -t ext4 -d root root.img $(((e2 - s2 + 1) / 2)) > /dev/null 2>&1 || fail "cannot make the root"

# Pelto archives the ESP and the root from a disk laid out by sgdisk; the
# PC's disk starts blank, and the lab's start-up script lays it out and
# restores both before hdboot.
cp disk.img src.img
dd if=esp.img of=src.img bs=512 seek="$s1" conv=notrunc,sparse status=none
dd if=root.img of=src.img bs=512 seek="$s2" conv=notrunc,sparse status=none
mkdir -p srv/images
printf '%s\n' 'fullzip "{0:1}" "srv/images/esp.000"' 'fullzip "{0:2}" "srv/images/root.000"' > p.pto
timeout 120 "$BIN/pelto" -w -d"$WORK/src.img" p < /dev/null > p.log 2>&1
[ -f srv/images/esp.000 ] && [ -f srv/images/root.000 ] || { cat p.log; fail "pelto made no archives"; }
rm -f disk.img src.img && truncate -s 512M disk.img
# ----------------------------------------------------------------------------------
rm -f esp.img root.img

# --- The server -------------------------------------------------------------------
cp "$LAB/start-uefi.tbr" srv/lab/
# GRUB reads grub/grub.cfg at the TFTP root. The PC has no screen: the
# console is the first serial port; when the program ends any other way
# than the script chose, the PC powers off.
mkdir -p srv/grub
cp srv/netboot/shimx64.efi srv/netboot/grubx64.efi srv/
sed -e 's|^\( *linux /netboot/vmlinuz\).*|\1 console=ttyS0,115200 TERM=vt100 vk.end=poweroff|' \
    srv/netboot/grub/grub.cfg > srv/grub/grub.cfg
sed -e 's/^interface=.*/interface=br0/' -e 's|lab/start.tbr|lab/start-uefi.tbr|' "$LAB/dnsmasq.conf" > dnsmasq.conf
ip netns add "$NS" || skip "network namespaces cannot be made here"
ip -n "$NS" link set lo up
ip -n "$NS" link add br0 type bridge
ip -n "$NS" addr add 10.88.0.1/24 dev br0
ip -n "$NS" tuntap add dev tap0 mode tap || skip "no tap devices here"
ip -n "$NS" link set tap0 master br0
ip -n "$NS" link set tap0 up
ip -n "$NS" link set br0 up
ip netns exec "$NS" dnsmasq --no-daemon --conf-file="$WORK/dnsmasq.conf" --user=root \
    --dhcp-leasefile="$WORK/leases" --log-facility="$WORK/dnsmasq.log" --log-dhcp --pid-file= 2> /dev/null &
PIDS+=($!)
ip netns exec "$NS" "$BIN/tobrend-server" --root "$WORK/srv" --address 10.88.0.1 --users "$LAB/users" \
    --broadcast-port 0 --status-port 0 2> server.log &
PIDS+=($!)
for _ in $(seq 50); do
    ip netns exec "$NS" ss -uln | grep -q ':69 ' && break
    sleep 0.1
done

# --- The PC -----------------------------------------------------------------------
# The firmware's variables (Microsoft's keys enrolled, Secure Boot on) are
# the PC's own copy, kept from run to run; the network card boots first,
# the disk second.
cp "$OVMF_VARS" vars.fd
# run_pc <name>: the PC from power-on until the disk's system powers it
# off: the network boot, Tobrend's hdboot, the restart into the disk. The
# console in <name>.log and <name>.txt.
run_pc() {
    local name=$1 started=$SECONDS s
    ip netns exec "$NS" timeout "$RUN_LIMIT" nice -n 10 qemu-system-x86_64 \
        -machine q35,smm=on -accel tcg -m 768 -nodefaults -display none \
        -global driver=cfi.pflash01,property=secure,value=on \
        -drive if=pflash,format=raw,unit=0,file="$OVMF_CODE",readonly=on \
        -drive if=pflash,format=raw,unit=1,file=vars.fd \
        -chardev file,id=con,path="$name.log" -serial chardev:con \
        -drive file=disk.img,format=raw,if=none,id=d0 -device nvme,drive=d0,serial=VK0001,bootindex=2 \
        -netdev tap,id=n0,ifname=tap0,script=no,downscript=no \
        -device virtio-net-pci,netdev=n0,mac=$MAC,romfile=,bootindex=1 > "$name.qemu.log" 2>&1 &
    local qemu=$!
    PIDS+=($qemu)
    # Times of the stages, from the console as it grows.
    local -A at=()
    local stages=("netboot: starting Tobrend" "Booting from hard disk" "$MARKER")
    while :; do
        for s in "${stages[@]}"; do
            [ -z "${at[$s]:-}" ] && grep -a -q "$s" "$name.log" 2> /dev/null && at[$s]=$((SECONDS - started))
        done
        kill -0 "$qemu" 2> /dev/null || break
        sleep 1
    done
    wait "$qemu"
    local status=$?
    echo "$name run: $((SECONDS - started)) s (QEMU status $status); Tobrend started at" \
        "${at[${stages[0]}]:-?} s, hdboot at ${at[${stages[1]}]:-?} s, the disk's system at ${at[$MARKER]:-?} s"
    [ "$status" = 0 ] || fail "$name: QEMU ended with $status (124: time limit)"
    tr -d '\r' < "$name.log" | sed 's/\x1b\[[0-9;?]*[A-Za-z]/\n/g' > "$name.txt"
    grep -q 'netboot: UEFI firmware, Secure Boot on, lockdown integrity' "$name.txt" ||
        fail "$name: the image does not run under Secure Boot: $(grep 'netboot: .*firmware' "$name.txt")"
    grep -q 'Firmware: UEFI Secure Boot' "$name.txt" || fail "$name: the script does not see Secure Boot"
    grep -q 'Layout: GPT ESP:128 LINUX:64' "$name.txt" ||
        fail "$name: the layout: $(grep -a -E 'Layout|ERROR|Error' "$name.txt" | head -3)"
    entry=$(sed -n 's/^Booting from hard disk 0 partition 1 (EFI system partition, \(.*\))$/\1/p' "$name.txt")
    [ -n "$entry" ] || fail "$name: hdboot: $(grep -i -E 'hdboot|Booting|Invalid|No ' "$name.txt" | head -3)"
    grep -q 'netboot: restarting' "$name.txt" || fail "$name: the image did not restart the PC"
    # After the restart the firmware started the disk's shim, GRUB and
    # kernel: the marker, and that kernel found Secure Boot on too.
    grep -q "$MARKER: Secure boot enabled" "$name.txt" ||
        fail "$name: the disk's system: $(grep "$MARKER" "$name.txt")"
}

run_pc first
# The network boot: shim from the firmware, GRUB and its configuration, the
# kernel and the ramdisk, all by standard TFTP.
for f in shimx64.efi grubx64.efi grub/grub.cfg netboot/vmlinuz netboot/initrd.img; do
    grep -q -E "\"/?$f\" done" server.log || fail "the server did not send $f whole"
done
case $entry in
    "new Boot"[0-9A-F][0-9A-F][0-9A-F][0-9A-F]) ;;
    *) fail "first: hdboot made no new entry: $entry" ;;
esac
first_entry=${entry#new }
# BootNext served once: the next power-on boots the network again. The ESP
# has a new GUID by then, as after a new layout: hdboot rewrites the entry
# it made (an existing variable, which efivarfs keeps immutable) rather
# than adding another, and the firmware finds the partition by that GUID.
sgdisk -u 1:R disk.img > sgdisk.log 2>&1 || fail "sgdisk cannot give the ESP a new GUID"
run_pc second
[ "$(grep -c -E '"shimx64.efi" done' server.log)" = 2 ] || fail "second: the PC did not boot the network again"
[ "$entry" = "renewed $first_entry" ] || fail "second: hdboot chose \"$entry\", not \"renewed $first_entry\""

# UEFI iPXE: a PC without Secure Boot whose card carries iPXE's ROM (QEMU's
# efi-e1000.rom) runs the lab's boot.ipxe, whose kernel line names the
# ramdisk as UEFI iPXE needs; Tobrend starts and finds Secure Boot off.
rom=
for r in /usr/lib/ipxe/qemu/efi-e1000.rom /usr/share/qemu/efi-e1000.rom; do [ -f "$r" ] && rom=$r && break; done
if [ -n "$rom" ] && [ -f /usr/share/OVMF/OVMF_CODE_4M.fd ] && [ -f /usr/share/OVMF/OVMF_VARS_4M.fd ]; then
    sed -e 's|^kernel netboot/vmlinuz initrd=initrd.img .*|kernel netboot/vmlinuz initrd=initrd.img console=ttyS0,115200 TERM=vt100 vk.end=poweroff|' \
        "$LAB/boot.ipxe" > srv/boot.ipxe
    grep -q '^kernel .*initrd=initrd.img' srv/boot.ipxe || fail "boot.ipxe names no initrd= on its kernel line"
    cp /usr/share/OVMF/OVMF_VARS_4M.fd ipxe-vars.fd
    started=$SECONDS
    ip netns exec "$NS" timeout "$RUN_LIMIT" nice -n 10 qemu-system-x86_64 \
        -machine q35 -accel tcg -m 768 -nodefaults -display none -no-reboot \
        -drive if=pflash,format=raw,unit=0,file=/usr/share/OVMF/OVMF_CODE_4M.fd,readonly=on \
        -drive if=pflash,format=raw,unit=1,file=ipxe-vars.fd \
        -chardev file,id=con,path=ipxe.log -serial chardev:con \
        -drive file=disk.img,format=raw,if=none,id=d0,readonly=on -device nvme,drive=d0,serial=VK0001 \
        -netdev tap,id=n0,ifname=tap0,script=no,downscript=no \
        -device e1000,netdev=n0,mac=$MAC,romfile="$rom",bootindex=1 > ipxe.qemu.log 2>&1
    status=$?
    echo "UEFI iPXE run: $((SECONDS - started)) s (QEMU status $status)"
    [ "$status" = 0 ] || fail "UEFI iPXE: QEMU ended with $status (124: time limit)"
    tr -d '\r' < ipxe.log | sed 's/\x1b\[[0-9;?]*[A-Za-z]/\n/g' > ipxe.txt
    grep -q -E '"/?boot.ipxe" done' server.log || fail "UEFI iPXE: boot.ipxe was not fetched"
    grep -q 'netboot: UEFI firmware, Secure Boot off' ipxe.txt ||
        fail "UEFI iPXE: $(grep 'netboot: .*firmware' ipxe.txt)"
    grep -q 'Firmware: UEFI$' ipxe.txt && grep -q 'Secure Boot is off: nothing started' ipxe.txt ||
        fail "UEFI iPXE: the script did not run to its end"
    grep -q 'netboot: powering off' ipxe.txt || fail "UEFI iPXE: no power-off"
else
    echo "UEFI iPXE: skipped (no efi-e1000.rom or OVMF without Secure Boot)"
fi

# --- The disk from outside ------------------------------------------------------------
sgdisk -v disk.img > verify.log 2>&1
grep -q 'No problems found' verify.log || { fail "sgdisk -v"; cat verify.log; }
read -r s1 e1 <<< "$(part 1)"
read -r s2 e2 <<< "$(part 2)"
dd if=disk.img of=p1.img bs=512 skip="$s1" count=$((e1 - s1 + 1)) conv=sparse status=none
dd if=disk.img of=p2.img bs=512 skip="$s2" count=$((e2 - s2 + 1)) conv=sparse status=none
fsck.fat -n p1.img > fsck.log 2>&1 || { fail "fsck.fat"; tail fsck.log; }
e2fsck -fn p2.img > e2fsck.log 2>&1 || { fail "e2fsck"; tail e2fsck.log; }
dumpe2fs -h p2.img 2> /dev/null | grep -q '^Filesystem features:.*extent' || fail "the restored root is not ext4"
mcopy -n -i p1.img ::/EFI/BOOT/BOOTX64.EFI got-shim.efi 2> /dev/null &&
    cmp -s got-shim.efi srv/netboot/shimx64.efi || fail "the ESP's BOOTX64.EFI is not shim"
rm -f p1.img p2.img

[ "$failures" = 0 ] && { echo PASS; exit 0; }
echo "$failures failure(s)"
exit 1
