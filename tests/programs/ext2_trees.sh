#!/usr/bin/env bash
# Trees through archives onto ext2: a host tree restored by incrunzip onto
# an ext2 directory keeps its modes, times and link targets (read back by
# debugfs rdump); and a tree copied from the host to FAT16, from there to
# ext2 and back to another FAT16 partition of the same disk arrives
# unchanged. fsck.fat and e2fsck find nothing to fix on any partition.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 fsck.fat mcopy
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/ext2_lib.sh"
export MTOOLS_SKIP_CHECK=1
ZIPTOOL="python3 $HERE/zip_tool.py"

mkdir -p "src/Some Dir/deeper" src/empty src/many
printf 'hello\n' > src/top.txt
head -c 150000 /dev/urandom > "src/Some Dir/big.bin"
head -c 2000000 /dev/urandom > "src/Some Dir/deeper/two MB.bin"
: > "src/Some Dir/empty.txt"
for i in $(seq 1 120); do printf '%s\n' "$i" > "src/many/file number $i.txt"; done
chmod 0640 src/top.txt
chmod 0700 "src/Some Dir/deeper"
find src -exec touch -h -d '2020-01-02 03:04:06' {} +
touch -d '2018-07-08 09:10:12' "src/Some Dir/big.bin"

new_image d.img 300M
pelto -w -dd.img 'setpartitions "FAT16:60 LINUX-EXT2:80 FAT16:60"
clean 1
clean 3'
ext2_format d.img 2 -r 0 -b 1024
fat_offset() { echo $(($(ext2_start d.img "$1") * 512)); }
fat_fsck() {
    dd if=d.img of=part.img bs=512 skip="$(ext2_start d.img "$1")" count="$(ext2_size d.img "$1")" \
        status=none
    fsck.fat -n part.img > fsck.out 2>&1 || { fail "fsck.fat on $1 after $2"; sed 's/^/    | /' fsck.out; }
    rm -f part.img
}

# Host tree onto ext2 with its attributes; a link comes along.
ln -s top.txt src/link
pelto -w -dd.img 'incrzip "src" "h.000"
mkdir "{0:2}/host"
incrunzip "h.000" "{0:2}/host"
echo "done"'
grep -q 'done$' out || fail "script did not end: $(tail -c 300 out)"
refute_out "ERROR"
ext2_fsck d.img 2 "incrunzip of a host tree"
# debugfs rdump does not give links their times: the link is checked
# through debugfs stat, the rest of the tree through the copy.
dbg d.img 2 'stat /host/link' > link.out
grep -q 'Fast link dest: "top.txt"' link.out || fail "link target"
grep -q "^mtime: $(printf '0x%08x' "$(stat -c %Y src/link)")" link.out || fail "link time"
rm src/link
mkdir got
dbg d.img 2 'rdump /host got' > /dev/null
rm got/host/link
$ZIPTOOL same src got/host > same.out || { fail "restored tree differs"; head -5 same.out; }

[ "$(ext2_stat d.img 2 /host/top.txt Mode)" = "0640" ] || fail "mode of top.txt"
rm -rf got

# A link whose target is too long for the inode gets its block: xcopy and
# incrunzip make it whole, e2fsck finds nothing to mend.
long="$(printf 'z%.0s' $(seq 1 90))/target"
mkdir lsrc
ln -s "$long" lsrc/longlink
pelto -w -dd.img 'mkdir "{0:2}/links"
xcopy "lsrc" "{0:2}/links"
incrzip "lsrc" "l.000"
mkdir "{0:2}/links2"
incrunzip "l.000" "{0:2}/links2"
echo "done"'
grep -q 'done$' out || fail "long link: $(tail -c 300 out)"
ext2_fsck d.img 2 "long links"
mkdir got
dbg d.img 2 'rdump /links got' > /dev/null
dbg d.img 2 'rdump /links2 got' > /dev/null
for d in links links2; do
    [ "$(readlink "got/$d/longlink")" = "$long" ] || fail "long link target in $d"
done
rm -rf got lsrc

# Host -> FAT16 -> ext2 -> FAT16.
pelto -w -dd.img 'incrzip "src" "h2.000"
mkdir "{0:1}/tree"
incrunzip "h2.000" "{0:1}/tree"
incrzip "{0:1}/tree" "f.000"
mkdir "{0:2}/tree"
incrunzip "f.000" "{0:2}/tree"
incrzip "{0:2}/tree" "e.000"
mkdir "{0:3}/tree"
incrunzip "e.000" "{0:3}/tree"
echo "done"'
grep -q 'done$' out || fail "script did not end: $(tail -c 300 out)"
refute_out "ERROR"
fat_fsck 1 "the copy from the host"
ext2_fsck d.img 2 "the copy from FAT16"
fat_fsck 3 "the copy back from ext2"
mkdir fat1 fat3
mcopy -s -n -i "d.img@@$(fat_offset 1)" '::tree/*' fat1/ 2> /dev/null || fail "mcopy from partition 1"
mcopy -s -n -i "d.img@@$(fat_offset 3)" '::tree/*' fat3/ 2> /dev/null || fail "mcopy from partition 3"
mkdir ext
dbg d.img 2 'rdump /tree ext' > /dev/null
diff -r src fat1 > /dev/null || fail "FAT16 copy of the host tree differs"
diff -r src ext/tree > /dev/null || fail "ext2 copy of the FAT16 tree differs"
diff -r fat1 fat3 > /dev/null || fail "FAT16 copy of the ext2 tree differs"
finish
