#!/usr/bin/env bash
# setpartitions, getpartitions, setbootpart and getbootpart on an image:
# a chain of three extended tables is read back by sfdisk exactly as the
# layout rules place it, the active flag moves along the chain (only the
# tables on the way to the target are rewritten), and a run
# without -w leaves the image untouched.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs sfdisk partx
source "$(dirname "$0")/disk_lib.sh" "$1"

new_image disk.img 1G
LAST=$(($(stat -c %s disk.img) / (CYL * 512) - 1))
DEF="FAT16:100 EXT:400 EMPTY EMPTY LINUX-EXT2:100 EXT:250 EMPTY EMPTY LINUX-SWAP:50 EXT:150 EMPTY EMPTY FAT32:100"
SCRIPT="setpartitions \"$DEF\"
getpartitions P
echo \"[\$P]\"
getbootpart B
setbootpart 13
getbootpart B2
setbootpart 1 0
getbootpart B3 0
echo \"boot \$B \$B2 \$B3\""

# Without -w: every write is logged and skipped, the image stays as it was.
sum=$(sha256sum < disk.img)
pelto -ddisk.img "$SCRIPT"
expect_out "Setting partition table 0 on hard disk 0"
grep -qF "Disk write cancelled (default behaviour under Linux)" out || fail "no cancelled write logged"
[ "$(sha256sum < disk.img)" = "$sum" ] || fail "image changed without -w"

# Expected layout, table by table.
e1=$(end_cylinder 0 1 100 $LAST)                    # FAT16
e2=$(end_cylinder $((e1 + 1)) 0 400 $LAST)          # EXT
e3=$(end_cylinder $((e1 + 1)) 1 100 $e2)            # LINUX-EXT2 (partition 5)
e4=$(end_cylinder $((e3 + 1)) 0 250 $e2)            # EXT (partition 6)
e5=$(end_cylinder $((e3 + 1)) 1 50 $e4)             # LINUX-SWAP (partition 9)
e6=$(end_cylinder $((e5 + 1)) 0 150 $e4)            # EXT (partition 10)
e7=$(end_cylinder $((e5 + 1)) 1 100 $e6)            # FAT32 (partition 13)
size() { echo $(($(lba $3 $((HEADS - 1)) $SECTORS) - $(lba $1 $2 1) + 1)); }
mb() { echo $((($(size "$@") + 1024) / 2048)); }

pelto -w -ddisk.img "$SCRIPT"
for t in 0 2 6 10; do expect_out "Setting partition table $t on hard disk 0"; done
expect_out "[FAT16:$(mb 0 1 $e1) EXT:$(mb $((e1 + 1)) 0 $e2) EMPTY:0 EMPTY:0 LINUX-EXT2:$(mb $((e1 + 1)) 1 $e3) EXT:$(mb $((e3 + 1)) 0 $e4) EMPTY:0 EMPTY:0 LINUX-SWAP:$(mb $((e3 + 1)) 1 $e5) EXT:$(mb $((e5 + 1)) 0 $e6) EMPTY:0 EMPTY:0 FAT32:$(mb $((e5 + 1)) 1 $e7)]"
expect_out "boot 0 13 1"

cat > expected <<EOT
$(entry_line 1 $(lba 0 1 1) $(size 0 1 $e1) 4 bootable)
$(entry_line 2 $(lba $((e1 + 1)) 0 1) $(size $((e1 + 1)) 0 $e2) 5)
$(entry_line 5 $(lba $((e1 + 1)) 1 1) $(size $((e1 + 1)) 1 $e3) 83)
$(entry_line 6 $(lba $((e3 + 1)) 1 1) $(size $((e3 + 1)) 1 $e5) 82)
$(entry_line 7 $(lba $((e5 + 1)) 1 1) $(size $((e5 + 1)) 1 $e7) b bootable)
EOT
sfdisk_entries disk.img > actual
diff -u expected actual || fail "sfdisk reads another layout"
# The kernel-style reader (libblkid) sees the same chain.
partx -g -o NR,START,SECTORS disk.img | tr -s ' ' | sed 's/^ //' > actual
printf '%s\n' "1 $(lba 0 1 1) $(size 0 1 $e1)" "2 $(lba $((e1 + 1)) 0 1) $(size $((e1 + 1)) 0 $e2)" \
    "5 $(lba $((e1 + 1)) 1 1) $(size $((e1 + 1)) 1 $e3)" "6 $(lba $((e3 + 1)) 1 1) $(size $((e3 + 1)) 1 $e5)" \
    "7 $(lba $((e5 + 1)) 1 1) $(size $((e5 + 1)) 1 $e7)" > expected
diff -u expected actual || fail "partx reads another layout"

# A new layout clears every active flag.
pelto -w -ddisk.img 'setpartitions "LINUX-EXT2:300 LINUX-SWAP:100"
getbootpart B
echo "boot $B"'
expect_out "boot 0"
sfdisk_entries disk.img > actual
printf '%s\n' "$(entry_line 1 $(lba 0 1 1) $(size 0 1 $(end_cylinder 0 1 300 $LAST)) 83)" > expected
e=$(end_cylinder 0 1 300 $LAST)
printf '%s\n' "$(entry_line 2 $(lba $((e + 1)) 0 1) $(size $((e + 1)) 0 $(end_cylinder $((e + 1)) 0 100 $LAST)) 82)" >> expected
diff -u expected actual || fail "second layout differs"
finish
