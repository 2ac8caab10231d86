#!/usr/bin/env bash
# File commands on revision-0 ext2 volumes made by mke2fs, with 1 KB and
# 4 KB blocks: nested directories, files of awkward sizes, a 10 MB file
# through the double indirect block and a 68 MB one through the triple,
# a directory grown past one block, overwrites larger and smaller, delete
# and deltree down to an empty volume, a file too large for the volume. After each step e2fsck -fn finds nothing to fix; debugfs reads
# back names, modes, links, block counts and contents. Writes that do not
# fit, on FAT16, ext2 and ext4: "disk full" and nothing half-made left.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 e2fsck debugfs dumpe2fs
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/ext2_lib.sh"

ext2_disk d.img 220M 60 60 80
ext2_format d.img 1 -r 0 -b 1024
ext2_format d.img 2 -r 0 -b 4096
ext2_format d.img 3 -r 0 -b 1024
head -c 10485760 /dev/urandom > ten.bin
head -c 100000 /dev/urandom > big.bin
head -c 250000 /dev/urandom > bigger.bin
head -c 4096 /dev/urandom > exact.bin
printf 'x' > one.bin
: > empty
printf 'hello ext2\n' > small.txt
printf 'name=${Basename};\n' > tpl.txt
today=$(date +%-d-%b-%Y)

for nr in 1 2; do
    p="{0:$nr}"
    B=$((nr == 1 ? 1024 : 4096))
    free0=$(ext2_free d.img $nr)
    pelto -w -dd.img "mkdir \"$p/Some Dir/sub dir/deeper\"
copy \"small.txt\" \"$p/Some Dir/sub dir/deeper/a file with a long name.txt\"
copy \"ten.bin\" \"$p/ten.bin\"
copy \"big.bin\" \"$p/BIG.BIN\"
copy \"one.bin\" \"$p/Some Dir/lower.bin\"
copy \"empty\" \"$p/Some Dir/Empty File\"
copy \"exact.bin\" \"$p/exact block.bin\"
append \"small.txt\" \"one.bin\" \"$p/Some Dir/appended.txt\"
patch \"tpl.txt\" \"$p/patched.cfg\"
logdir \"$p/Some Dir/*.bin\"
logtree \"$p\"
echo \"done\""
    expect_out "done"
    expect_out "$(printf '%-33s%9d' lower.bin 1)"
    expect_out "+-Some Dir"
    expect_out "| +-sub dir"
    expect_out "| | +-deeper"
    refute_out "ERROR"
    # Names compare with their case.
    pelto -dd.img "logdir \"$p/some dir/*.bin\""
    expect_out "Error in t.pto, line 1: Cannot open directory"
    ext2_fsck d.img $nr "writing files"
    # EXT2-Backup is off by default: the copy in group 1 is as mke2fs left it.
    [ $nr = 1 ] && [ "$(dumpe2fs -o superblock=8193 -o blocksize=1024 -h "$(ext2_dev d.img 1)" \
        2> /dev/null | sed -n 's/^Free blocks: *//p')" = "${free0%% *}" ] ||
        [ $nr = 2 ] || fail "the backup superblock was written"
    ext2_same "part $nr" small.txt d.img $nr "/Some Dir/sub dir/deeper/a file with a long name.txt"
    ext2_same "part $nr" ten.bin d.img $nr /ten.bin
    ext2_same "part $nr" big.bin d.img $nr /BIG.BIN
    ext2_same "part $nr" one.bin d.img $nr "/Some Dir/lower.bin"
    ext2_same "part $nr" empty d.img $nr "/Some Dir/Empty File"
    ext2_same "part $nr" exact.bin d.img $nr "/exact block.bin"
    cat small.txt one.bin > appended
    ext2_same "part $nr" appended d.img $nr "/Some Dir/appended.txt"
    printf 'name=t;\n' > patched
    ext2_same "part $nr" patched d.img $nr /patched.cfg
    # Sectors of the 10 MB file: its data, the single indirect block, the
    # double indirect block and its second-level blocks.
    P=$((B / 4)) n=$((10485760 / B))
    blocks=$((n + 1 + 1 + (n - 12 - P + P - 1) / P))
    [ "$(ext2_stat d.img $nr /ten.bin Blockcount)" = $((blocks * B / 512)) ] ||
        fail "part $nr: ten.bin block count $(ext2_stat d.img $nr /ten.bin Blockcount)"
    [ "$(ext2_stat d.img $nr "/Some Dir" Links)" = 3 ] || fail "part $nr: Some Dir links"
    [ "$(ext2_stat d.img $nr / Links)" = 4 ] || fail "part $nr: root links"
    dbg d.img $nr 'ls -l "/Some Dir"' > ls.out
    grep -E '100755 \(0\) +0 +0 +12 +'"$today"'.* appended.txt$' ls.out > /dev/null ||
        { fail "part $nr: appended.txt listing"; cat ls.out; }
    grep -qE '40755 .* sub dir$' ls.out || fail "part $nr: sub dir listing"

    # A directory over more than one block, and the same names again
    # (found, not created twice).
    script=""
    for i in $(seq 1 200); do script+="copy \"one.bin\" \"$p/many/file number $i with a longer name.txt\""$'\n'; done
    pelto -w -dd.img "mkdir \"$p/many\"
$script$script
echo \"done\""
    expect_out "done"
    [ "$(dbg d.img $nr 'ls /many' | grep -o 'file number' | wc -l)" -eq 200 ] ||
        fail "part $nr: many holds not 200 files"
    [ "$(ext2_stat d.img $nr /many Size)" -gt $B ] || fail "part $nr: many did not grow"
    ext2_same "part $nr" one.bin d.img $nr "/many/file number 200 with a longer name.txt"
    ext2_fsck d.img $nr "a grown directory"

    # Overwrite larger and smaller (also the 10 MB file down to one byte).
    pelto -w -dd.img "set EXT2-Backup = \"on\"
copy \"bigger.bin\" \"$p/BIG.BIN\"
copy \"one.bin\" \"$p/exact block.bin\"
copy \"one.bin\" \"$p/ten.bin\"
echo \"done\""
    expect_out "done"
    ext2_same "part $nr" bigger.bin d.img $nr /BIG.BIN
    ext2_same "part $nr" one.bin d.img $nr "/exact block.bin"
    ext2_same "part $nr" one.bin d.img $nr /ten.bin
    ext2_fsck d.img $nr "overwrites"
    # With EXT2-Backup on, the copies in the other groups are whole again.
    if [ $nr = 1 ] && ! e2fsck -fn -b 8193 -B 1024 "$(ext2_dev d.img 1)" > fsck.out 2>&1; then
        fail "e2fsck from the backup superblock"
        cat fsck.out
    fi

    # Delete and deltree down to an empty volume: every block and inode
    # comes back, the root counts its links again.
    pelto -w -dd.img "delete \"$p/BIG.BIN\"
delete \"$p/many/file number 1 with a longer name.txt\"
deltree \"$p/many\"
deltree \"$p/Some Dir/sub dir\"
echo \"step\"
deltree \"$p/Some Dir\"
delete \"$p/ten.bin\"
delete \"$p/exact block.bin\"
delete \"$p/patched.cfg\"
logdir \"$p\"
echo \"done\""
    expect_out "done"
    [ "$(dbg d.img $nr 'ls /' | tr -s ' ' '\n' | grep -cv '^$\|^[0-9(]')" -eq 3 ] ||
        { fail "part $nr: root not empty after deltree"; dbg d.img $nr 'ls /'; }
    [ "$(ext2_free d.img $nr)" = "$free0" ] || fail "part $nr: free $(ext2_free d.img $nr), before $free0"
    [ "$(ext2_stat d.img $nr / Links)" = 3 ] || fail "part $nr: root links after deltree"
    ext2_fsck d.img $nr "delete and deltree"

    # A file larger than the free space: refused, and every block taken
    # for it goes back.
    [ -f huge.bin ] || head -c 70000000 /dev/zero > huge.bin
    pelto -w -dd.img "copy \"huge.bin\" \"$p/huge.bin\""
    expect_out "ERROR: [CreateFILE] Cannot RewriteFile"
    expect_out "Error in t.pto, line 1: Could not write to file $p/huge.bin: disk full"
    dbg d.img $nr 'stat /huge.bin' | grep -q '^Inode:' && fail "part $nr: an empty huge.bin stays"
    [ "$(ext2_free d.img $nr | cut -d' ' -f1)" = "${free0%% *}" ] || fail "part $nr: blocks lost"
    ext2_fsck d.img $nr "a file too large"
done
# Through the triple indirect block (1 KB blocks: beyond 65,804 blocks),
# then down to two blocks and away.
head -c 68000000 /dev/urandom > triple.bin
free3=$(ext2_free d.img 3)
pelto -w -dd.img 'copy "triple.bin" "{0:3}/triple.bin"'
refute_out "ERROR"
dbg d.img 3 'stat /triple.bin' | grep -q "(TIND)" || fail "no triple indirect block"
ext2_same "triple" triple.bin d.img 3 /triple.bin
ext2_fsck d.img 3 "a file through the triple indirect block"
head -c 1500 triple.bin > two.bin
pelto -w -dd.img 'copy "two.bin" "{0:3}/triple.bin"'
ext2_same "shrunk" two.bin d.img 3 /triple.bin
ext2_fsck d.img 3 "shrinking it"
pelto -w -dd.img 'delete "{0:3}/triple.bin"'
[ "$(ext2_free d.img 3)" = "$free3" ] || fail "triple: free $(ext2_free d.img 3), before $free3"
ext2_fsck d.img 3 "deleting it"
# A sparse file whose holes cover the start of the double and the triple
# indirect ranges and part of a triple second-level block: deleting it
# gives back every indirect block too.
python3 -c 'f = open("sparse.bin", "wb")
for block in (0, 780, 65804 + 5 * 256 + 3, 65804 + 65536 + 10): f.seek(block * 1024); f.write(b"S" * 1024)'
debugfs -w -R "write sparse.bin sparse.bin" "$(ext2_dev d.img 3)" > /dev/null 2>&1
[ "$(ext2_stat d.img 3 /sparse.bin Blockcount)" -lt 40 ] || fail "sparse.bin is not sparse"
pelto -w -dd.img 'delete "{0:3}/sparse.bin"'
[ "$(ext2_free d.img 3)" = "$free3" ] || fail "sparse: free $(ext2_free d.img 3), before $free3"
ext2_fsck d.img 3 "deleting a sparse file"

# --- Writes larger than the free space (copy, fileunzip, patch), on FAT16,
# ext2 and ext4 alike: the script ends with the file's name and "disk
# full", nothing half-made stays, the volume is clean and its free space is
# what it was. A copy refused before it wrote leaves an existing file as it
# was; a patch that outgrows its room on the way has written over the old
# file, which is removed.
source "$HERE/fat_lib.sh"
needs mdir
new_image full.img 60M
pelto -w -dfull.img 'setpartitions "FAT16:16 LINUX-EXT2:16 LINUX-EXT2:16"'
mkfs.fat -a -F 16 -R 1 -r 512 --offset "$(part_start full.img 1)" -h "$(part_start full.img 1)" \
    full.img $(($(part_size full.img 1) / 2)) > /dev/null 2>&1 || fail "mkfs.fat FAT16"
ext2_format full.img 2 -r 0 -b 1024
mke2fs -q -F -t ext4 -E offset=$(($(ext2_start full.img 3) * 512)) full.img \
    $(($(ext2_size full.img 3) / 2))k > mke2fs.out 2>&1 || { fail "mke2fs -t ext4"; cat mke2fs.out; }
head -c 20000000 /dev/zero > full.bin
pelto 'filezip "full.bin" "full.z"'
# A template whose 3 MB of references each grow to 64 bytes: its reservation
# (half as much again as the template) fits, its 48 MB of output do not.
python3 -c 'open("grow.tpl", "w").write("${V}" * 750000)'
value=$(printf 'v%.0s' $(seq 64))
# on_part <fs> <nr> <path>: 0 when the file is there.
on_part() {
    if [ "$1" = fat ]; then mdir -i "$(mt full.img "$2")" "::$3" > /dev/null 2>&1; else
        dbg full.img "$2" "stat \"$3\"" | grep -q '^Inode:'; fi
}
free_of() {
    if [ "$1" = fat ]; then mdir -i "$(mt full.img "$2")" :: | sed -n 's/ *\([0-9 ]*\) bytes free/\1/p' | tr -d ' '
    else ext2_free full.img "$2"; fi
}
clean_part() { if [ "$1" = fat ]; then fsck_part full.img "$2" "$3"; else ext2_fsck full.img "$2" "$3"; fi; }
for row in "fat 1" "ext2 2" "ext4 3"; do
    read -r fs nr <<< "$row"
    p="{0:$nr}"
    free0=$(free_of $fs $nr)
    pelto -w -dfull.img "copy \"full.bin\" \"$p/full.bin\"
echo \"went on\""
    expect_out "Error in t.pto, line 1: Could not write to file $p/full.bin: disk full"
    refute_out "went on"
    on_part $fs $nr /full.bin && fail "$fs: full.bin stays after a copy that did not fit"
    [ "$(free_of $fs $nr)" = "$free0" ] || fail "$fs: free $(free_of $fs $nr) after a copy that did not fit, before $free0"
    clean_part $fs $nr "a copy that did not fit"
    pelto -w -dfull.img "fileunzip \"full.z\" \"$p/unz.bin\""
    expect_out "Error in t.pto, line 1: Could not write to file $p/unz.bin: disk full"
    on_part $fs $nr /unz.bin && fail "$fs: unz.bin stays after a fileunzip that did not fit"

    pelto -w -dfull.img "copy \"small.txt\" \"$p/old.txt\""
    freeOld=$(free_of $fs $nr)
    pelto -w -dfull.img "copy \"full.bin\" \"$p/old.txt\""
    expect_out "Error in t.pto, line 1: Could not write to file $p/old.txt: disk full (the existing file keeps its old content)"
    if [ $fs = fat ]; then same_file "$fs: old.txt" small.txt "$(mt full.img $nr)" /old.txt
    else ext2_same "$fs: old.txt" small.txt full.img $nr /old.txt; fi
    [ "$(free_of $fs $nr)" = "$freeOld" ] || fail "$fs: free $(free_of $fs $nr) after a refused overwrite, before $freeOld"
    clean_part $fs $nr "an overwrite that did not fit"

    pelto -w -dfull.img "set V = \"$value\"
patch \"grow.tpl\" \"$p/grown.cfg\"
echo \"went on\""
    expect_out "Error in t.pto, line 2: Could not write to file $p/grown.cfg: disk full"
    expect_out "WARNING: The unfinished file $p/grown.cfg was removed"
    refute_out "went on"
    on_part $fs $nr /grown.cfg && fail "$fs: a partial grown.cfg stays"
    pelto -w -dfull.img "copy \"small.txt\" \"$p/old.txt\"
set V = \"$value\"
patch \"grow.tpl\" \"$p/old.txt\""
    expect_out "Error in t.pto, line 3: Could not write to file $p/old.txt: disk full (the existing file it overwrote was removed)"
    on_part $fs $nr /old.txt && fail "$fs: a partly overwritten old.txt stays"
    [ "$(free_of $fs $nr)" = "$free0" ] || fail "$fs: free $(free_of $fs $nr) after patches that did not fit, before $free0"
    clean_part $fs $nr "patches that did not fit"
done
finish
