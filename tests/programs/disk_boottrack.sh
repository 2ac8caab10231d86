#!/usr/bin/env bash
# The boot track as the files {0:0}BootCode and {0:0}BootData: copied to
# host files they match the image's bytes; copied back onto a damaged track
# they restore it byte for byte, partition table and signature included;
# clean 0 puts a fresh boot program in front of the kept table.
source "$(dirname "$0")/disk_lib.sh" "$1"

new_image disk.img 300M
pelto -w -ddisk.img 'setpartitions "FAT16:50 LINUX-EXT2:50 LINUX-SWAP:20 EXT:50 NTFS:10"'
# Some boot code and boot data of our own on the first track.
head -c 446 /dev/urandom | dd of=disk.img conv=notrunc status=none
head -c $((62 * 512)) /dev/urandom | dd of=disk.img bs=512 seek=1 conv=notrunc status=none
dd if=disk.img of=track.orig bs=512 count=63 status=none

pelto -w -ddisk.img 'copy "{0:0}BootCode" "code.bin"
copy "{0:0}bootdata" "data.bin"'
cmp code.bin <(head -c 446 track.orig) || fail "BootCode differs from the image"
cmp data.bin <(tail -c +513 track.orig) || fail "BootData differs from the image"
[ "$(stat -c %s data.bin)" -eq $((62 * 512)) ] || fail "BootData is not 62 sectors"

# Damage the track, then restore it from the saved files.
head -c $((63 * 512)) /dev/zero | tr '\0' '\377' | dd of=disk.img bs=512 conv=notrunc status=none
dd if=track.orig of=disk.img bs=1 skip=446 seek=446 count=66 conv=notrunc status=none
pelto -w -ddisk.img 'copy "code.bin" "{0:0}BootCode"
copy "data.bin" "{0:0}BootData"'
cmp track.orig <(dd if=disk.img bs=512 count=63 status=none) || fail "restored track differs"
sfdisk_entries disk.img | wc -l | grep -qx 5 || fail "partition table lost"

# Without -w the track stays damaged.
sum=$(sha256sum < disk.img)
pelto -ddisk.img 'copy "data.bin" "{0:0}BootData"
clean 0'
[ "$(sha256sum < disk.img)" = "$sum" ] || fail "image changed without -w"

# A BootCode larger than 446 bytes is refused.
head -c 447 /dev/urandom > big.bin
pelto -w -ddisk.img 'copy "big.bin" "{0:0}BootCode"'
grep -q "Could not copy the file" out || fail "oversized BootCode accepted"
cmp track.orig <(dd if=disk.img bs=512 count=63 status=none) || fail "refused copy changed the track"

pelto -w -ddisk.img 'clean 0'
expect_out "Cleaning partition 0 (type EXT)"
cmp <(tail -c +447 track.orig | head -c 66) <(dd if=disk.img bs=1 skip=446 count=66 status=none) ||
    fail "clean 0 changed the partition table"
[ "$(od -A n -t x1 -N 1 disk.img | tr -d ' ')" = fa ] || fail "no fresh boot program"
head -c 446 disk.img | grep -qaF "MBR Error: partition table contain no bootable partition" ||
    fail "boot program messages missing"
finish
