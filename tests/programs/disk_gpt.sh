#!/usr/bin/env bash
# GUID partition tables. A sparse 3 TiB image that sgdisk partitioned (an
# ESP formatted by mkfs.fat, a basic data partition, a Linux partition
# beyond the first 2 TiB formatted by mke2fs) is listed, copied into and
# out of, archived and restored; sgdisk -v, sfdisk --verify, fsck.fat and
# e2fsck find nothing wrong afterwards. setpartitions "GPT ..." writes the
# types, alignment and fresh GUIDs asked, and getpartitions gives it back.
# A damaged primary header or array is read from the backup and put back
# by the next write; copies that disagree are refused before any write.
# The cache partition is the space behind the last entry.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs sgdisk sfdisk python3 mkfs.fat fsck.fat mcopy mdir mtype mke2fs e2fsck debugfs
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/fat_lib.sh"
source "$HERE/ext2_lib.sh"
source "$HERE/cache_lib.sh"

# sgdisk_first <image> <nr> / sgdisk_size: the partition's first sector and
# size in sectors, as sgdisk reads them.
sgdisk_first() { sgdisk -i "$2" "$1" | sed -n 's/^First sector: \([0-9]*\).*/\1/p'; }
sgdisk_size() {
    local first last
    first=$(sgdisk_first "$1" "$2")
    last=$(sgdisk -i "$2" "$1" | sed -n 's/^Last sector: \([0-9]*\).*/\1/p')
    echo $((last - first + 1))
}
# valid <image> <what>: sgdisk and sfdisk find the table sound.
valid() {
    sgdisk -v "$1" > sgdisk.out 2>&1
    if ! grep -q "No problems found" sgdisk.out || grep -qi "caution\|corrupt\|warning" sgdisk.out; then
        fail "sgdisk -v after $2"
        sed 's/^/    | /' sgdisk.out
    fi
    if ! sfdisk --verify "$1" > verify.out 2>&1 || ! grep -q "No errors detected" verify.out ||
        grep -qi "warn\|corrupt" verify.out; then
        fail "sfdisk --verify after $2"
        sed 's/^/    | /' verify.out
    fi
}
# fat_check <image> <nr> <what>: fsck.fat -n on the partition, taken out.
fat_check() {
    dd if="$1" of=part.img bs=512 skip="$(sgdisk_first "$1" "$2")" count="$(sgdisk_size "$1" "$2")" \
        conv=sparse status=none
    if ! fsck.fat -n part.img > fsck.out 2>&1 || [ "$(wc -l < fsck.out)" -gt 2 ]; then
        fail "fsck.fat on partition $2 after $3"
        sed 's/^/    | /' fsck.out | head -20
    fi
    rm -f part.img
}
# The e2fsprogs name of a partition, by sgdisk's numbers.
gdev() { echo "$1?offset=$(($(sgdisk_first "$1" "$2") * 512))"; }
e2_check() {
    e2fsck -fn "$(gdev "$1" "$2")" > fsck.out 2>&1
    local status=$?
    if [ $status -ne 0 ] || grep -qvE '^(e2fsck [0-9]|Pass [1-5]: |.*: [0-9]+/[0-9]+ files )' fsck.out; then
        fail "e2fsck on partition $2 after $3 (status $status)"
        sed 's/^/    | /' fsck.out | head -20
    fi
}
e2_same() {
    rm -f got.bin
    debugfs -R "dump \"$4\" got.bin" "$(gdev "$2" "$3")" > /dev/null 2>&1
    cmp -s "$5" got.bin || fail "$1: $4 differs"
}
# table_without_guids <image>: sgdisk -p without the disk's name and GUID.
table_without_guids() { sgdisk -p "$1" | grep -v "^Disk \|GUID"; }

# (a) A 3 TiB disk of sgdisk's making: the Linux partition starts beyond
# 2^32 sectors.
new_image big.img 3T
sgdisk -n 1:2048:+512M -t 1:EF00 -n 2:0:+64M -t 2:0700 -n 3:5000003584:+256M -t 3:8300 \
    big.img > sgdisk.out 2>&1 || { fail "sgdisk: $(cat sgdisk.out)"; finish; }
esp=$(sgdisk_first big.img 1)
mkfs.fat -F 32 -s 1 --offset "$esp" -h "$esp" big.img $(($(sgdisk_size big.img 1) / 2)) > /dev/null 2>&1 ||
    fail "mkfs.fat on the ESP"
mke2fs -q -F -t ext2 -r 0 -b 1024 -E offset=$(($(sgdisk_first big.img 3) * 512)) big.img \
    $(($(sgdisk_size big.img 3) / 2))k > mke2fs.out 2>&1 || fail "mke2fs: $(cat mke2fs.out)"
mkdir -p efi/BOOT
head -c 200000 /dev/urandom > efi/BOOT/BOOTX64.EFI
printf 'grub\n' > grub.cfg
mcopy -s -i "big.img@@$((esp * 512))" efi ::/EFI
mcopy -i "big.img@@$((esp * 512))" grub.cfg ::/grub.cfg
head -c 300000 /dev/urandom > big.bin
valid big.img "sgdisk and the formatters"

pelto -w -dbig.img 'getpartitions P
echo "[$P]"
logdir "{0:1}"
logdir "{0:1}/EFI/BOOT"
copy "big.bin" "{0:1}/Big File.bin"
copy "{0:1}/EFI/BOOT/BOOTX64.EFI" "out.efi"
copy "big.bin" "{0:3}/big.bin"
clean 2 "DATA"
copy "big.bin" "{0:2}/BIG.BIN"
fullzip "{0:1}" "esp.000"
fullzip "{0:3}" "linux.000"
echo "done"'
expect_out "done"
refute_out "Error"
refute_out "ERROR"
expect_out "[GPT ESP:512 BASIC-DATA:64 LINUX:256]"
expect_out "$(printf '%-33s%9d' 'grub.cfg' 5)"
expect_out "$(printf '%-33s%9d' 'BOOTX64.EFI' 200000)"
cmp -s efi/BOOT/BOOTX64.EFI out.efi || fail "a copy out of the ESP differs"
same_file "copy into the ESP" big.bin "big.img@@$((esp * 512))" "/Big File.bin"
e2_same "copy beyond 2 TiB" big.img 3 /big.bin big.bin
same_file "copy into a cleaned basic data partition" big.bin \
    "big.img@@$(($(sgdisk_first big.img 2) * 512))" /BIG.BIN
fat_check big.img 1 "copies into the ESP"
fat_check big.img 2 "clean of a basic data partition"
e2_check big.img 3 "a copy beyond 2 TiB"
valid big.img "copies"

# Full restores of both over what they hold.
pelto -w -dbig.img 'fullunzip "esp.000" 1
fullunzip "linux.000" 3
logdir "{0:1}/EFI/BOOT"
echo "done"'
expect_out "done"
refute_out "Error"
expect_out "$(printf '%-33s%9d' 'BOOTX64.EFI' 200000)"
same_file "fullunzip of the ESP" big.bin "big.img@@$((esp * 512))" "/Big File.bin"
same_file "fullunzip of the ESP" efi/BOOT/BOOTX64.EFI "big.img@@$((esp * 512))" /EFI/BOOT/BOOTX64.EFI
e2_same "fullunzip beyond 2 TiB" big.img 3 /big.bin big.bin
fat_check big.img 1 "fullunzip"
e2_check big.img 3 "fullunzip"
valid big.img "full restores"
# A partition of 2^32 sectors or more: the FAT and ext2 drivers, which
# count in 32 bits, refuse to format it rather than make a truncated volume.
sgdisk -n 4:1181696:5000003583 -t 4:0700 big.img > /dev/null 2>&1 || fail "sgdisk -n 4"
pelto -w -dbig.img 'clean 4'
expect_out "FAT Clean: a partition of 4998821888 sectors is too large for FAT (at most 4294967295 sectors)"
grep -qF "Clean-up failed" out || fail "clean of a partition beyond 32 bits did not fail"
sgdisk -t 4:8300 big.img > /dev/null 2>&1 || fail "sgdisk -t 4:8300"
pelto -w -dbig.img 'clean 4'
expect_out "EXT2 Clean: a partition of 4998821888 sectors is too large for ext2 (at most 4294967295)"
grep -qF "Clean-up failed" out || fail "ext2 clean of a partition beyond 32 bits did not fail"
valid big.img "refused cleans"
[ "$(du -k big.img | cut -f1)" -lt 2000000 ] || fail "the 3 TiB image is no longer sparse"
rm -f big.img esp.000 linux.000

# (b) setpartitions "GPT ..." on a blank image: sgdisk's codes, 1 MiB
# boundaries, sizes in MB, unique GUIDs.
new_image g.img 1G
pelto -w -dg.img 'setpartitions "GPT ESP:100 LINUX:200 BASIC-DATA:100 LINUX-SWAP:50"
getpartitions P
echo "[$P]"
clean 1 "EFI"
clean 2
clean 3
clean 4'
expect_out "Setting GUID partition table on hard disk 0"
expect_out "[GPT ESP:100 LINUX:200 BASIC-DATA:100 LINUX-SWAP:50]"
refute_out "ERROR"
P=$(sed -n 's/^\[\(GPT .*\)\]$/\1/p' out)
valid g.img "setpartitions GPT"
sgdisk -p g.img | awk '$1 ~ /^[0-9]+$/ {print $1, $2, $3, $6}' > layout.out
cat > layout.want << 'EOF'
1 2048 206847 EF00
2 206848 616447 8300
3 616448 821247 0700
4 821248 923647 8200
EOF
diff -u layout.want layout.out > /dev/null || { fail "setpartitions GPT layout"; diff -u layout.want layout.out; }
for n in 1 2 3 4; do sgdisk -i $n g.img | sed -n 's/^Partition unique GUID: //p'; done | sort -u > guids.out
[ "$(wc -l < guids.out)" = 4 ] || fail "partition GUIDs are not unique: $(cat guids.out)"
fat_check g.img 1 "clean of the ESP"
fat_check g.img 3 "clean of a basic data partition"
e2_check g.img 2 "clean of a Linux partition"
dd if=g.img bs=512 skip=$((821248 + 7)) count=1 status=none | grep -aq SWAP-SPACE ||
    fail "clean of a Linux swap partition"
# ext4 that mke2fs made on a Linux partition is served by the ext4 driver.
cp g.img e.img
mke2fs -q -F -t ext4 -E offset=$((206848 * 512)) e.img 204800k > mke2fs.out 2>&1 ||
    fail "mke2fs -t ext4: $(cat mke2fs.out)"
printf 'four\n' > four.txt
pelto -w -de.img 'copy "four.txt" "{0:2}/four.txt"
logdir "{0:2}"'
expect_out "$(printf '%-33s%9d' 'four.txt' 5)"
refute_out "ERROR"
e2_check e.img 2 "a copy into ext4 on a GUID partition"
e2_same "a copy into ext4 on a GUID partition" e.img 2 /four.txt four.txt
rm -f e.img

# getpartitions, fed back, recreates the layout; the other names and a
# GUID written out give the types they stand for; an empty slot stays.
new_image h.img 1G
pelto -w -dh.img "setpartitions \"$P\""
table_without_guids g.img > g.table
table_without_guids h.img > h.table
diff -u g.table h.table > /dev/null || { fail "getpartitions round trip"; diff -u g.table h.table; }
pelto -w -dh.img 'setpartitions "gpt msr:16 ntfs:10 EMPTY fat32:10 LINUX-EXT2:10 0fc63daf-8483-4772-8e79-3d69d8477de4:10 A19D880F-05FC-4D3B-A006-743F0F84911E:10"
getpartitions P
echo "[$P]"'
expect_out "[GPT MSR:16 BASIC-DATA:10 EMPTY:0 BASIC-DATA:10 LINUX:10 LINUX:10 A19D880F-05FC-4D3B-A006-743F0F84911E:10]"
valid h.img "setpartitions GPT with every name"
sgdisk -p h.img | awk '$1 ~ /^[0-9]+$/ {print $1, $6}' | tr '\n' ' ' > codes.out
[ "$(cat codes.out)" = "1 0C01 2 0700 4 0700 5 8300 6 8300 7 FD00 " ] || fail "type codes: $(cat codes.out)"
# Refusals write nothing.
cp h.img h.before
for definition in "GPT ESP:100 LINUX:2000" "GPT NOSUCH:10" "GPT ESP:0" "GPT ESP:x"; do
    pelto -w -dh.img "setpartitions \"$definition\""
    case $definition in
    *2000) message="Partitions are too big !" ;;
    *) message="Invalid partition definition" ;;
    esac
    grep -qF "line 1: $message" out || fail "setpartitions \"$definition\" did not fail with $message"
    cmp -s h.img h.before || fail "a refused setpartitions \"$definition\" changed the disk"
done
# An MBR layout replaces the GUID partition table: sgdisk finds none left.
pelto -w -dh.img 'setpartitions "FAT16:50"'
for sector in 1 $((1024 * 2048 - 1)); do
    dd if=h.img bs=512 skip=$sector count=1 status=none | grep -aq "EFI PART" &&
        fail "an MBR layout left the GPT header at sector $sector"
done
sfdisk --dump h.img 2> /dev/null | grep -q "label: dos" || fail "no MBR after setpartitions"

# (c) A damaged primary header, then a damaged primary array: read from the
# backup with a note, put back by the next write.
printf 'x\n' > x.txt
for sector in 1 2; do
    cp g.img d.img
    head -c 512 /dev/urandom | dd of=d.img bs=512 seek=$sector conv=notrunc status=none
    pelto -dd.img 'getpartitions P
echo "[$P]"
logdir "{0:1}"'
    expect_out "[GPT ESP:100 LINUX:200 BASIC-DATA:100 LINUX-SWAP:50]"
    grep -q "^Warning: hard disk 0: primary GUID partition table damaged (.*), read from the backup" out ||
        { fail "no note of the damaged primary (sector $sector)"; cat out; }
    [ "$(grep -c "primary GUID partition table damaged" out)" = 1 ] || fail "the note is not given once"
    # Without -w nothing is repaired.
    sgdisk -v d.img 2>&1 | grep -q "corrupt GPT" || fail "sector $sector was not damaged"
    pelto -w -dd.img 'copy "x.txt" "{0:1}/X.TXT"'
    expect_out "Partition table of hard disk 0 repaired"
    valid d.img "the repair of a damaged primary (sector $sector)"
    same_file "a copy that repaired the table" x.txt "d.img@@$((2048 * 512))" /X.TXT
    table_without_guids d.img > d.table
    diff -u g.table d.table > /dev/null || fail "the repaired table differs (sector $sector)"
done
cp g.img d.img
head -c 512 /dev/urandom | dd of=d.img bs=512 seek=1 conv=notrunc status=none
pelto -w -dd.img 'setpartitions "GPT LINUX:300"'
valid d.img "setpartitions on a damaged primary"
# Two sound copies that disagree (the backup names another disk): every
# selection is refused, nothing is written.
cp g.img d.img
python3 - d.img << 'PY'
import struct, sys, zlib
f = open(sys.argv[1], "r+b")
f.seek(0, 2)
last = f.tell() // 512 - 1
f.seek(last * 512)
h = bytearray(f.read(92))
h[56] ^= 0xFF
h[16:20] = b"\0\0\0\0"
h[16:20] = struct.pack("<I", zlib.crc32(bytes(h)) & 0xFFFFFFFF)
f.seek(last * 512)
f.write(h)
PY
cp d.img d.before
pelto -w -dd.img 'getpartitions P
echo "[$P]"
copy "x.txt" "{0:1}/X.TXT"'
expect_out "ERROR: Hard disk 0: GUID partition table: the primary and the backup disagree (disk GUIDs differ)"
expect_out "[]"
cmp -s d.img d.before || fail "a disk whose copies disagree was written"

# (d) The remote-file cache behind the last entry of a GUID partition
# table; a later setpartitions moves it.
mkdir r
head -c 100000 /dev/urandom > r/a.bin
new_image c.img 400M
pelto -w -dc.img 'setpartitions "GPT ESP:100"
clean 1'
COPY='set CacheAlways = "ON"
copy "r/a.bin" "{0:1}/a.bin"'
tobrend -b -w -dc.img "$COPY"
expect_out 'Downloading "r/a.bin" to the disk cache....'
cache_list c.img
grep -qxF 'r%a.bin 100000' cache.list || fail "cache does not list r%a.bin 100000"
same_file "a copy through the cache" r/a.bin "c.img@@$((2048 * 512))" /a.bin
tobrend -b -w -dc.img "$COPY"
expect_out 'Remote file "r/a.bin" found in the disk cache'
valid c.img "the cache partition's writes"
pelto -w -dc.img 'setpartitions "GPT ESP:100 LINUX:100"
clean 1'
tobrend -b -w -dc.img "$COPY"
expect_out 'Downloading "r/a.bin" to the disk cache....'
cache_list c.img
grep -qxF 'r%a.bin 100000' cache.list || fail "the moved cache does not list r%a.bin"
valid c.img "the moved cache partition's writes"
# No room behind an entry that reaches the last usable sector.
sgdisk -n 3:0:0 c.img > /dev/null 2>&1 || fail "sgdisk -n 3:0:0"
pelto -w -dc.img 'blank -1'
expect_out "ERROR: No room for a cache partition"
expect_out "Warning: attempt to blank non-existing partition -1"
finish
