#!/usr/bin/env bash
# FAT volumes formatted by mkfs.fat in layouts other than our own (more
# reserved sectors, other root sizes, a FAT32 backup boot sector inside 6
# reserved sectors): every file command works on them, and clean and
# fullunzip write our own layout again. Checked with fsck.fat -n (silent)
# and mtools, one partition of a disk image per row.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs mkfs.fat mcopy mdir
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/fat_lib.sh"

head -c 300000 /dev/urandom > big.bin
printf 'small\n' > small.txt
# reserved <image> <nr> / root_entries: from the boot sector.
bpb16() { od -A n -t u2 -j $(($(part_start "$1" "$2") * 512 + $3)) -N 2 "$1" | tr -d ' '; }

# type:MB, mkfs.fat options, then reserved sectors and root entries that
# mkfs.fat writes, and those of our own layout
while read -r part options reserved root ours_reserved ours_root; do
    what="mkfs.fat${options//_/ }"
    new_image d.img 130M
    pelto -w -dd.img "setpartitions \"$part\""
    s=$(part_start d.img 1) n=$(part_size d.img 1)
    mkfs.fat ${options//_/ } --offset "$s" -h "$s" d.img $((n / 2)) > /dev/null 2>&1 ||
        { fail "$what"; continue; }
    [ "$(bpb16 d.img 1 14)/$(bpb16 d.img 1 17)" = "$reserved/$root" ] ||
        fail "$what: layout $(bpb16 d.img 1 14)/$(bpb16 d.img 1 17), expected $reserved/$root"
    m=$(mt d.img 1)
    mcopy -i "$m" small.txt ::/FROM.TXT
    pelto -w -dd.img 'mkdir "{0:1}/Long Directory"
copy "big.bin" "{0:1}/Long Directory/big file.bin"
copy "small.txt" "{0:1}/Gone Soon.txt"
copy "{0:1}/FROM.TXT" "from.txt"
copy "{0:1}/Long Directory/big file.bin" "out.bin"
delete "{0:1}/Gone Soon.txt"
copy "small.txt" "{0:1}/KEEP.TXT"
fullzip "{0:1}" "f.000"'
    refute_out "Error"
    refute_out "refused"
    cmp -s big.bin out.bin || fail "$what: a file read back differs"
    cmp -s small.txt from.txt || fail "$what: the file mcopy wrote reads differently"
    fsck_part d.img 1 "file commands on $what"
    same_file "$what" big.bin "$m" "/Long Directory/big file.bin"
    same_file "$what" small.txt "$m" /KEEP.TXT
    mdir -i "$m" ::/ 2> /dev/null | grep -q "Gone Soon" && fail "$what: a deleted file is listed"
    # A full restore onto it and a quick format: our own layout.
    pelto -w -dd.img 'fullunzip "f.000" 1'
    expect_out "FAT Unzip: Done !"
    [ "$(bpb16 d.img 1 14)/$(bpb16 d.img 1 17)" = "$ours_reserved/$ours_root" ] ||
        fail "$what: fullunzip left layout $(bpb16 d.img 1 14)/$(bpb16 d.img 1 17)"
    fsck_part d.img 1 "fullunzip onto $what"
    same_file "$what, restored" big.bin "$m" "/Long Directory/big file.bin"
    same_file "$what, restored" small.txt "$m" /FROM.TXT
    pelto -w -dd.img 'clean 1'
    [ "$(bpb16 d.img 1 14)/$(bpb16 d.img 1 17)" = "$ours_reserved/$ours_root" ] ||
        fail "$what: clean left layout $(bpb16 d.img 1 14)/$(bpb16 d.img 1 17)"
    fsck_part d.img 1 "clean of $what"
done <<'ROWS'
FAT16:60 _ 4 512 1 512
FAT16:60 _-F_16_-a 1 512 1 512
FAT16:60 _-F_16_-R_8 8 512 1 512
FAT16:60 _-F_16_-r_224 4 256 1 512
FAT16:60 _-F_16_-a_-r_224 1 224 1 512
FAT32:100 _-F_32_-R_6 6 0 32 0
FAT32:100 _-F_32 32 0 32 0
ROWS
finish
