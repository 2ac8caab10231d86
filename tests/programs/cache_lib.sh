# Helpers of the cache partition tests (sourced after disk_lib.sh). The
# "remote" files of the batch program started with -b are host files in
# the scratch directory; the cache partition is the space behind the FAT
# partition, checked with the independent reader tests/fs/cachetool.py.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mcopy
CACHETOOL="python3 $HERE/../fs/cachetool.py"
export MTOOLS_SKIP_CHECK=1

# flip_byte file offset: damages one byte by turning every bit of it. A
# fixed value would be no damage where the byte already holds it, one time
# in 256 in packed random data.
flip_byte() {
    local byte=$(($(od -An -tu1 -j "$2" -N1 "$1") ^ 255))
    printf "\\x$(printf '%02x' "$byte")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# tobrend <options...> <script text>: the batch program on t.tbr; its
# output (line ends stripped) in out, its exit status in $status. The
# script ends in a line that fails on purpose, since the program waits
# after its script.
tobrend() {
    local script=${*: -1}
    local options=("${@:1:$#-1}")
    printf '%s\nno-such-command\n' "$script" > t.tbr
    timeout -s KILL 300 "$BIN/tobrend" "${options[@]}" t < /dev/null > raw.out 2> raw.err
    status=$?
    sed -e 's/\r$//' raw.out | tr '\r' '\n' > out
    if grep -q 'Sanitizer' raw.err; then fail "sanitizer report: $(head -3 raw.err)"; fi
}

# count_out <text>: how many output lines contain the text.
count_out() { grep -cF -- "$1" out; }

# fat_disk <image> <size>: a FAT16 partition of 40 MB at the start of a
# blank image; the rest of the image is the cache partition.
fat_disk() {
    new_image "$1" "$2"
    pelto -w -d"$1" 'setpartitions "FAT16:40"
clean 1'
    FATOFF=$(($(sfdisk_entries "$1" | sed -n 's/^1 : start= *\([0-9]*\).*/\1/p') * 512))
}

# fat_same <image> <fat name> <host file>: the FAT copy equals the file.
fat_same() {
    rm -f fat.copy
    mcopy -n -i "$1@@$FATOFF" "::$2" fat.copy 2> /dev/null && cmp -s fat.copy "$3" ||
        fail "FAT file $2 differs from $3"
}

# cache_list <image>: the independent reader verifies the whole cache and
# lists "name size" lines in cache.list.
cache_list() {
    $CACHETOOL list "$1" > cache.list || { fail "cache reader found damage"; sed 's/^/    | /' cache.list; }
}
