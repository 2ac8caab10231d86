#!/usr/bin/env bash
# The sample scripts of examples/ run as they stand on disk images: the
# archives of a master PC, a lab PC installed from them, an update applied,
# the rescue menu driven by keys, the network start-up script without a
# boot server (-b). Results are checked with sfdisk, fsck.fat and mtools.
#   examples.sh <bin dir> <examples dir>
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs mcopy mdel e2fsck debugfs
HERE=$(cd "$(dirname "$0")" && pwd)
EXAMPLES=$(cd "$2" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/fat_lib.sh"
cp "$EXAMPLES"/*.pto "$EXAMPLES"/*.tbr "$EXAMPLES"/*.tpl .
# Runs a sample (options..., name) headless with the keys of $KEYS.
# The keys come a moment after the start, as a user presses them once
# the menu is shown (a key held from the first line on is no new key).
KEYS=""
run() {
    (sleep 0.5; printf '%s' "$KEYS") | timeout -s KILL 120 "$BIN/$PROGRAM" "$@" > raw.out 2>&1
    sed -e 's/\r$//' raw.out > out
}
PROGRAM=pelto
tree() { (cd "$1" && find . -type f -exec md5sum {} + | tr a-z A-Z | sort); }
mtree() { rm -rf got && mkdir got && mcopy -s -n -m -i "$(mt "$1" "$2")" '::*' got/ 2> /dev/null; }

# The master PC: a FAT32 system partition with a few files.
mkdir -p src/DOS src/APPS updates/tools updates/scratch
printf 'files=40\r\n' > src/CONFIG.SYS
head -c 300000 /dev/urandom > src/DOS/KERNEL.BIN
printf 'v1\r\n' > src/APPS/EDIT.EXE
printf 'v2\r\n' > updates/EDIT.EXE
printf 'tool\r\n' > updates/tools/TOOL.EXE
printf 'x' > updates/TEMP.tmp
printf 'junk' > updates/scratch/JUNK.DAT
printf 'keep' > updates/scratch/README.TXT
new_image master.img 400M
pelto -w -dmaster.img $'setpartitions "FAT32:300"\nclean 1\nxcopy "src" "{0:1}/"'

# make-archives: the full archive restores the tree; the update leaves out
# what the filters exclude.
run -dmaster.img make-archives
grep -qx "Archives made" out || fail "make-archives: $(tail -3 out)"
[ -f images/system.000 ] && [ -f images/update.000 ] || fail "archives missing"

# lab-pc without -w is a dry run: the image stays blank.
new_image lab.img 512M
run -dlab.img lab-pc
cmp -s -n 4194304 lab.img /dev/zero || fail "the dry run of lab-pc wrote to the image"
# With -w: table, restore, active partition, the data partition's directory.
run -w -dlab.img lab-pc
grep -qx "Lab PC installed" out || fail "lab-pc: $(tail -3 out)"
grep -q "^New layout: FAT32:30[0-9] LINUX-EXT2:10[0-9]$" out || fail "lab-pc layout"
sfdisk_entries lab.img | grep -q "^1 : .*bootable$" || fail "partition 1 not active"
fsck_part lab.img 1 "lab-pc"
mtree lab.img 1 && diff <(tree src) <(tree got) > /dev/null || fail "restored system differs"
# The ext2 data partition: clean, then a directory made on it in the same run.
dd if=lab.img of=data.img bs=512 skip="$(part_start lab.img 2)" count="$(part_size lab.img 2)" \
    status=none
e2fsck -fn data.img > e2fsck.out 2>&1 || fail "e2fsck on the data partition: $(tail -3 e2fsck.out)"
debugfs -R "ls /" data.img 2> /dev/null | grep -qw home || fail "home missing on the data partition"

# apply-update: the new files below APPS, the excluded ones not; MOTD.TXT
# from the template.
run -w -dlab.img apply-update
grep -q "Update 2.1 applied$" out || fail "apply-update: $(tail -3 out)"
mtree lab.img 1
# Names compare without case on FAT.
has() { [ -n "$(find got -ipath "got/$1")" ]; }
cmp -s got/APPS/EDIT.EXE updates/EDIT.EXE && has APPS/TOOLS/TOOL.EXE && has APPS/SCRATCH/README.TXT ||
    fail "update not applied: $(cd got && find . | tr '\n' ' ')"
! has APPS/TEMP.TMP && ! has APPS/SCRATCH/JUNK.DAT || fail "filtered files applied"
grep -q "^Software update 2.1 installed on [0-9][0-9]/[0-9][0-9]/[0-9][0-9]\.\s*$" got/MOTD.TXT ||
    fail "MOTD.TXT: $(cat got/MOTD.TXT)"
fsck_part lab.img 1 "apply-update"

# rescue: key 1 lists the disk and the menu times out; key 2 restores.
sed -i 's/^set Timeout = 30$/set Timeout = 2/' rescue.pto
KEYS=1 run -dlab.img rescue
grep -q "^Partitions of disk 0: FAT32:[0-9]* LINUX-EXT2:" out && grep -qx "Leaving the rescue menu" out ||
    fail "rescue, key 1: $(tail -3 out)"
mdel -i "$(mt lab.img 1)" ::CONFIG.SYS
KEYS=2 run -w -dlab.img rescue
grep -qx "System restored" out || fail "rescue, key 2: $(tail -3 out)"
mtree lab.img 1 && diff <(tree src) <(tree got) > /dev/null || fail "rescue restore differs"

# netstart (Tobrend, no boot server): a wrong password goes back to the
# menu; the right one reinstalls, and the program then keeps waiting.
PROGRAM=tobrend
KEYS=$'1wrong\n' run -b -dlab.img netstart
grep -qx "Wrong password" out || fail "netstart, wrong password: $(tail -3 out)"
grep -qx "No boot server: files come from this machine" out || fail "netstart without server"
new_image lab.img 512M
printf '1secret\n' | "$BIN/tobrend" -b -w -dlab.img netstart > net.out 2>&1 &
pid=$!
for _ in $(seq 600); do grep -q "now waiting" net.out && break; sleep 0.1; done
kill -KILL "$pid" 2> /dev/null
wait "$pid" 2> /dev/null
grep -q "Installation done" net.out || fail "netstart install: $(tail -3 net.out)"
sfdisk_entries lab.img | grep -q "^1 : .*bootable$" || fail "netstart: partition 1 not active"
mtree lab.img 1 && diff <(tree src) <(tree got) > /dev/null || fail "netstart restore differs"
finish
