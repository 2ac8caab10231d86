#!/usr/bin/env bash
# incrunzip onto directories of a FAT16 partition of an image, by both
# programs, checked with mtools (trees, contents, times) and fsck.fat.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 fsck.fat mcopy mdir blkid
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
TOOL="python3 $HERE/irestore_tool.py"
ARCTOOL="python3 $HERE/../archive/arctool.py"
export MTOOLS_SKIP_CHECK=1 TZ=UTC

# tobrend <options...> <script text>: like pelto. The batch program waits
# after its script, so the script ends in a line that fails on purpose and
# ends the program.
tobrend() {
    local script=${*: -1}
    local options=("${@:1:$#-1}")
    printf '%s\nno-such-command\n' "$script" > t.tbr
    timeout -s KILL 120 "$BIN/tobrend" "${options[@]}" t < /dev/null > raw.out 2> raw.err
    sed -e 's/\r$//' raw.out > out
}

mkdir -p src/a/b src/e
printf 'hello\n' > src/top.txt
head -c 150000 /dev/urandom > src/a/big.bin
: > src/a/empty
printf 'deep' > src/a/b/deep.txt
head -c 40000 /dev/urandom > src/e/forty.bin
# FAT keeps times in steps of 2 seconds.
find src -type f -exec touch -d '2020-01-02 03:04:06' {} +
touch -d '2018-07-08 09:10:12' src/e/forty.bin
$TOOL describe src fat.desc --id FATx --da 15 && $ARCTOOL write fat.desc fat.000 1000000 ||
    fail "cannot write the FAT archive"
$TOOL describe src ext.desc && $ARCTOOL write ext.desc ext.000 1000000 ||
    fail "cannot write the ext2 archive"

new_image disk.img 100M
pelto -w -ddisk.img 'setpartitions "FAT16:60"
clean 1
mkdir "{0:1}/sub"
mkdir "{0:1}/other"'
offset=$(($(sfdisk_entries disk.img | sed -n 's/^1 : start= *\([0-9]*\).*/\1/p') * 512))
size=$(sfdisk_entries disk.img | sed -n 's/^1 : .*size= *\([0-9]*\).*/\1/p')

# got <dir>: the partition's directory copied out with its times.
got() {
    rm -rf got && mkdir got
    mcopy -s -n -m -i "disk.img@@$offset" "::$1/*" got/ 2> mcopy.err || fail "mcopy ::$1"
}
fsck_part() {
    dd if=disk.img of=part.img bs=512 skip=$((offset / 512)) count="$size" status=none
    fsck.fat -n part.img > fsck.out 2>&1 && [ "$(wc -l < fsck.out)" -le 2 ] ||
        { fail "fsck.fat after $1"; sed 's/^/    | /' fsck.out; }
    rm -f part.img
}
file_times() { (cd "$1" && find . -type f -printf '%p %T@\n' | sort); }

# The same archive twice into a subdirectory, by the archiver and by the
# batch program: the same tree, contents and file times.
printf 'other\n' > other.txt
pelto -w -ddisk.img 'copy "other.txt" "{0:1}/sub/kept.txt"
incrunzip "fat.000" "{0:1}/sub"'
refute_out "Error"
tobrend -b -w -ddisk.img 'incrunzip "fat.000" "{0:1}/sub"'
expect_out "Restoring incr archive fat.000 to path {0:1}/sub"
expect_out "Error in t.tbr, line 2: Unknown command"
refute_out "line 1"
got sub
[ "$(cat got/kept.txt)" = other ] || fail "a file absent from the archive changed"
rm -f got/kept.txt
diff -r src got > /dev/null || fail "tree after two restores differs"
[ "$(file_times src)" = "$(file_times got)" ] || fail "file times were not kept"
fsck_part "two restores"

# An ext2 archive: the tree and contents, not the times.
pelto -w -ddisk.img 'incrunzip "ext.000" "{0:1}/other"'
refute_out "Error"
got other
diff -r src got > /dev/null || fail "tree of the ext2 archive differs"
[ "$(stat -c %Y got/top.txt)" != "$(stat -c %Y src/top.txt)" ] || fail "ext2 times were applied"
fsck_part "the ext2 archive"

# The archive itself on the partition it is restored onto: reading and
# writing the same file system in turns.
pelto -w -ddisk.img 'copy "fat.000" "{0:1}/fat.000"
mkdir "{0:1}/same"
incrunzip "{0:1}/fat.000" "{0:1}/same"'
refute_out "Error"
got same
diff -r src got > /dev/null || fail "tree restored from the partition itself differs"
fsck_part "a restore from the partition itself"

# A missing partition directory and a hostile name.
pelto -w -ddisk.img 'incrunzip "fat.000" "{0:1}/missing"'
expect_out "Error in t.pto, line 1: Destination path does not exist"
$TOOL hostile slashfile h.desc && $ARCTOOL write h.desc h.000 1000000
pelto -w -ddisk.img 'incrunzip "h.000" "{0:1}/other/a"'
expect_out "Error in t.pto, line 1: Could not create file"
mdir -i "disk.img@@$offset" ::/other/escaped > /dev/null 2>&1 && fail "an entry escaped"
fsck_part "the refused archive"

# A partition that fills up: the failing file is named, and so is the cause.
mkdir -p full && head -c 70000000 /dev/urandom > full/huge.bin
pelto -w -ddisk.img 'incrzip "full" "full.000"
incrunzip "full.000" "{0:1}/other"'
expect_out "Error in t.pto, line 2: Could not create file huge.bin: disk full"

# The incremental archive of a labelled volume: in a root without a label
# its label entry becomes the volume's label (boot sector too); where a
# label cannot stand (a labelled root, a subdirectory) an empty file.
new_image lab.img 200M
pelto -w -dlab.img 'setpartitions "FAT16:40 FAT16:40"
clean 1 "SYS"
copy "other.txt" "{0:1}/other.txt"
incrzip "{0:1}" "lab.000"
clean 2
incrunzip "lab.000" "{0:2}"
incrunzip "lab.000" "{0:2}"
mkdir "{0:2}/sub"
incrunzip "lab.000" "{0:2}/sub"'
refute_out "Error"
for p in 1 2; do
    start=$(sfdisk_entries lab.img | sed -n "s/^$p : start= *\([0-9]*\).*/\1/p")
    count=$(sfdisk_entries lab.img | sed -n "s/^$p : .*size= *\([0-9]*\).*/\1/p")
    dd if=lab.img of=part.img bs=512 skip="$start" count="$count" status=none
    if ! fsck.fat -n part.img > fsck.out 2>&1 || [ "$(wc -l < fsck.out)" -gt 2 ]; then
        fail "fsck.fat on labelled partition $p"
        sed 's/^/    | /' fsck.out
    fi
done
mdir -i part.img ::/ > mdir.out 2>&1
grep -q "Volume in drive : is SYS" mdir.out || fail "the archived label was not taken"
grep -q "^SYS " mdir.out && fail "the label is listed as a file"
blkid -p -o export part.img | grep -qx "LABEL=SYS" || fail "the boot sector does not name SYS"
mdir -i part.img ::/sub > mdir.out 2>&1
grep -q "^SYS .* 0 " mdir.out || fail "no empty file SYS in the subdirectory"
rm -f part.img
finish
