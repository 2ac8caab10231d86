#!/usr/bin/env bash
# Damaged FAT volumes: impossible boot sectors are refused, first clusters
# beyond the volume, looping chains and directories that never end give a
# clear error and no hang, and nothing is written outside the partition.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mcopy mdir mmd
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/fat_lib.sh"
PATCH="$HERE/fat_patch.py"

fat_image d0.img 400M 300 40
o1=$(($(part_start d0.img 1) * 512))
o2=$(($(part_start d0.img 2) * 512))
m2=$(mt d0.img 2)
printf 'x\n' > s.txt
head -c 10000 /dev/urandom > f.bin
mcopy -i "$m2" f.bin ::/F.BIN
mcopy -i "$m2" f.bin ::/LOOP.BIN
mmd -i "$m2" ::/LOOPDIR
mmd -i "$m2" ::/NOCLUST
mmd -i "$(mt d0.img 1)" ::/ROOTDIR
mcopy -i "$(mt d0.img 1)" s.txt ::/KEEP.TXT
for i in $(seq 1 126); do mcopy -i "$m2" s.txt "::/LOOPDIR/F$i.TXT"; done
fresh() { cp --sparse=always d0.img d.img; }

# Boot sectors the driver refuses: the partition is not valid.
while read -r nr field width value what; do
    fresh
    o=$([ "$nr" = 1 ] && echo $o1 || echo $o2)
    python3 "$PATCH" d.img "$o" boot "$field" "$width" "$value"
    pelto -w -dd.img "copy \"s.txt\" \"{0:$nr}/NEW.TXT\""
    expect_out "ERROR: [FAT] Boot sector refused: $what"
    expect_out "Error in t.pto, line 1: Could not copy the file (invalid filename ?)"
done <<'CASES'
2 13 1 3 cluster size
2 13 1 128 cluster size
2 17 2 200 FAT16 root directory size
2 14 2 0 reserved sectors
1 14 2 0 reserved sectors
2 13 1 64 too few clusters for FAT16
1 50 2 32 backup boot sector
1 50 2 1 backup boot sector
2 16 1 1 number of FATs
2 11 2 1024 sector size
2 22 2 0 FAT size
1 48 2 40 FSInfo sector
1 44 4 4000000 root cluster
2 22 2 60000 partition too small for its layout
CASES

# FAT16 with more than 65,524 clusters.
fresh
python3 "$PATCH" d.img $o2 boot 13 1 1
python3 "$PATCH" d.img $o2 boot 22 2 400
pelto -w -dd.img 'copy "s.txt" "{0:2}/NEW.TXT"'
expect_out "ERROR: [FAT] Boot sector refused: too many clusters for FAT16"

# A first FAT byte other than 0xF8: not valid, and quietly so.
fresh
python3 "$PATCH" d.img $((o2 + 512)) boot 0 1 240
pelto -w -dd.img 'copy "s.txt" "{0:2}/NEW.TXT"'
expect_out "Error in t.pto, line 1: Could not copy the file (invalid filename ?)"
refute_out "Boot sector refused"

# A first cluster beyond the volume.
fresh
python3 "$PATCH" d.img $o2 setstart F.BIN 65000
pelto -w -dd.img 'copy "{0:2}/F.BIN" "out.bin"'
expect_out "Error in t.pto, line 1: Could not copy the file (invalid filename ?)"

# A chain that loops back to its start: the file reads as far as its
# size, and deleting it gives every cluster back.
fresh
c=$(python3 "$PATCH" d.img $o2 start LOOP.BIN)
last=$c
while [ "$(python3 "$PATCH" d.img $o2 next "$last")" -lt 65521 ]; do
    last=$(python3 "$PATCH" d.img $o2 next "$last")
done
python3 "$PATCH" d.img $o2 fat "$last" "$c"
pelto -w -dd.img 'copy "{0:2}/LOOP.BIN" "out.bin"
delete "{0:2}/LOOP.BIN"
echo "done"'
expect_out "done"
cmp -s f.bin out.bin || fail "looping file read differs"
fsck_part d.img 2 "deleting a file whose chain loops"

# A directory whose chain loops and that has no end mark: the listing ends
# with an error.
fresh
c=$(python3 "$PATCH" d.img $o2 start LOOPDIR)
second=$(python3 "$PATCH" d.img $o2 next "$c")
python3 "$PATCH" d.img $o2 fat "$second" "$c"
pelto -w -dd.img 'logdir "{0:2}/LOOPDIR/F1.TXT"
logtree "{0:2}"
echo "done"'
expect_out "done"
expect_out "ERROR: [FAT] Directory too long"

# A link beyond the volume inside a directory chain.
fresh
python3 "$PATCH" d.img $o2 fat "$c" 65400
pelto -w -dd.img 'logdir "{0:2}/LOOPDIR/F1.TXT"
echo "done"'
expect_out "done"
expect_out "ERROR: [FAT] Damaged cluster chain: link out of range"

# A subdirectory entry without a cluster, or with the FAT32 root's: deltree
# refuses it and the root keeps its entries.
fresh
python3 "$PATCH" d.img $o2 setstart NOCLUST 0
python3 "$PATCH" d.img $o1 setstart ROOTDIR 2
pelto -w -dd.img 'deltree "{0:2}/NOCLUST"'
expect_out "ERROR: [FAT] Directory entry without a directory"
pelto -w -dd.img 'deltree "{0:1}/ROOTDIR"'
expect_out "ERROR: [FAT] Directory entry without a directory"
mdir -b -i "$(mt d.img 2)" :: | grep -q "F.BIN" || fail "deltree of a cluster-less directory emptied the root"
mdir -b -i "$(mt d.img 1)" :: | grep -q "KEEP.TXT" || fail "deltree of a directory claiming the root emptied it"

# A boot sector that claims more sectors than the partition holds: writes
# stop at the partition's end, the bytes behind it stay.
fresh
n2=$(part_size d.img 2)
python3 "$PATCH" d.img $o2 boot 32 4 $((n2 + 50000))
python3 "$PATCH" d.img $o2 boot 19 2 0
end=$(($(part_start d.img 2) + n2))
size=$(stat -c %s d.img)
if [ $((end * 512)) -lt "$size" ]; then
    head -c $((size - end * 512)) /dev/zero | tr '\0' '\125' | dd of=d.img bs=512 seek=$end conv=notrunc status=none
fi
sum=$(tail -c +$((end * 512 + 1)) d.img | sha256sum)
head -c 60000000 /dev/urandom > huge.bin
pelto -w -dd.img 'copy "huge.bin" "{0:2}/HUGE.BIN"'
expect_out "ERROR: [FAT] Not enough free clusters"
[ "$(tail -c +$((end * 512 + 1)) d.img | sha256sum)" = "$sum" ] || fail "bytes behind the partition changed"

# A file whose chain leaves the volume, scanned into an archive: the archive
# holds zeros for it, the log names it, and the copy ends with a count.
fresh
c=$(python3 "$PATCH" d.img $o2 start F.BIN)
python3 "$PATCH" d.img $o2 fat "$c" 65400
pelto -dd.img 'fullzip "{0:2}/" "z.000"'
expect_out "SEVERE WARNING : Cannot read file {0:2}/F.BIN"
expect_out "WARNING: 1 file(s) could not be read, their content is zeros"
python3 "$HERE/../archive/arctool.py" read z.000 | grep -qx "data $(printf '%020000d' 0)" ||
    fail "unreadable content not stored as zeros"
finish
