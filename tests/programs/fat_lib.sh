# Helpers of the FAT driver black-box tests (sourced after disk_lib.sh): a
# disk image with a FAT32 partition 1 and a FAT16 partition 2 made by
# mkfs.fat, and checks with fsck.fat and mtools on single partitions.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs mkfs.fat fsck.fat mtype
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 TZ=UTC

part_field() { sfdisk_entries "$1" | sed -n "s/^$2 : .*$3= *\([0-9]*\).*/\1/p"; }
part_start() { part_field "$1" "$2" start; }
part_size() { part_field "$1" "$2" size; }

# fat_image <image> <size> <MB FAT32> <MB FAT16> [mkfs options...]: the two
# partitions formatted by mkfs.fat in layouts the driver accepts (FAT16
# with one reserved sector and 512 root entries, FAT32 with 32).
fat_image() {
    local image=$1 size=$2 mb32=$3 mb16=$4
    shift 4
    new_image "$image" "$size"
    pelto -w -d"$image" "setpartitions \"FAT32:$mb32 FAT16:$mb16\""
    local s1 n1 s2 n2
    s1=$(part_start "$image" 1) n1=$(part_size "$image" 1)
    s2=$(part_start "$image" 2) n2=$(part_size "$image" 2)
    mkfs.fat -F 32 -R 32 --offset "$s1" -h "$s1" "$@" "$image" $((n1 / 2)) > /dev/null 2>&1 ||
        fail "mkfs.fat FAT32"
    mkfs.fat -a -F 16 -R 1 -r 512 --offset "$s2" -h "$s2" "$@" "$image" $((n2 / 2)) > /dev/null 2>&1 ||
        fail "mkfs.fat FAT16"
}

# mt <image> <nr>: the mtools image argument of a partition.
mt() { echo "$1@@$(($(part_start "$1" "$2") * 512))"; }

# fsck_part <image> <nr> <what>: fsck.fat -n on a copy of the partition
# finds nothing to fix.
fsck_part() {
    dd if="$1" of=part.img bs=512 skip="$(part_start "$1" "$2")" count="$(part_size "$1" "$2")" \
        conv=sparse status=none
    if ! fsck.fat -n part.img > fsck.out 2>&1 || [ "$(wc -l < fsck.out)" -gt 2 ]; then
        fail "fsck.fat on partition $2 after $3"
        sed 's/^/    | /' fsck.out | head -20
    fi
    rm -f part.img
}

# same_file <what> <expected file> <mtools image> <path>: mtype reads the bytes.
same_file() {
    mtype -i "$3" "::$4" > got.bin 2> /dev/null || { fail "$1: mtype cannot read $4"; return; }
    cmp -s "$2" got.bin || fail "$1: $4 differs"
}
