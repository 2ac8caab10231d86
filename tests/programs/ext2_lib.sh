# Helpers of the ext2 driver black-box tests (sourced after disk_lib.sh):
# disk images with Linux partitions formatted by mke2fs in place, and
# checks with e2fsck and debugfs, which open a partition of the image
# through their "image?offset=" name. These functions keep their names
# and arguments; other tests source them.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs mke2fs e2fsck debugfs dumpe2fs
export TZ=UTC

# ext2_disk <image> <size> <MB...>: a blank image whose partitions 1, 2, ...
# are Linux partitions of these sizes, laid out by the program itself.
ext2_disk() {
    local image=$1 size=$2 layout=""
    shift 2
    for mb in "$@"; do layout+="LINUX-EXT2:$mb "; done
    new_image "$image" "$size"
    pelto -w -d"$image" "setpartitions \"${layout% }\""
}

ext2_start() { sfdisk_entries "$1" | sed -n "s/^$2 : start= *\([0-9]*\).*/\1/p"; }
ext2_size() { sfdisk_entries "$1" | sed -n "s/^$2 : .*size= *\([0-9]*\).*/\1/p"; }
# ext2_dev <image> <nr>: the e2fsprogs name of partition nr.
ext2_dev() { echo "$1?offset=$(($(ext2_start "$1" "$2") * 512))"; }

# ext2_format <image> <nr> [mke2fs options...]: mke2fs -t ext2 on the
# partition, filling all of it (in 1 KB units); options such as -r 0,
# -b 4096, -d <tree>, -I 256.
ext2_format() {
    local image=$1 nr=$2
    shift 2
    mke2fs -q -F -t ext2 "$@" -E offset=$(($(ext2_start "$image" "$nr") * 512)) "$image" \
        $(($(ext2_size "$image" "$nr") / 2))k > mke2fs.out 2>&1 || { fail "mke2fs $*"; cat mke2fs.out; }
}

# ext2_fsck <image> <nr> <what>: e2fsck -fn prints nothing beyond its
# header, its five passes and the summary line.
ext2_fsck() {
    e2fsck -fn "$(ext2_dev "$1" "$2")" > fsck.out 2>&1
    local status=$?
    if [ $status -ne 0 ] || grep -qvE '^(e2fsck [0-9]|Pass [1-5]: |.*: [0-9]+/[0-9]+ files )' fsck.out; then
        fail "e2fsck on partition $2 after $3 (status $status)"
        sed 's/^/    | /' fsck.out | head -20
    fi
}

# dbg <image> <nr> <request>: debugfs's answer to one request, read only.
dbg() { debugfs -R "$3" "$(ext2_dev "$1" "$2")" 2> /dev/null; }

# ext2_same <what> <expected file> <image> <nr> <path>: debugfs dumps the
# same bytes.
ext2_same() {
    rm -f got.bin
    dbg "$3" "$4" "dump \"$5\" got.bin" > /dev/null
    [ -f got.bin ] || { fail "$1: debugfs cannot dump $5"; return; }
    cmp -s "$2" got.bin || fail "$1: $5 differs"
}

# ext2_stat <image> <nr> <path> <field>: one field of debugfs stat, e.g.
# Links, Blockcount, Size, User, Group, Mode.
ext2_stat() {
    dbg "$1" "$2" "stat \"$3\"" | tr -s ' ' '\n' | sed -n "/^$4:\$/{n;p;q}"
}

# ext2_free <image> <nr>: the free block and inode counts of the superblock.
ext2_free() {
    dumpe2fs -h "$(ext2_dev "$1" "$2")" 2> /dev/null | sed -n 's/^Free \(blocks\|inodes\): *//p' | tr '\n' ' '
}
