#!/usr/bin/env bash
# The setpartitions example with two logical partitions in one extended
# table (read back by partx, which like the kernel takes every data entry
# of an extended table), 12-bit cylinders with LBA off, and the failures of
# setpartitions with their messages.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs sfdisk partx
source "$(dirname "$0")/disk_lib.sh" "$1"

new_image disk.img 4G
LAST=$(($(stat -c %s disk.img) / (CYL * 512) - 1))
DEF="FAT16:500 EXT:2000 EMPTY EMPTY LINUX-EXT2:1000 LINUX-SWAP:100"

# With LBA on, cylinders end at 1023: the layout is refused, nothing written.
sum=$(sha256sum < disk.img)
pelto -w -ddisk.img "setpartitions \"$DEF\""
expect_out "Error in t.pto, line 1: Invalid partition definition"
[ "$(sha256sum < disk.img)" = "$sum" ] || fail "a refused layout changed the image"

pelto -w -ddisk.img "set LBA = \"OFF\"
setpartitions \"$DEF\"
getpartitions P
echo \"[\$P]\""
expect_out "Setting partition table 0 on hard disk 0"
expect_out "Setting partition table 2 on hard disk 0"
expect_out "[FAT16:500 EXT:2000 EMPTY:0 EMPTY:0 LINUX-EXT2:1000 LINUX-SWAP:100]"
e1=$(end_cylinder 0 1 500 $LAST)
e2=$(end_cylinder $((e1 + 1)) 0 2000 $LAST)
e3=$(end_cylinder $((e1 + 1)) 1 1000 $e2)
e4=$(end_cylinder $((e3 + 1)) 0 100 $e2)
size() { echo $(($(lba $3 $((HEADS - 1)) $SECTORS) - $(lba $1 $2 1) + 1)); }
partx -g -o NR,START,SECTORS,TYPE disk.img | tr -s ' ' | sed 's/^ //' > actual
printf '%s\n' "1 $(lba 0 1 1) $(size 0 1 $e1) 0x4" "2 $(lba $((e1 + 1)) 0 1) $(size $((e1 + 1)) 0 $e2) 0x5" \
    "5 $(lba $((e1 + 1)) 1 1) $(size $((e1 + 1)) 1 $e3) 0x83" \
    "6 $(lba $((e3 + 1)) 0 1) $(size $((e3 + 1)) 0 $e4) 0x82" > expected
diff -u expected actual || fail "partx reads another layout"

# Failures, each on a fresh image.
check_failure() { # definition, message, partitions sfdisk should see afterwards
    new_image fail.img 500M
    pelto -w -dfail.img "setpartitions \"$1\""
    expect_out "Error in t.pto, line 1: $2"
    local seen
    seen=$(sfdisk_entries fail.img | wc -l)
    [ "$seen" -eq "$3" ] || fail "$1: sfdisk sees $seen partitions, expected $3"
}
check_failure "FAT16:400 LINUX-EXT2:100 NTFS:10" "Partitions are too big !" 0
check_failure "FAT16:10 FAT16:10 LINUX-SWAP:10 NTFS:10 FAT32:10" \
    "Too much partitions (hint: use extended partitions)" 4
check_failure "EXT:100 FAT16:10" "First partition cannot be an extended partition" 0
check_failure "EMPTY EXT:100 FAT16:10" "First partition cannot be an extended partition" 0
check_failure "FAT16:10 NOSUCHTYPE:10" "Invalid partition definition" 0
check_failure "FAT16:10 LINUX-EXT2:ten" "Invalid partition definition" 0
check_failure "FAT16:10 LINUX-EXT2" "Invalid partition definition" 0
check_failure "FAT16:10 300:10" "Invalid partition definition" 0

# Types by number, and the size of a partition that takes the rest.
new_image num.img 500M
pelto -w -dnum.img 'setpartitions "12:50 131:1000000"'
sfdisk_entries num.img | cut -d, -f1,3 > actual
LAST=$(($(stat -c %s num.img) / (CYL * 512) - 1))
printf '%s\n' "1 : start= 63, type=c" "2 : start= $(lba $(($(end_cylinder 0 1 50 $LAST) + 1)) 0 1), type=83" > expected
diff -u expected actual || fail "numbered types"

# The disk argument and missing disks.
pelto -w -dnum.img 'getpartitions P 1'
expect_out "Error in t.pto, line 1: Bad hard-disk number"
pelto -w -dmissing.img 'getpartitions P'
expect_out "Error in t.pto, line 1: No hard-disk found"
pelto -w -dmissing.img 'setpartitions "FAT16:10"'
expect_out "Error in t.pto, line 1: No hard-disk found"
pelto -w -dnum.img 'getpartitions'
expect_out "Error in t.pto, line 1: Variable name expected"
pelto -w -dnum.img 'getbootpart'
expect_out "Error in t.pto, line 1: Variable name expected"
pelto -w -dnum.img 'setbootpart 3'
expect_out "Error in t.pto, line 1: Bad partition number"
pelto -w -dnum.img 'setbootpart (1+'
expect_out "Error in t.pto, line 1: Bad partition number"
finish
