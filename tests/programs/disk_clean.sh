#!/usr/bin/env bash
# blank and clean on an image: zeroed partitions, warnings for missing
# ones, swap headers of both versions (version 1 recognised by blkid,
# version 0 compared byte by byte), the refusals, and nothing written
# without -w.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs blkid
source "$(dirname "$0")/disk_lib.sh" "$1"

new_image disk.img 700M
LAST=$(($(stat -c %s disk.img) / (CYL * 512) - 1))
pelto -w -ddisk.img 'setpartitions "LINUX-SWAP:200 LINUX-SWAP:20 NTFS:20 EXT:100 LINUX-EXT2:20 FAT16:20"'
e1=$(end_cylinder 0 1 200 $LAST)
e2=$(end_cylinder $((e1 + 1)) 0 20 $LAST)
e3=$(end_cylinder $((e2 + 1)) 0 20 $LAST)
e4=$(end_cylinder $((e3 + 1)) 0 100 $LAST)
e5=$(end_cylinder $((e3 + 1)) 1 20 $e4)
e6=$(end_cylinder $((e5 + 1)) 0 20 $e4)
start5=$(lba $((e3 + 1)) 1 1)
start6=$(lba $((e5 + 1)) 0 1)
size6=$(($(lba $e6 63 63) - start6 + 1))

# Fill partitions 5 and 6 (and the sector behind 6) with non-zero bytes.
junk() { head -c $(($2 * 512)) /dev/zero | tr '\0' '\132' | dd of=disk.img bs=512 seek=$1 conv=notrunc status=none; }
junk $start5 100
junk $start6 $((size6 + 1))

sum=$(sha256sum < disk.img)
pelto -ddisk.img 'blank 5-7
clean 1-2'
[ "$(sha256sum < disk.img)" = "$sum" ] || fail "blank/clean changed the image without -w"

pelto -w -ddisk.img 'blank 5-7
echo "blanked"'
expect_out "Blanking partition 5 (type LINUX-EXT2)"
expect_out "Blanking partition 6 (type FAT16)"
expect_out "Warning: attempt to blank non-existing partition 7"
expect_out "blanked"
cmp -s <(dd if=disk.img bs=512 skip=$start6 count=$size6 status=none) <(head -c $((size6 * 512)) /dev/zero) ||
    fail "partition 6 not blanked"
cmp -s <(dd if=disk.img bs=512 skip=$start5 count=100 status=none) <(head -c $((100 * 512)) /dev/zero) ||
    fail "partition 5 not blanked"
[ "$(dd if=disk.img bs=512 skip=$((start6 + size6)) count=1 status=none | tr -d '\132' | wc -c)" -eq 0 ] ||
    fail "blank went past its partition"

pelto -w -ddisk.img 'blank -1-0 0'
expect_out "Blanking partition -1 (type CACHE)"
expect_out "Blanking partition 0 (type EXT)"
[ "$(dd if=disk.img bs=512 count=1 status=none | tr -d '\0' | wc -c)" -eq 0 ] || fail "partition 0 not blanked"

# Swap headers.
pelto -w -ddisk.img 'setpartitions "LINUX-SWAP:200 LINUX-SWAP:20 NTFS:20 EXT:100 LINUX-EXT2:20 FAT16:20"
clean 1-2 0 "ignored label"'
expect_out "Cleaning partition 1 (type LINUX-SWAP)"
expect_out "Warning : Swap partitions bigger than 128Mb are only support with Linux kernel >2.1.x"
expect_out "Cleaning partition 2 (type LINUX-SWAP)"
start1=$(lba 0 1 1)
size1=$(($(lba $e1 63 63) - start1 + 1))
blkid -p -O $((start1 * 512)) -o export disk.img > blkid.out
grep -qx "TYPE=swap" blkid.out || fail "blkid does not see swap on partition 1"
grep -qx "VERSION=1" blkid.out || fail "partition 1 is not version 1 swap"
last=$(od -A n -t u4 -j $((start1 * 512 + 1028)) -N 4 disk.img | tr -d ' ')
[ "$last" -eq $((size1 / 8 - 1)) ] || fail "version 1 last page $last"

# Version 0: bitmap of pages 1 to L, zeros, "SWAP-SPACE" at 4086.
start2=$(lba $((e1 + 1)) 0 1)
size2=$(($(lba $e2 63 63) - start2 + 1))
L=$((size2 / 8 - 1))
{
    printf '\376'
    head -c $(((L + 1) / 8 - 1)) /dev/zero | tr '\0' '\377'
    rest=$(((L + 1) % 8))
    [ $rest -ne 0 ] && printf "\\$(printf '%03o' $(((1 << rest) - 1)))"
    head -c $((4086 - (L + 8) / 8)) /dev/zero
    printf 'SWAP-SPACE'
} > expected.page
cmp expected.page <(dd if=disk.img bs=512 skip=$start2 count=8 status=none) || fail "version 0 header differs"

# What cannot be cleaned: a type without a driver (0x27, in entry 3).
printf '\047' | dd of=disk.img bs=1 seek=482 conv=notrunc status=none
pelto -w -ddisk.img 'clean 3'
expect_out "Cleaning partition 3 (type 39)"
expect_out "Error in t.pto, line 1: Don't know how to clean that sort of partition"
pelto -w -ddisk.img 'clean 7-8
clean 9'
expect_out "Warning: attempt to clean non-existing partition 7"
expect_out "Warning: attempt to clean non-existing partition 8"
expect_out "Warning: attempt to clean non-existing partition 9"
# A swap partition of 80 sectors (last page 9) is refused, and the range
# stops there: partition 4 stays as it was.
new_image small.img 100M
pelto -w -dsmall.img 'setpartitions "LINUX-SWAP:10 EMPTY EMPTY LINUX-SWAP:10"'
# Entry 2: type 0x82 from cylinder 40 head 0 sector 1 to head 1 sector 17.
printf '\000\000\001\050\202\001\021\050' | dd of=small.img bs=1 seek=462 conv=notrunc status=none
printf '\000\166\002\000\120\000\000\000' | dd of=small.img bs=1 seek=470 conv=notrunc status=none
pelto -w -dsmall.img 'clean 1-4'
expect_out "Cleaning partition 1 (type LINUX-SWAP)"
expect_out "Cleaning partition 2 (type LINUX-SWAP)"
expect_out "Error in t.pto, line 1: Clean-up failed"
refute_out "Cleaning partition 4"
blkid -p -O 32256 -o export small.img | grep -qx "TYPE=swap" || fail "partition 1 not cleaned"
[ "$(sfdisk_entries small.img | sed -n 2p | tr -d ' ')" = "2:start=161280,size=80,type=82" ] ||
    fail "hand-made entry not as intended"
start4=$(sfdisk_entries small.img | sed -n 3p | sed 's/.*start= \([0-9]*\),.*/\1/')
[ "$(dd if=small.img bs=512 skip=$start4 count=8 status=none | tr -d '\0' | wc -c)" -eq 0 ] ||
    fail "partition 4 was cleaned after a failure"

pelto -w -ddisk.img 'clean 1 3'
expect_out "Error in t.pto, line 1: Bad hard-disk number"
pelto -w -ddisk.img 'blank x'
expect_out "Error in t.pto, line 1: bad range value"
finish
