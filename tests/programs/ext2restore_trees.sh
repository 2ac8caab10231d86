#!/usr/bin/env bash
# Quick format and full restore of ext2 partitions of an image, checked
# with independent tools: e2fsck finds nothing to fix, dumpe2fs shows the
# planned geometry, labels and identifier bytes, debugfs shows the restored
# tree with its attributes, inode numbers and block placement. Archives
# come from pelto's fullzip of host trees, from the independent writer
# arctool.py, and from an ext2 partition made by mke2fs.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mke2fs e2fsck debugfs dumpe2fs
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
ZIPTOOL="$HERE/zip_tool.py"
ARCTOOL="$HERE/../archive/arctool.py"
export TZ=UTC

part_field() { sfdisk_entries "$1" | sed -n "s/^$2 : .*$3= *\([0-9]*\).*/\1/p"; }
part_start() { part_field "$1" "$2" start; }
part_size() { part_field "$1" "$2" size; }
# part_img <nr>: partition nr of disk.img copied to p<nr>.img.
part_img() {
    dd if=disk.img of="p$1.img" bs=512 skip="$(part_start disk.img "$1")" \
        count="$(part_size disk.img "$1")" conv=sparse status=none
}
# fsck_ext2 <nr> <what>: e2fsck -fn finds nothing to fix.
fsck_ext2() {
    part_img "$1"
    e2fsck -fn "p$1.img" > fsck.out 2>&1 || { fail "e2fsck after $2"; sed 's/^/    | /' fsck.out | head -30; }
}
# field <nr> <dumpe2fs header field>
field() { dumpe2fs -h "p$1.img" 2> /dev/null | sed -n "s/^$2: *//p"; }
expect_field() {
    local got
    got=$(field "$1" "$2")
    [ "$got" = "$3" ] || fail "$4: $2 is '$got', expected '$3'"
}
# magic_at <nr> <block>: the superblock magic of a copy at that 1 KB block.
magic_at() { od -A n -t x2 -j $(($2 * 1024 + 56)) -N 2 "p$1.img" | tr -d ' '; }
dbg() { debugfs -R "$2" "p$1.img" 2> /dev/null; }

# Exact partition sizes: 204800 sectors (13 groups), 16586 (a last group
# of 100 blocks, dropped), 400000 for the restores, 61440 for the source.
new_image disk.img 340M
python3 - disk.img 2048:204800 206848:16586 225280:400000 626688:61440 << 'PY'
import struct, sys
def chs(lba):  # in the image geometry: 64 heads, 63 sectors
    c, h, s = lba // (64 * 63), lba // 63 % 64, lba % 63 + 1
    return bytes([h, s | (c >> 8 & 3) << 6, c & 0xFF])
with open(sys.argv[1], "r+b") as f:
    mbr = bytearray(512)
    for i, part in enumerate(sys.argv[2:]):
        start, size = map(int, part.split(":"))
        mbr[446 + 16 * i:462 + 16 * i] = (b"\0" + chs(start) + b"\x83" + chs(start + size - 1)
                                          + struct.pack("<II", start, size))
    mbr[510:512] = b"\x55\xaa"
    f.write(mbr)
PY

# Quick format: the geometry, the free counts, labels and the copies.
pelto -w -ddisk.img 'clean 1
clean 2 "ABCDEFGHIJKLMNOPQRSTUV"'
expect_out "Cleaning partition 1 (type LINUX-EXT2)"
fsck_ext2 1 "clean of 100 MB"
fsck_ext2 2 "clean with a dropped last group"
while IFS='|' read -r nr what want; do
    expect_field "$nr" "$what" "$want" "clean of partition $nr"
done << 'EOF'
1|Block count|102400
1|Inode count|25688
1|Inodes per group|1976
1|Blocks per group|8192
1|Free blocks|99135
1|Free inodes|25678
1|Filesystem volume name|<none>
1|Filesystem UUID|5645534b-4c4f-5280-0100-000000000000
1|Filesystem revision #|0 (original)
1|Filesystem state|clean
2|Block count|8193
2|Inode count|2048
2|Free blocks|7931
2|Free inodes|2038
2|Filesystem volume name|ABCDEFGHIJKLMNOP
EOF
[ "$(dumpe2fs p1.img 2> /dev/null | grep -c '^Group ')" = 13 ] || fail "partition 1 should have 13 groups"
[ "$(dumpe2fs p2.img 2> /dev/null | grep -c '^Group ')" = 1 ] || fail "partition 2 should have 1 group"
[ "$(dbg 1 'bmap <2> 0')" = 252 ] || fail "the root block should follow group 0's metadata"
[ "$(magic_at 1 8193)" = 0000 ] || fail "EXT2-Backup off wrote a superblock copy"
pelto -w -ddisk.img 'set EXT2-Backup = "on"
clean 1 "BACKED"'
fsck_ext2 1 "clean with copies"
for b in 8193 $((12 * 8192 + 1)); do
    [ "$(magic_at 1 $b)" = ef53 ] || fail "no superblock copy at block $b"
done
e2fsck -fn -b 8193 -B 1024 p1.img > fsck.out 2>&1 || { fail "e2fsck from the copy"; head -20 fsck.out; }
expect_field 1 "Filesystem volume name" BACKED "clean with a label"

# A tree with every kind of entry: block maps with single, double and
# triple indirect blocks, a directory of several blocks with an indirect
# block, fast and slow links, a FIFO, device nodes, modes, owners, times,
# 60 levels of nesting.
rm -rf tree && mkdir -p tree/empty tree/many tree/docs/sub
(cd tree && mkdir -p $(printf 'd%.0s/' $(seq 1 60)))
printf 'deep\n' > "tree/$(printf 'd%.0s/' $(seq 1 60))leaf.txt"
for n in 0 1 1024 12288 12289 275456 275457; do head -c $n /dev/urandom > tree/size_$n; done
head -c 70000000 /dev/urandom > tree/docs/triple.bin
for n in $(seq 1 600); do printf '%s' "$n" > "tree/many/a file with number $n"; done
: > "tree/docs/sub/an empty file"
ln -s size_1 tree/fastlink
ln -s "$(printf 'target%.0s' $(seq 1 20))" tree/slowlink
mkfifo tree/fifo
mknod tree/chardev c 1 3
mknod tree/blockdev b 7 5
chmod 4755 tree/size_1
chmod 600 tree/size_0
chmod 1777 tree/empty
chown 1234:5678 tree/size_1024
find tree -exec touch -h -d '2019-06-15 13:45:22' {} +
touch -d '2001-02-03 04:05:06' tree/docs/sub
cp -a tree want && chmod u-s want/size_1 && chmod -t want/empty

# dump <nr> <dir>: the tree of partition nr as debugfs dumps it, with the
# times of the links as debugfs shows them (its dump leaves them out).
dump() {
    rm -rf "$2" && mkdir "$2"
    debugfs -R "rdump / $2" "p$1.img" > /dev/null 2>&1
    (cd "$2" && find . -type l | cut -c2-) > links
    sed 's/^/stat /' links | debugfs -f - "p$1.img" 2> /dev/null |
        sed -n 's/^ *mtime: \(0x[0-9a-f]*\).*/\1/p' | paste -d ' ' - links |
        while read -r time path; do touch -h -d @$((time)) "$2$path"; done
}
# restored <nr> <tree> <what>: e2fsck is satisfied, and the dumped tree
# holds the same names, kinds, modes, times, contents and link targets
# (debugfs leaves out the nodes and the set-id and sticky bits: they are
# checked one by one below).
restored() {
    fsck_ext2 "$1" "$3"
    dump "$1" got
    python3 "$ZIPTOOL" same "$2" got -fifo -chardev -blockdev > same.out ||
        { fail "tree after $3"; head -20 same.out; }
}

# From pelto's fullzip of the host tree.
pelto -w -ddisk.img 'fullzip "tree" "tree.000"
fullunzip "tree.000" 3'
expect_out "Restoring full archive tree.000 to partition 3 (type LINUX-EXT2)"
expect_out "EXT2 Unzip: Done !"
expect_out "EXT2 Unzip warning: Boot sector will NOT be cleaned"
refute_out "Unzip failed"
restored 3 want "restore of a host tree"
expect_field 3 "Filesystem volume name" VESKLOR "restore"
expect_field 3 "Filesystem UUID" 5645534b-4c4f-5280-0300-000000000000 "restore"
# The restored volume is clean, so the driver writes to it.
pelto -w -ddisk.img 'copy "tree/size_1024" "{0:3}/docs/copied"'
fsck_ext2 3 "a copy onto the restored volume"
cmp -s tree/size_1024 <(dbg 3 'cat /docs/copied') || fail "the copy onto the restored volume"
dbg 3 'stat /chardev' | grep -q 'Type: character special' || fail "chardev is no character device"
dbg 3 'stat /chardev' | grep -q 'Device major/minor number: 01:03' || fail "chardev number"
dbg 3 'stat /blockdev' | grep -q 'Device major/minor number: 07:05' || fail "blockdev number"
dbg 3 'stat /fifo' | grep -q 'Type: FIFO' || fail "fifo is no FIFO"
dbg 3 'stat /size_1024' | grep -q 'User:  1234   Group:  5678' || fail "owner of size_1024"
dbg 3 'stat /fastlink' | grep -q 'Fast link dest: "size_1"' || fail "fast link"
dbg 3 'stat /empty' | grep -q 'Mode:  01777' || fail "mode of empty"
dbg 3 'stat /size_1' | grep -q 'Mode:  04755' || fail "mode of size_1"
dbg 3 'stat /docs/sub' | grep -q 'mtime: .* Sat Feb  3 04:05:06 2001' || fail "time of docs/sub"
# Numbering: the root 2, its first subdirectory (d) 11, the first file
# (blockdev, the first file of the root) right after the directories.
dirs=$(find tree -type d | wc -l)
dbg 3 'ls -l /' > ls.out
grep -q "^ *2 .* \.$" ls.out || fail "the root is not inode 2"
grep -q "^ *11 .* d$" ls.out || fail "d is not inode 11"
grep -q "^ *$((10 + dirs)) .* blockdev$" ls.out || fail "blockdev is not inode $((10 + dirs))"
# Placement: the root's block first in group 0's data area (behind 254
# blocks of metadata), the first subdirectory right behind it.
[ "$(dbg 3 'bmap <2> 0')" = 255 ] || fail "the root's block is not 255"
[ "$(dbg 3 'bmap <11> 0')" = 256 ] || fail "d's block is not 256"
# A file's run starts with its indirect block.
ind=$(dbg 3 'stat /size_12289' | sed -n 's/.*(IND):\([0-9]*\).*/\1/p')
[ "$(dbg 3 'bmap /size_12289 0')" = $((ind + 1)) ] || fail "size_12289 does not follow its indirect block"

# More directories than group 0 has inodes (1976), then files: inodes,
# directory counts and bitmaps of several groups.
rm -rf wide && mkdir wide && (cd wide && seq -f 'dir%g' 1 2100 | xargs mkdir && seq -f 'f%g' 1 1500 | xargs touch)
pelto -w -ddisk.img 'fullzip "wide" "wide.000"
fullunzip "wide.000" 1'
expect_out "EXT2 Unzip: Done !"
fsck_ext2 1 "restore of 2100 directories"
expect_field 1 "Free inodes" $((25688 - 10 - 2100 - 1500)) "restore of 2100 directories"
# Read whole (no grep -q): with pipefail, dumpe2fs writing on after grep
# has found the line and left would fail the check.
dumpe2fs p1.img 2> /dev/null > groups.out
grep -q ' 342 free inodes, 134 directories' groups.out ||
    fail "group 1 should hold 134 directories and 342 free inodes"

# The same tree through the independent writer.
python3 "$ZIPTOOL" full tree > tree.desc && python3 "$ARCTOOL" write tree.desc ind.000 30000000 ||
    fail "cannot write ind.000"
pelto -w -ddisk.img 'fullunzip "ind.000" 3'
expect_out "EXT2 Unzip: Done !"
restored 3 want "restore of an archive by arctool.py"

# An ext2 partition made by mke2fs, archived by pelto and restored onto
# another partition: the same tree, and its boot area.
rm -rf small && mkdir -p small/a/b small/c
printf 'one' > small/a/b/one.txt
head -c 300000 /dev/urandom > small/c/data.bin
ln -s a/b/one.txt small/link
ln -s "$(printf 'long%.0s' $(seq 1 30))" small/slowlink
mke2fs -q -F -t ext2 -r 0 -d small p4.img 30720 > /dev/null 2>&1 || fail "mke2fs"
printf 'BOOTCODE' | dd of=p4.img conv=notrunc status=none
dd if=p4.img of=disk.img bs=512 seek="$(part_start disk.img 4)" conv=notrunc,sparse status=none
pelto -w -ddisk.img 'fullzip "{0:4}" "e2.000"
fullunzip "e2.000" 3'
expect_out "EXT2 Unzip: Extracting boot area..."
expect_out "EXT2 Unzip: Done !"
part_img 4
dump 4 source
restored 3 source "restore of an archived ext2 partition"
part_img 3
[ "$(head -c 8 p3.img)" = BOOTCODE ] || fail "the boot area was not restored"
finish
