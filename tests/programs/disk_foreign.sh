#!/usr/bin/env bash
# A disk that other tools partitioned and formatted: sfdisk's MBR (C/H/S
# fields packed for 255 heads, partitions on 1 MiB boundaries, an extended
# partition whose logical partitions each have a table of their own) is
# read by its 32-bit fields. On a FAT32 primary (mkfs.fat), an ext2 primary
# (mke2fs), an ext2 logical (our quick format) and a FAT16 logical (mkfs.fat)
# the program lists, copies in and out, archives and restores; afterwards
# sfdisk --verify, fsck.fat -n and e2fsck -fn find nothing to fix and the
# tables are byte for byte as sfdisk wrote them. Then the same disk as a
# loop device given to -d, where the machine lets the test attach one.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs sfdisk python3 mkfs.fat mcopy mdir mtype mke2fs e2fsck debugfs
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/fat_lib.sh"
source "$HERE/ext2_lib.sh"

# Partitions by sfdisk's numbers (1, 2 primary; 5, 6 logical) and by the
# program's (logical partitions count 4 to a table: 5, then 9).
new_image d.img 400M
sfdisk -q d.img > sfdisk.out 2>&1 <<'LAYOUT' || fail "sfdisk: $(cat sfdisk.out)"
label: dos
start=2048, size=100MiB, type=c
size=60MiB, type=83
type=5
size=40MiB, type=83
size=60MiB, type=6
LAYOUT

# tables <image>: every table sector of the chain (offset 446 on), by sector.
tables() {
    python3 - "$1" << 'PY'
import struct, sys
f = open(sys.argv[1], "rb")
def sector(n):
    f.seek(n * 512)
    return f.read(512)
def link(s, base):
    for i in range(4):
        e = s[446 + 16 * i:462 + 16 * i]
        if e[4] in (0x05, 0x0F):
            return base + struct.unpack("<I", e[8:12])[0]
    return None
mbr = sector(0)
print(0, mbr[446:].hex())
outer = link(mbr, 0)
at, seen = outer, set()
while at and at not in seen:
    seen.add(at)
    s = sector(at)
    print(at, s[446:].hex())
    at = link(s, outer)
PY
}
# verify <what>: sfdisk finds the tables sound and as they were written.
verify() {
    if ! sfdisk --verify d.img > verify.out 2>&1 || ! grep -q "No errors detected" verify.out; then
        fail "sfdisk --verify after $1"
        sed 's/^/    | /' verify.out
    fi
    tables d.img > tables.now
    diff -u tables.sfdisk tables.now > /dev/null || fail "a partition table changed in $1"
}

# The C/H/S fields disagree with the image geometry (64 x 63): the first
# partition starts at sector 2048, which sfdisk packs as head 32, sector 33.
tables d.img > tables.sfdisk
[ "$(sed -n 1p tables.sfdisk | cut -c3-10)" = "00202100" ] ||
    fail "sfdisk packed another location: $(sed -n 1p tables.sfdisk)"
# format_fat <sfdisk number> <hidden sectors> <mkfs.fat options...>
format_fat() {
    local nr=$1 hidden=$2
    shift 2
    mkfs.fat "$@" --offset "$(part_start d.img "$nr")" -h "$hidden" d.img \
        $(($(part_size d.img "$nr") / 2)) > /dev/null 2>&1 || fail "mkfs.fat $*"
}
format_fat 1 "$(part_start d.img 1)" -F 32 -s 1
format_fat 6 2048 -F 16 # a logical partition counts from its own table
ext2_format d.img 2 -r 0 -b 1024
m1=$(mt d.img 1) m6=$(mt d.img 6)
head -c 300000 /dev/urandom > big.bin
printf 'small\n' > small.txt
printf 'one\n' > one.txt
printf 'six\n' > six.txt
mcopy -i "$m1" one.txt ::/FROM.TXT
mcopy -i "$m6" six.txt ::/FROM.TXT

pelto -w -dd.img 'getpartitions P
echo "[$P]"
copy "big.bin" "{0:1}/Big File.bin"
copy "small.txt" "{0:9}/SMALL.TXT"
copy "small.txt" "{0:2}/small.txt"
copy "{0:1}/FROM.TXT" "from1.txt"
copy "{0:9}/FROM.TXT" "from9.txt"
logdir "{0:1}"
logdir "{0:9}"
clean 5
copy "big.bin" "{0:5}/big.bin"
copy "{0:5}/big.bin" "back5.bin"
fullzip "{0:1}" "p1.000"
fullzip "{0:2}" "p2.000"
fullzip "{0:9}" "p9.000"
echo "done"'
expect_out "done"
refute_out "Error"
refute_out "ERROR"
grep -qxE '\[FAT32-LBA:100 LINUX-EXT2:60 EXT:239 EMPTY:0 LINUX-EXT2:40 EXT:[0-9]+ EMPTY:0 EMPTY:0 BIGDOS:60\]' out ||
    { fail "getpartitions"; grep '^\[' out; }
expect_out "$(printf '%-33s%9d' 'Big File.bin' 300000)"
expect_out "$(printf '%-33s%9d' 'SMALL.TXT' 6)"
cmp -s one.txt from1.txt || fail "FROM.TXT of partition 1 reads differently"
cmp -s six.txt from9.txt || fail "FROM.TXT of partition 9 (sfdisk's 6) reads differently"
cmp -s big.bin back5.bin || fail "a copy through the quick-formatted logical partition differs"
same_file "copy in" big.bin "$m1" "/Big File.bin"
same_file "copy in" small.txt "$m6" /SMALL.TXT
fsck_part d.img 1 "copies into an sfdisk partition"
fsck_part d.img 6 "copies into an sfdisk logical partition"
ext2_fsck d.img 2 "a copy into an sfdisk partition"
ext2_same "copy in" small.txt d.img 2 /small.txt
ext2_fsck d.img 5 "clean of an sfdisk logical partition"
ext2_same "clean and copy" big.bin d.img 5 /big.bin
verify "copies and quick format"

# Full restores write inside the partitions and nowhere else.
pelto -w -dd.img 'fullunzip "p9.000" 9
fullunzip "p2.000" 2
fullunzip "p1.000" 1'
[ "$(grep -c 'FAT Unzip: Done !' out)" -eq 2 ] || { fail "FAT fullunzip"; cat out; }
refute_out "Error"
fsck_part d.img 1 "fullunzip onto an sfdisk partition"
fsck_part d.img 6 "fullunzip onto an sfdisk logical partition"
ext2_fsck d.img 2 "fullunzip onto an sfdisk partition"
ext2_fsck d.img 5 "fullunzips of its neighbours"
same_file "fullunzip" big.bin "$m1" "/Big File.bin"
same_file "fullunzip" one.txt "$m1" /FROM.TXT
same_file "fullunzip" small.txt "$m6" /SMALL.TXT
same_file "fullunzip" six.txt "$m6" /FROM.TXT
ext2_same "fullunzip" small.txt d.img 2 /small.txt
ext2_same "fullunzip of a neighbour" big.bin d.img 5 /big.bin
verify "full restores"

# The disk as a loop device: only one that this test attaches to its own
# image, detached at the end.
LOOP=""
detach() { [ -n "$LOOP" ] && losetup -d "$LOOP" 2> /dev/null; LOOP=""; }
trap 'detach; rm -rf "$WORK"' EXIT
if ! command -v losetup > /dev/null; then
    echo "SKIP: loop device part: losetup is not installed"
elif ! LOOP=$(losetup --find --show d.img 2> losetup.err); then
    LOOP=""
    echo "SKIP: loop device part: this machine does not let the test attach one ($(head -1 losetup.err))"
else
    case $LOOP in /dev/loop[0-9]*) ;; *) fail "losetup gave $LOOP"; LOOP="" ;; esac
fi
if [ -n "$LOOP" ]; then
    printf 'loop\n' > loop.txt
    pelto -w -d"$LOOP" 'logdir "{0:1}"
copy "{0:1}/Big File.bin" "loop-out.bin"
copy "loop.txt" "{0:9}/LOOP.TXT"
copy "loop.txt" "{0:2}/loop.txt"
fullzip "{0:9}" "loop9.000"
fullunzip "p1.000" 1
echo "done"'
    expect_out "done"
    refute_out "invalid disk"
    refute_out "Error"
    expect_out "$(printf '%-33s%9d' 'Big File.bin' 300000)"
    detach
    cmp -s big.bin loop-out.bin || fail "a copy out of the loop device differs"
    same_file "loop device" loop.txt "$m6" /LOOP.TXT
    same_file "loop device, fullunzip" big.bin "$m1" "/Big File.bin"
    ext2_same "loop device" loop.txt d.img 2 /loop.txt
    fsck_part d.img 1 "fullunzip through a loop device"
    fsck_part d.img 6 "a copy through a loop device"
    ext2_fsck d.img 2 "a copy through a loop device"
    verify "writes through a loop device"
    [ -s loop9.000 ] || fail "no archive from the loop device"
fi
finish
