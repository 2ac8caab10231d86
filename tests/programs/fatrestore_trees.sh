#!/usr/bin/env bash
# Quick format and full restore of FAT16 and FAT32 partitions of an image,
# checked with independent tools: fsck.fat finds nothing to fix, blkid and
# mtools see the labels, the trees and the contents, and the layout read
# from the image is the planned one (fatrestore_tool.py check). Archives
# come from host trees through fatrestore_tool.py describe and the
# independent writer arctool.py.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 fsck.fat mcopy mtype mdir blkid
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
TOOL="$HERE/fatrestore_tool.py"
ARCTOOL="$HERE/../archive/arctool.py"
export MTOOLS_SKIP_CHECK=1 TZ=UTC

# part_start/part_size <image> <nr>: the partition's sectors from sfdisk.
part_field() { sfdisk_entries "$1" | sed -n "s/^$2 : .*$3= *\([0-9]*\).*/\1/p"; }
part_start() { part_field "$1" "$2" start; }
part_size() { part_field "$1" "$2" size; }

# fsck_part <image> <nr> <what>: fsck.fat -n on a copy of the partition.
fsck_part() {
    dd if="$1" of=part.img bs=512 skip="$(part_start "$1" "$2")" count="$(part_size "$1" "$2")" \
        conv=sparse status=none
    # Silent: the version line and the summary, nothing else.
    if ! fsck.fat -n part.img > fsck.out 2>&1 || [ "$(wc -l < fsck.out)" -gt 2 ]; then
        fail "fsck.fat after $3"
        sed 's/^/    | /' fsck.out
    fi
    rm -f part.img
}

# archive <tree> <name> <boot> [label]: a FATx archive of the tree.
archive() {
    python3 "$TOOL" describe "$1" "$2.desc" --boot "$3" ${4:+--label "$4"} &&
        python3 "$ARCTOOL" write "$2.desc" "$2" 1000000 || fail "cannot write archive $2"
}

# restored <image> <nr> <tree> <what> [label]: the partition holds exactly
# the tree (and the label).
restored() {
    local offset=$(($(part_start "$1" "$2") * 512))
    python3 "$TOOL" check "$1" "$offset" "$3" ${5:+--label "$5"} > check.out || {
        fail "layout after $4"
        sed 's/^/    | /' check.out
    }
    rm -rf got && mkdir got
    if [ -n "$(ls -A "$3")" ]; then
        mcopy -s -n -m -i "$1@@$offset" '::*' got/ 2> mcopy.err || fail "mcopy after $4"
    fi
    diff -r "$3" got > diff.out || { fail "contents after $4"; head -20 diff.out; }
    fsck_part "$1" "$2" "$4"
}

# A tree with long names, short names in upper and lower case, names that
# need tails (two of them alike), empty files and directories, 70 levels
# of nesting cut at 40, a file of several clusters and a large one.
rm -rf tree && mkdir -p tree
mkdir -p tree/empty_dir "tree/Program Files/Common Files" tree/DOS tree/docs
(cd tree && mkdir -p $(printf 'd%02d/' $(seq 1 40)))
printf 'deep\n' > "tree/$(printf 'd%02d/' $(seq 1 40))leaf.txt"
: > tree/EMPTY.TXT
: > "tree/Program Files/an empty file with a long name.txt"
printf 'IO\n' > tree/IO.SYS
printf 'MSDOS\n' > tree/MSDOS.SYS
printf 'config\n' > tree/config.sys
printf 'readme\n' > tree/ReadMe.Txt
for i in 1 2 3; do printf 'long %s\n' $i > "tree/docs/A long document name $i.text"; done
printf 'x' > "tree/Program Files/Common Files/r_readonly.dat"
printf 'h' > tree/h_hidden.bin
head -c 70000 /dev/urandom > tree/DOS/seven.bin
head -c 3000000 /dev/urandom > "tree/Program Files/big archive.bin"
for n in $(seq 1 30); do printf '%s' "$n" > "tree/docs/file number $n"; done
find tree -exec touch -d '2019-06-15 13:45:22' {} +
touch -d '2001-02-03 04:05:06' tree/config.sys

new_image disk.img 700M
pelto -w -ddisk.img 'setpartitions "FAT16:200 FAT32:300 FAT32:20 FAT16:20"'
expect_out "Setting partition table 0 on hard disk 0"
off1=$(($(part_start disk.img 1) * 512))
off2=$(($(part_start disk.img 2) * 512))

# Quick format, with and without a label.
pelto -w -ddisk.img 'clean 1
clean 2 "SYSTEM"
clean 4'
expect_out "Cleaning partition 1 (type FAT16)"
expect_out "Cleaning partition 2 (type FAT32)"
fsck_part disk.img 1 "clean of FAT16"
fsck_part disk.img 2 "clean of FAT32 with a label"
fsck_part disk.img 4 "clean of a small FAT16"
new_image small.img 120M
pelto -w -dsmall.img 'setpartitions "FAT32:100"
clean 1'
fsck_part small.img 1 "clean of a small FAT32 (clusters of 2 sectors)"
[ "$(od -A n -t u1 -j $(($(part_start small.img 1) * 512 + 13)) -N 1 small.img | tr -d ' ')" = 2 ] ||
    fail "100 MB of FAT32 should have clusters of 2 sectors"
blkid -p -O $off2 -o export disk.img > blkid.out
grep -qx "LABEL=SYSTEM" blkid.out || fail "blkid does not see the FAT32 label"
grep -qx "VERSION=FAT32" blkid.out || fail "partition 2 is not FAT32 to blkid"
mdir -i "disk.img@@$off2" ::/ > mdir.out 2>&1
grep -q "Volume in drive : is SYSTEM" mdir.out || fail "mdir does not see the label"
blkid -p -O $off1 -o export disk.img > blkid.out
grep -qx "VERSION=FAT16" blkid.out || fail "partition 1 is not FAT16 to blkid"
grep -q "^LABEL=" blkid.out && fail "an unlabelled volume has a label"
pelto -w -ddisk.img 'clean 1 "DATA16"
clean 3'
fsck_part disk.img 1 "clean of FAT16 with a label"
blkid -p -O $off1 -o export disk.img | grep -qx "LABEL=DATA16" || fail "no FAT16 label"
# 20 MB cannot be a sound FAT32 volume.
expect_out "Error in t.pto, line 2: Clean-up failed"
grep -q "FAT Clean: a partition of [0-9]* sectors is too small for FAT32" out ||
    fail "no reason for the refused FAT32 clean"

# Full restores of the tree: FAT16 and FAT32 boot areas.
archive tree a16.arc fat16 ARCHIVED
archive tree a32.arc fat32 ARCHIVED
pelto -w -ddisk.img 'fullunzip "a16.arc" 1
fullunzip "a32.arc" 2'
expect_out "Restoring full archive a16.arc to partition 1 (type FAT16)"
expect_out "Restoring full archive a32.arc to partition 2 (type FAT32)"
[ "$(grep -c 'FAT Unzip: Done !' out)" -eq 2 ] || fail "two restores should be done"
refute_out "Unzip failed"
restored disk.img 1 tree "FAT16 restore" ARCHIVED
restored disk.img 2 tree "FAT32 restore" ARCHIVED
mdir -i "disk.img@@$off2" ::/docs > mdir.out 2>&1
grep -q "^ALONGD~1 TEX .* A long document name 1.text$" mdir.out || fail "short name with tail 1"
grep -q "^ALONGD~3 TEX .* A long document name 3.text$" mdir.out || fail "short name with tail 3"
blkid -p -O $off2 -o export disk.img | grep -qx "LABEL=ARCHIVED" || fail "archived label"
[ "$(mtype -i "disk.img@@$off1" ::/config.sys)" = config ] || fail "mtype of config.sys"
# The root's first two files with plain names take the first two slots
# (over the deleted placeholders).
dd if=disk.img bs=1 skip=$((off1 + ($(python3 -c "
import struct,sys;b=open('disk.img','rb');b.seek($off1);s=b.read(512)
print(1+2*struct.unpack_from('<H',s,22)[0])") * 512))) count=43 status=none > slot0
[ "$(head -c 11 slot0)" = "ARCHIVED   " ] || fail "first root slot holds $(head -c 11 slot0)"
[ "$(tail -c 11 slot0)" = "EMPTY   TXT" ] || fail "second root slot holds $(tail -c 11 slot0)"
# A label that is also the name of a root directory (DOS): the label is no
# file name, both stay.
archive tree dos.arc fat16 DOS
pelto -w -ddisk.img 'fullunzip "dos.arc" 1'
restored disk.img 1 tree "restore with a label named like a directory" DOS

# A FAT16 archive (one boot sector) onto FAT32 keeps that partition's boot
# sector; an archive without boot area likewise on FAT16.
pelto -w -ddisk.img 'fullunzip "a16.arc" 2'
expect_out "FAT Unzip warning: Boot sector will NOT be cleaned"
expect_out "FAT Unzip: Done !"
restored disk.img 2 tree "FAT16 archive restored onto FAT32" ARCHIVED
archive tree none.arc none
pelto -w -ddisk.img 'fullunzip "none.arc" 1'
expect_out "FAT Unzip warning: Boot sector will NOT be cleaned"
restored disk.img 1 tree "restore without boot area"

# Restores onto partitions never formatted: zeros and garbage.
pelto -w -ddisk.img 'blank 1'
pelto -w -ddisk.img 'fullunzip "none.arc" 1'
restored disk.img 1 tree "restore onto a blank partition"
head -c $((2048 * 512)) /dev/urandom | dd of=disk.img bs=512 seek=$(part_start disk.img 2) conv=notrunc status=none
pelto -w -ddisk.img 'clean 2'
fsck_part disk.img 2 "clean of a garbage partition"

# An empty tree, and many files in the FAT16 root region and beyond.
rm -rf empty && mkdir empty
archive empty e32.arc fat32
pelto -w -ddisk.img 'fullunzip "e32.arc" 2'
restored disk.img 2 empty "restore of an empty tree"
rm -rf many && mkdir -p many/sub
for n in $(seq 1 60); do head -c $((n * 3000)) /dev/urandom > "many/data file $n"; done
for n in $(seq 1 5); do head -c 20000 /dev/urandom > "many/sub/$n.bin"; done
archive many m16.arc fat16
pelto -w -ddisk.img 'fullunzip "m16.arc" 1'
restored disk.img 1 many "FAT16 restore beyond the region before the directories"

# FAT16 clusters of 4 KB keep 128 clusters (512 KB) before the directories:
# a first file that fills them exactly, and one that crosses them at a
# chunk boundary of the archive.
for edge in 524288 600000; do
    rm -rf edge && mkdir -p edge/sub
    head -c $edge /dev/urandom > edge/a.bin
    head -c 40000 /dev/urandom > edge/b.bin
    printf 'sub' > edge/sub/c.txt
    archive edge edge.arc fat16
    pelto -w -ddisk.img 'fullunzip "edge.arc" 1'
    restored disk.img 1 edge "FAT16 restore with a first file of $edge bytes"
done

# What does not fit is refused before anything is written: a file larger
# than the partition, and more root entries than the FAT16 root holds.
rm -rf huge && mkdir huge
head -c 21000000 /dev/zero > huge/big.bin
archive huge h.arc fat16
rm -rf wide && mkdir wide
for n in $(seq 1 520); do : > wide/F$n; done
archive wide w.arc fat16
pelto -w -ddisk.img 'clean 4'
sum=$(sha256sum < disk.img)
pelto -w -ddisk.img 'fullunzip "h.arc" 4'
expect_out "Error in t.pto, line 1: Unzip is not possible: the archive does not fit the partition"
refute_out "Unzip failed, trying again"
grep -q "FAT Unzip: the archive does not fit: it needs [0-9]* clusters .* the partition holds [0-9]* clusters" out ||
    fail "no message naming both sizes"
refute_out "FAT Unzip: Done !"
pelto -w -ddisk.img 'fullunzip "w.arc" 4'
grep -q "FAT Unzip: the archive does not fit: its root directory needs 17 KB, the FAT16 root holds 16 KB" out ||
    fail "no message about the root"
[ "$(sha256sum < disk.img)" = "$sum" ] || fail "a refused restore changed the image"

# Damaged archives fail twice, with the retry, and write nothing past
# their partition.
# One file more in the header than the archive holds; a directory whose
# summary claims one cluster more than its record.
python3 - a32.arc.desc > bad1.desc <<'PY'
import struct, sys
lines = open(sys.argv[1]).read().split("\n")
h = bytearray.fromhex(lines[1].split()[1])
struct.pack_into("<I", h, 8, struct.unpack_from("<I", h, 8)[0] + 1)
lines[1] = "header " + h.hex()
print("\n".join(lines), end="")
PY
python3 - a32.arc.desc > bad2.desc <<'PY'
import sys
lines = open(sys.argv[1]).read().split("\n")
i = [n for n, l in enumerate(lines) if l.startswith("dirsum")][1]
lines[i] = "dirsum " + "0f00" * 6 + lines[i].split()[1][24:]
print("\n".join(lines), end="")
PY
for n in 1 2; do
    python3 "$ARCTOOL" write bad$n.desc bad$n.arc 100000000 || fail "cannot write bad$n.arc"
    sum=$(sha256sum < disk.img)
    pelto -w -ddisk.img "fullunzip \"bad$n.arc\" 2"
    expect_out "Unzip failed, trying again"
    expect_out "Error in t.pto, line 1: Unzip is not possible (bad archive ?)"
    refute_out "FAT Unzip: Done !"
done
grep -q "FAT Unzip: damaged archive: a subtree's size" out ||
    fail "no message for a directory unlike its summary"
rm -rf deep && mkdir deep && (cd deep && mkdir -p $(printf 'x/%.0s' $(seq 1 66)))
archive deep deep.arc fat32
pelto -w -ddisk.img 'fullunzip "deep.arc" 2'
expect_out "FAT Unzip: directories nested deeper than 64 levels"
expect_out "Error in t.pto, line 1: Unzip is not possible (bad archive ?)"
# A FAT16 partition beyond 2 GB: the volume stops at 65518 clusters of 64
# sectors and says so in its boot sector, so that other systems count no
# more than 65524 clusters and keep taking it for FAT16.
new_image big.img 2100M
pelto -w -dbig.img 'set LBA = "OFF"
setpartitions "FAT16:2090"
clean 1
fullunzip "m16.arc" 1'
expect_out "FAT Unzip: Done !"
blkid -p -O $(($(part_start big.img 1) * 512)) -o export big.img | grep -qx "VERSION=FAT16" ||
    fail "the large FAT16 volume is no FAT16 to blkid"
restored big.img 1 many "restore onto a FAT16 partition beyond 2 GB"

# The optional disk argument: the second image.
pelto -w -ddisk.img -dsmall.img 'clean 1 1 "SECOND"
fullunzip "m16.arc" 1 1'
expect_out "FAT Unzip: Done !"
restored small.img 1 many "restore onto the second disk"
# The kept boot sector no longer names the volume that was there before.
blkid -p -O $(($(part_start small.img 1) * 512)) -o export small.img | grep -q "^LABEL=" &&
    fail "the restored volume keeps the label of the one before"

# Labelled volumes archived by this program and restored onto themselves
# and onto the other FAT width: the label slot comes back as the label
# (attribute 0x08 as archived), not as a file.
pelto -w -ddisk.img 'clean 1 "SYS"
clean 2 "MY DISK"
mkdir "{0:1}/dir"
mkdir "{0:2}/dir"
copy "t.pto" "{0:1}/dir/t.pto"
copy "t.pto" "{0:2}/dir/t.pto"
fullzip "{0:1}" "l16.000"
fullzip "{0:2}" "l32.000"'
mkdir -p ltree/dir && cp t.pto ltree/dir/
for case in "l16.000 1 SYS" "l32.000 2 MY_DISK" "l16.000 2 SYS" "l32.000 1 MY_DISK"; do
    set -- $case
    set -- "$1" "$2" "${3//_/ }"
    pelto -w -ddisk.img "fullunzip \"$1\" $2"
    expect_out "FAT Unzip: Done !"
    off=$(($(part_start disk.img $2) * 512))
    mdir -i "disk.img@@$off" ::/ > mdir.out 2>&1
    grep -q "Volume in drive : is $3 *\$" mdir.out || fail "$1 onto $2: no label $3"
    grep -q "^${3%% *} " mdir.out && fail "$1 onto $2: the label $3 is listed as a file"
    rm -rf lgot && mkdir lgot && mcopy -s -n -i "disk.img@@$off" '::*' lgot/ 2> /dev/null
    diff -r ltree lgot > /dev/null || fail "$1 onto $2: tree differs"
    fsck_part disk.img $2 "restore of labelled $1 onto $2"
done

# Without -w nothing is written.
sum=$(sha256sum < disk.img)
pelto -ddisk.img 'fullunzip "a32.arc" 2'
expect_out "FAT Unzip: Done !"
[ "$(sha256sum < disk.img)" = "$sum" ] || fail "a dry run changed the image"

pelto -w -ddisk.img 'fullunzip "missing.arc" 2'
expect_out "Error in t.pto, line 1: Cannot open archive"
pelto -w -ddisk.img 'fullunzip "a32.arc" 9'
expect_out "Error in t.pto, line 1: Cannot unzip: target partition does not exist"
finish
