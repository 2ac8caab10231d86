#!/usr/bin/env bash
# Reading what mke2fs -d built: revision 0 with 1 KB blocks (a volume that
# ends one block into its last group) and 4 KB blocks, and revision 1 with
# its default features and 256-byte inodes. Every file reads back byte for
# byte, names in ISO-8859-1 come back in the PC code page, and fullzip of
# each volume gives the same contents as the tree (checked with the
# independent archive reader). The revision-1 volume refuses every write
# and stays unchanged; on revision 0 removing a name of a file with two
# names, links and a FIFO keeps e2fsck content. A journalled volume is
# read but not written; one with extents is not the ext2 driver's (the
# ext4 driver reads it).
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mke2fs dumpe2fs
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/ext2_lib.sh"
ARCTOOL="python3 $HERE/../archive/arctool.py"
ZIPTOOL="python3 $HERE/zip_tool.py"

e=$(printf '\xe9') # ISO-8859-1 e acute, 0x82 in the PC code page
mkdir -p src/dir/sub src/empty
printf 'hello\n' > src/top.txt
head -c 5000000 /dev/urandom > src/dir/five.bin
head -c 70000 /dev/urandom > src/dir/sub/seventy.bin
head -c 1024 /dev/urandom > src/dir/sub/block.bin
: > src/dir/empty.txt
printf 'caf\xe9' > "src/caf$e.txt"
ln -s top.txt src/fast
ln -s "$(printf 'y%.0s' $(seq 1 80))" src/dir/slow
mkfifo src/fifo
ln src/top.txt src/hard.txt
files=$(cd src && find . -type f ! -name 'caf*' | sed 's|^\./||' | sort)

ext2_disk d.img 200M 40 40 40
# Partition 1's volume ends one block into its last group.
mke2fs -q -F -t ext2 -r 0 -b 1024 -d src -E offset=$(($(ext2_start d.img 1) * 512)) d.img 40961k ||
    fail "mke2fs of 40961 blocks"
ext2_format d.img 2 -r 0 -b 4096 -d src
ext2_format d.img 3 -I 256 -d src
dumpe2fs -h "$(ext2_dev d.img 3)" 2> /dev/null | grep -q "Inode size:.*256" || fail "no 256-byte inodes"
# The host tree's contents as an archive holds them: a link target kept
# in blocks comes with the zero byte after it.
$ZIPTOOL full src | grep '^data' | sed 's/^\(data \(79\)\{80\}\)$/\100/' > host.data

for nr in 1 2 3; do
    p="{0:$nr}"
    script=""
    for f in $files; do script+="copy \"$p/$f\" \"got$nr/$f\""$'\n'; done
    mkdir -p "got$nr/dir/sub" "got$nr/empty"
    # Script names are in the PC code page; the console shows ISO-8859-1.
    pelto -w -dd.img "${script}copy \"$p/caf$(printf '\x82').txt\" \"got$nr/cafe.txt\"
logdir \"$p\"
logtree \"$p\"
fullzip \"$p\" \"a$nr.000\"
echo \"done\""
    expect_out "done"
    refute_out "ERROR"
    expect_out "$(printf '%-33s%9d' "caf$e.txt" 4)"
    cmp -s "src/caf$e.txt" "got$nr/cafe.txt" || fail "part $nr: caf$e.txt read back differs"
    expect_out "$(printf '%-33s%9d' fifo 0)"
    expect_out "$(printf '%-33s%9d' fast 0)"
    expect_out "| +-sub"
    for f in $files; do cmp -s "src/$f" "got$nr/$f" || fail "part $nr: $f read back differs"; done
    $ARCTOOL read "a$nr.000" > "a$nr.desc" || fail "part $nr: archive unreadable"
    [ "$(sed -n 2p "a$nr.desc" | cut -c8-15,32-39)" = "4558543256000000" ] ||
        fail "part $nr: archive header $(sed -n 2p "a$nr.desc")"
    grep '^data' "a$nr.desc" | cmp -s - host.data || fail "part $nr: archived contents differ"
    $ZIPTOOL names "a$nr.desc" > "names$nr"
done
cmp -s names1 names2 && cmp -s names1 names3 || fail "the three volumes list differently"
grep -qx "F dir/slow 81" names1 || fail "slow link size"

# The batch program reads ext2 too (it waits after its script: the last
# line fails on purpose and ends it).
printf 'copy "{0:3}/dir/sub/seventy.bin" "tob.out"\nno-such-command\n' > t.tbr
timeout -s KILL 60 "$BIN/tobrend" -b -dd.img t < /dev/null > /dev/null 2>&1
cmp -s src/dir/sub/seventy.bin tob.out || fail "tobrend cannot read the revision-1 volume"

# Revision 1 with its features: every write is refused, nothing changes.
sum=$(md5sum < d.img)
for cmd in "copy \"src/top.txt\" \"{0:3}/new.txt\"" "copy \"src/top.txt\" \"{0:3}/top.txt\"" \
    "mkdir \"{0:3}/newdir\"" "delete \"{0:3}/top.txt\"" "deltree \"{0:3}/dir\""; do
    pelto -w -dd.img "$cmd"
    expect_out "EXT2 ERROR: Volume not written: it uses file system features this driver does not maintain"
    refute_out "Disk write"
done
[ "$(md5sum < d.img)" = "$sum" ] || fail "a refused write changed the image"
ext2_fsck d.img 3 "refused writes"

# Revision 0: one of two names goes, the file stays with one link; links
# and a FIFO are removed without touching blocks they do not own.
pelto -w -dd.img 'delete "{0:1}/hard.txt"
delete "{0:1}/fast"
delete "{0:1}/dir/slow"
delete "{0:1}/fifo"
echo "done"'
expect_out "done"
[ "$(ext2_stat d.img 1 /top.txt Links)" = 1 ] || fail "top.txt links after removing hard.txt"
ext2_same "second name removed" src/top.txt d.img 1 /top.txt
ext2_fsck d.img 1 "removing links"
# A PC character without an ISO-8859-1 equivalent would not read back.
pelto -w -dd.img "copy \"src/top.txt\" \"{0:1}/a$(printf '\x9f')b\""
expect_out "EXT2 ERROR: Name has characters that cannot be stored"
# A journalled volume reads but is not written; extents are left to the
# ext4 driver.
ext2_format d.img 3 -O has_journal -d src
pelto -w -dd.img 'copy "{0:3}/dir/five.bin" "five.out"
copy "src/top.txt" "{0:3}/new.txt"'
cmp -s src/dir/five.bin five.out || fail "ext3: five.bin read back differs"
expect_out "EXT2 ERROR: Volume not written: it uses file system features this driver does not maintain"
ext2_format d.img 3 -O extent -d src
pelto -dd.img 'logdir "{0:3}"'
refute_out "EXT2 ERROR: Superblock refused"
grep -qF "top.txt" out || fail "the volume with extents was not listed"
finish
