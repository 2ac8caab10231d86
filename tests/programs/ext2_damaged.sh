#!/usr/bin/env bash
# Damaged ext2 volumes: block and inode numbers out of range, indirect
# blocks that point at themselves, directory records of length 0 or past
# their block, a directory without ".", a directory that contains its own
# parent, and superblocks and descriptors that do not fit the partition.
# Reading, archiving, writing and removing must end with an error message
# (no crash, no hang), and nothing outside the partition may change.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 e2fsck debugfs dumpe2fs
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/ext2_lib.sh"

mkdir -p src/dir/sub
printf 'hello\n' > src/top.txt
head -c 3000000 /dev/urandom > src/dir/big.bin
printf 'deep\n' > src/dir/sub/deep.txt
for i in $(seq 1 30); do printf '%s\n' $i > "src/dir/file $i.txt"; done
ext2_disk clean.img 40M 10 10
ext2_format clean.img 1 -r 0 -b 1024 -d src
ext2_format clean.img 2 -r 0 -b 1024 -d src
start=$(($(ext2_start clean.img 1) * 512))
end=$((start + $(ext2_size clean.img 1) * 512))

# poke <image> <byte offset in partition 1> <width 2|4> <value>
poke() {
    python3 -c 'import sys,struct
f=open(sys.argv[1],"r+b"); f.seek(int(sys.argv[2])); w=int(sys.argv[3])
f.write(struct.pack("<H" if w==2 else "<I", int(sys.argv[4],0)))' "$1" $((start + $2)) "$3" "$4"
}
block_of() { dbg clean.img 1 "bmap \"$1\" $2"; }
# Outside partition 1: the table, and partition 2 behind it.
outside() { { head -c "$start" "$1"; tail -c +$((end + 1)) "$1"; } | md5sum; }

ind=$(dbg clean.img 1 'stat /dir/big.bin' | sed -n 's/.*(IND):\([0-9]*\).*/\1/p')
dind=$(dbg clean.img 1 'stat /dir/big.bin' | sed -n 's/.*(DIND):\([0-9]*\).*/\1/p')
dirblock=$(block_of /dir 0)
rootblock=$(block_of / 0)
[ -n "$ind" ] && [ -n "$dind" ] && [ -n "$dirblock" ] || fail "cannot locate the structures"
# Byte offset of the record named $2 in directory block $1.
record_at() {
    python3 -c 'import sys,struct
d=open(sys.argv[1],"rb"); d.seek(int(sys.argv[2])); b=d.read(1024); o=0
while o < 1024:
    n,r,l=struct.unpack_from("<IHH",b,o)
    if b[o+8:o+8+l]==sys.argv[3].encode(): print(o); break
    o+=r' clean.img $((start + $1 * 1024)) "$2"
}
third=$(record_at "$dirblock" "file 1.txt")

# run_case <name> <expected message> <damage command...>: on a fresh copy
# of the image, after the damage, each script ends (the pelto helper fails
# on a crash or a hang) and at least one of them gives the message.
run_case() {
    local name=$1 message=$2
    shift 2
    cp clean.img d.img
    : > all.out
    "$@"
    local before
    before=$(outside d.img)
    printf 'x\n' > new.txt
    for script in 'logtree "{0:1}"
logdir "{0:1}/dir"
copy "{0:1}/dir/big.bin" "big.out"
copy "{0:1}/dir/sub/deep.txt" "deep.out"' 'fullzip "{0:1}" "a.000"' \
        'copy "new.txt" "{0:1}/dir/new.txt"
copy "new.txt" "{0:1}/dir/big.bin"
mkdir "{0:1}/dir/made"' 'delete "{0:1}/dir/big.bin"
deltree "{0:1}/dir"
deltree "{0:1}"'; do
        pelto -w -dd.img "$script"
        cat out >> all.out
    done
    [ "$(outside d.img)" = "$before" ] || fail "$name: bytes outside the partition changed"
    grep -qF "$message" all.out || fail "$name: no \"$message\""
}

run_case "indirect loop" "EXT2 ERROR: Block map loops" poke d.img $((ind * 1024)) 4 "$ind"
run_case "double indirect loop" "EXT2 ERROR: Block map loops" poke d.img $((dind * 1024)) 4 "$dind"
run_case "block out of range" "EXT2 ERROR: Block number out of range" \
    poke d.img $((ind * 1024 + 8)) 4 0x7FFFFFF0
bad="EXT2 ERROR: Damaged directory record"
run_case "record length 0" "$bad" poke d.img $((dirblock * 1024 + third + 4)) 2 0
run_case "record past its block" "$bad" poke d.img $((dirblock * 1024 + third + 4)) 2 2000
run_case "name longer than its record" "$bad" poke d.img $((dirblock * 1024 + third + 6)) 2 200
run_case "inode out of range" "EXT2 ERROR: Directory record with a bad inode number" \
    poke d.img $((dirblock * 1024 + third)) 4 0x00FFFFFF
run_case "no dot" 'EXT2 ERROR: Directory without "." and ".."' \
    poke d.img $((dirblock * 1024 + 8)) 2 0x78
run_case "root inside a directory" "EXT2 ERROR: Path too long" \
    poke d.img $((dirblock * 1024 + third)) 4 2
loop_case() {
    # "deep.txt" names the directory above its own: /dir/sub contains /dir.
    poke d.img $((subblock * 1024 + $(record_at "$subblock" deep.txt))) 4 "$dirino"
}
subblock=$(block_of /dir/sub 0)
dirino=$(dbg clean.img 1 'stat /dir' | sed -n 's/^Inode: \([0-9]*\).*/\1/p')
run_case "directory loop" "EXT2 ERROR: Path too long" loop_case
run_case "blocks count" "file system larger than its partition" poke d.img $((1024 + 4)) 4 0x7FFFFFFF
run_case "inodes per group" "Superblock refused: inodes per group" poke d.img $((1024 + 40)) 4 0
run_case "block size" "Superblock refused: block size" poke d.img $((1024 + 24)) 4 9
run_case "inode table" "EXT2 ERROR: Bad group descriptor" poke d.img $((2048 + 8)) 4 0x7FFFFFF0
run_case "bitmaps" "EXT2 ERROR: Bad group descriptor" poke d.img $((2048 + 0)) 4 0x7FFFFFF0
# A map that names the superblock or the inode table, and a bitmap that
# offers the inode table: refused, and the metadata stays as it was.
table=$(dumpe2fs "$(ext2_dev clean.img 1)" 2> /dev/null | sed -n '0,/Inode table at/s/.*Inode table at \([0-9]*\)-.*/\1/p')
metadata() { debugfs -w -R "$1" "$(ext2_dev d.img 1)" > /dev/null 2>&1; }
for damage in "sif /dir/big.bin block[0] 1" "sif /dir/big.bin block[2] $((table + 1))" \
    "freeb $table 8"; do
    message="EXT2 ERROR: Block map names file system metadata"
    [ "${damage%% *}" = freeb ] && message="EXT2 ERROR: Block bitmap damaged"
    run_case "$damage" "$message" metadata "$damage"
    dumpe2fs -h "$(ext2_dev d.img 1)" > /dev/null 2>&1 || fail "$damage: superblock destroyed"
    e2fsck -fn "$(ext2_dev d.img 1)" > fsck.out 2>&1
    grep -qE "garbage|Bad magic|Root inode" fsck.out && fail "$damage: metadata overwritten"
done
finish
