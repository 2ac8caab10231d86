#!/usr/bin/env bash
# File commands on FAT32 and FAT16 partitions made by mkfs.fat: nested
# directories, long and short names, files of awkward sizes, append and
# patch, a directory grown over many clusters, overwrites larger and
# smaller, delete and deltree down to an empty volume, and files that
# mtools wrote fragmented. Checked with mtools (names, sizes, dates,
# bytes) and fsck.fat -n (nothing to fix, free count right) after each step.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mcopy mdir mmd mdel
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/fat_lib.sh"

fat_image d.img 400M 300 60
head -c 100000 /dev/urandom > big.bin
head -c 250000 /dev/urandom > bigger.bin
head -c 32768 /dev/urandom > exact.bin
printf 'x' > one.bin
: > empty
printf 'hello FAT\n' > small.txt
printf 'name=${Basename};\n' > tpl.txt
today=$(date +%Y-%m-%d)

for nr in 1 2; do
    p="{0:$nr}"
    m=$(mt d.img $nr)
    free0=$(mdir -i "$m" :: | sed -n 's/ *\([0-9 ]*\) bytes free/\1/p' | tr -d ' ')

    pelto -w -dd.img "mkdir \"$p/Some Dir/sub dir/deeper\"
copy \"small.txt\" \"$p/Some Dir/sub dir/deeper/a file with a long name.txt\"
copy \"big.bin\" \"$p/BIG.BIN\"
copy \"one.bin\" \"$p/Some Dir/lower.bin\"
copy \"empty\" \"$p/Some Dir/Empty File\"
copy \"exact.bin\" \"$p/exact cluster.bin\"
append \"small.txt\" \"one.bin\" \"$p/Some Dir/appended.txt\"
patch \"tpl.txt\" \"$p/patched.cfg\"
logdir \"$p/some dir/*.BIN\"
logtree \"$p\"
echo \"done\""
    expect_out "done"
    expect_out "$(printf '%-33s%9d' lower.bin 1)"
    expect_out "+-Some Dir"
    expect_out "| +-sub dir"
    expect_out "| | +-deeper"
    refute_out "ERROR"
    same_file "part $nr" small.txt "$m" "/Some Dir/sub dir/deeper/a file with a long name.txt"
    same_file "part $nr" big.bin "$m" "/BIG.BIN"
    same_file "part $nr" one.bin "$m" "/Some Dir/lower.bin"
    same_file "part $nr" empty "$m" "/Some Dir/Empty File"
    same_file "part $nr" exact.bin "$m" "/exact cluster.bin"
    cat small.txt one.bin > appended
    same_file "part $nr" appended "$m" "/Some Dir/appended.txt"
    printf 'name=t;\n' > patched
    same_file "part $nr" patched "$m" "/patched.cfg"
    mdir -i "$m" "::/Some Dir" > mdir.out
    grep -q "appended.txt" mdir.out || fail "part $nr: mdir misses the long name appended.txt"
    grep -q "Empty File" mdir.out || fail "part $nr: mdir misses Empty File"
    grep "lower.bin" mdir.out | grep -q "$today" || fail "part $nr: lower.bin not dated $today"
    mdir -i "$m" :: | grep -q "^BIG      BIN    100000 $today" || fail "part $nr: BIG.BIN entry"
    fsck_part d.img $nr "writing files"

    # A directory over many clusters, and the same names again (found, not
    # created twice).
    script=""
    for i in $(seq 1 300); do script+="copy \"small.txt\" \"$p/many/file number $i.txt\""$'\n'; done
    pelto -w -dd.img "mkdir \"$p/many\"
$script$script
echo \"done\""
    expect_out "done"
    [ "$(mdir -b -i "$m" ::/many | wc -l)" -eq 300 ] || fail "part $nr: many holds not 300 files"
    same_file "part $nr" small.txt "$m" "/many/file number 300.txt"
    fsck_part d.img $nr "a grown directory"

    # Overwrite larger and smaller.
    pelto -w -dd.img "copy \"bigger.bin\" \"$p/BIG.BIN\"
copy \"one.bin\" \"$p/exact cluster.bin\"
echo \"done\""
    expect_out "done"
    same_file "part $nr" bigger.bin "$m" "/BIG.BIN"
    same_file "part $nr" one.bin "$m" "/exact cluster.bin"
    fsck_part d.img $nr "overwrites"

    # Files that mtools wrote, fragmented: small files with every other one
    # deleted, then a large file that fills the gaps (on FAT32 after the
    # FSInfo hint is sent back to the start); and one whose chain runs
    # backwards across FAT sectors.
    mmd -i "$m" ::/frag
    for i in $(seq 1 80); do head -c 5000 /dev/urandom > s.bin; mcopy -i "$m" s.bin "::/frag/s$i.bin"; done
    for i in $(seq 2 2 80); do mdel -i "$m" "::/frag/s$i.bin"; done
    offset=$(($(part_start d.img $nr) * 512))
    [ $nr = 1 ] && python3 "$HERE/fat_patch.py" d.img $offset boot $((512 + 492)) 4 2
    head -c 1500000 /dev/urandom > frag.bin
    mcopy -i "$m" frag.bin "::/frag/Fragmented File.bin"
    mcopy -i "$m" small.txt ::/frag/MTOOLS.TXT
    mcopy -i "$m" frag.bin ::/BACKWARD.BIN
    python3 "$HERE/fat_patch.py" d.img $offset reverse BACKWARD.BIN
    same_file "part $nr" frag.bin "$m" /BACKWARD.BIN
    pelto -w -dd.img "copy \"$p/frag/fragmented file.bin\" \"frag.out\"
copy \"$p/BACKWARD.BIN\" \"backward.out\"
copy \"$p/frag/mtools.txt\" \"mtools.out\"
logdir \"$p/frag/s7*\"
echo \"done\""
    expect_out "done"
    # mtools keeps the lower case of 8.3 names in flag bits; the name read
    # is in the case they say.
    expect_out "$(printf '%-33s%9d' s7.bin 5000)"
    cmp -s frag.bin frag.out || fail "part $nr: fragmented file read back differs"
    cmp -s frag.bin backward.out || fail "part $nr: file with a backward chain read back differs"
    cmp -s small.txt mtools.out || fail "part $nr: file written by mtools read back differs"

    # Delete and deltree down to an empty volume: every cluster comes back.
    pelto -w -dd.img "delete \"$p/BIG.BIN\"
delete \"$p/BACKWARD.BIN\"
deltree \"$p/many\"
deltree \"$p/Some Dir\"
echo \"step\"
deltree \"$p\"
logdir \"$p\"
echo \"done\""
    expect_out "done"
    mdir -i "$m" :: 2>&1 | grep -q "No files" || fail "part $nr: root not empty after deltree"
    free1=$(mdir -i "$m" :: | sed -n 's/ *\([0-9 ]*\) bytes free/\1/p' | tr -d ' ')
    [ "$free1" = "$free0" ] || fail "part $nr: $free1 bytes free after deleting all, $free0 before"
    fsck_part d.img $nr "delete and deltree"
done
finish
