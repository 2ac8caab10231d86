#!/usr/bin/env bash
# Scripts on ext4 volumes made by mke2fs -t ext4 (Debian's defaults:
# extents, 64-bit, flex_bg, metadata checksums, 256-byte inodes): listing,
# reading, copying in and out, overwrites, patch, mkdir, delete and
# deltree, each step checked by e2fsck -fn and debugfs; delete and deltree
# give every block and inode back; clean formats ext4 again with the same
# features, the label and a fresh UUID, while a blank partition still
# gets ext2; an ext3 volume is read; volumes that must not be written
# (journal to recover, encryption, verity, unknown features) are refused
# with their reason and stay byte for byte as they were. Records go in and
# out of directories with hashed indexes too.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs mke2fs e2fsck debugfs dumpe2fs cmp
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/ext2_lib.sh"

# mkfs_part <type> <image> <nr> [mke2fs options...]: mke2fs -t <type> with
# Debian's defaults for that type, filling the partition.
mkfs_part() {
    local type=$1 image=$2 nr=$3
    shift 3
    mke2fs -q -F -t "$type" "$@" -E offset=$(($(ext2_start "$image" "$nr") * 512)) "$image" \
        $(($(ext2_size "$image" "$nr") / 2))k > mke2fs.out 2>&1 || { fail "mke2fs -t $type $*"; cat mke2fs.out; }
}
# super_field <image> <nr> <dumpe2fs -h field>
super_field() {
    dumpe2fs -h "$(ext2_dev "$1" "$2")" 2> /dev/null | sed -n "s/^$3:[[:space:]]*//p"
}
# same_files <what> <image> <nr> <path=expected file>...: debugfs dumps
# each path with the expected bytes.
same_files() {
    local what=$1 image=$2 nr=$3 row
    shift 3
    for row in "$@"; do ext2_same "$what" "${row#*=}" "$image" "$nr" "${row%%=*}"; done
}
# absent <what> <image> <nr> <path>...: debugfs finds none of them.
absent() {
    local what=$1 image=$2 nr=$3 path
    shift 3
    for path in "$@"; do
        dbg "$image" "$nr" "stat \"$path\"" | grep -q '^Inode:' && fail "$what: $path still there"
    done
}

mkdir -p src/dir/sub src/big src/gone
printf 'hello ext4\n' > src/top.txt
printf 'to be deleted\n' > src/old.txt
head -c 5000000 /dev/urandom > src/dir/five.bin
head -c 70000 /dev/urandom > src/dir/sub/seventy.bin
for i in $(seq 1 300); do printf '%s\n' "$i" > "src/big/entry number $i.txt"; done
head -c 3000 /dev/urandom > src/gone/small.bin
ln -s top.txt src/fast
mkfifo src/fifo
head -c 10485760 /dev/urandom > ten.bin
head -c 250000 /dev/urandom > bigger.bin
printf 'x' > one.bin
printf 'hello ext4 from a script\n' > small.txt
printf 'name=${Basename};\n' > tpl.txt
printf 'name=t;\n' > patched

ext2_disk d.img 400M 100 100 60 60
mkfs_part ext4 d.img 1 -L SOURCE -d src
mkfs_part ext4 d.img 2 -L OLDLABEL
mkfs_part ext3 d.img 3 -d src
features=$(super_field d.img 1 "Filesystem features")
for f in has_journal extent 64bit flex_bg metadata_csum huge_file dir_nlink extra_isize; do
    grep -qw "$f" <<< "$features" || fail "mke2fs -t ext4 made no $f: $features"
done

# --- Reading, copying in and out, overwrites, patch, mkdir, delete, deltree
p="{0:1}"
pelto -w -dd.img "logdir \"$p/dir\"
copy \"$p/dir/five.bin\" \"five.out\"
copy \"$p/dir/sub/seventy.bin\" \"seventy.out\"
copy \"$p/top.txt\" \"top.out\"
mkdir \"$p/new/deeper\"
copy \"ten.bin\" \"$p/new/ten.bin\"
copy \"small.txt\" \"$p/new/deeper/small.txt\"
copy \"bigger.bin\" \"$p/top.txt\"
copy \"one.bin\" \"$p/dir/five.bin\"
append \"small.txt\" \"one.bin\" \"$p/new/appended.txt\"
patch \"tpl.txt\" \"$p/patched.cfg\"
delete \"$p/old.txt\"
deltree \"$p/big\"
deltree \"$p/gone\"
logtree \"$p\"
echo \"done\""
expect_out "done"
refute_out "ERROR"
expect_out "$(printf '%-33s%9d' five.bin 5000000)"
grep -q -- "+-new$" out || fail "logtree shows no new"
grep -q -- "+-deeper$" out || fail "logtree shows no deeper"
cmp -s src/dir/five.bin five.out || fail "five.bin read out differs"
cmp -s src/dir/sub/seventy.bin seventy.out || fail "seventy.bin read out differs"
cmp -s src/top.txt top.out || fail "top.txt read out differs"
ext2_fsck d.img 1 "scripted writes"
cat small.txt one.bin > appended
same_files "writes" d.img 1 /new/ten.bin=ten.bin /new/deeper/small.txt=small.txt \
    /top.txt=bigger.bin /dir/five.bin=one.bin /new/appended.txt=appended /patched.cfg=patched \
    /dir/sub/seventy.bin=src/dir/sub/seventy.bin
absent "delete and deltree" d.img 1 /old.txt /big /gone "/big/entry number 7.txt"
dbg d.img 1 "stat /new/ten.bin" | grep -q "^EXTENTS:" || fail "ten.bin was not written with extents"
[ "$(ext2_stat d.img 1 /new Links)" = 3 ] || fail "/new links $(ext2_stat d.img 1 /new Links)"
dbg d.img 1 'ls -l /new' | grep -qE '40755 .* deeper$' || fail "deeper: not a 0755 directory"
dbg d.img 1 'ls -l /new' | grep -qE '100755 \(1\) +0 +0 +10485760 .* ten.bin$' ||
    fail "ten.bin listing: $(dbg d.img 1 'ls -l /new')"
# Names compare with their case.
pelto -dd.img "logdir \"$p/DIR/*\""
expect_out "Error in t.pto, line 1: Cannot open directory"

# --- A run without -w writes nothing, yet goes on as if it had: the new
# directory is there for the copy into it.
cp d.img dry.img
pelto -dd.img "mkdir \"{0:2}/dry\"
copy \"one.bin\" \"{0:2}/dry/run.txt\"
echo \"dry run done\""
expect_out "dry run done"
cmp -s d.img dry.img || fail "a run without -w changed the image"
rm -f dry.img

# --- Every block and inode comes back: a tree copied in and deltree'd
# leaves the volume's free counts as mke2fs left them.
free0=$(ext2_free d.img 2)
script=""
for i in $(seq 1 150); do script+="copy \"one.bin\" \"{0:2}/tree/many/file $i.txt\""$'\n'; done
pelto -w -dd.img "mkdir \"{0:2}/tree/many\"
mkdir \"{0:2}/tree/a/b/c\"
copy \"ten.bin\" \"{0:2}/tree/a/b/c/ten.bin\"
copy \"bigger.bin\" \"{0:2}/tree/bigger.bin\"
$script
echo \"written\""
expect_out "written"
ext2_fsck d.img 2 "a tree written"
[ "$(ext2_free d.img 2)" != "$free0" ] || fail "nothing was allocated for the tree"
pelto -w -dd.img "deltree \"{0:2}/tree\"
echo \"done\""
expect_out "done"
refute_out "ERROR"
[ "$(ext2_free d.img 2)" = "$free0" ] || fail "free after deltree $(ext2_free d.img 2), before $free0"
ext2_fsck d.img 2 "deltree"

# --- clean keeps ext4: the same features as mke2fs -t ext4 on this
# partition, the label, a fresh UUID; the volume takes files again.
features2=$(super_field d.img 2 "Filesystem features")
uuid0=$(super_field d.img 2 "Filesystem UUID")
pelto -w -dd.img "clean 2 \"Lab Disk\"
copy \"bigger.bin\" \"{0:2}/after.bin\"
mkdir \"{0:2}/dir\"
echo \"done\""
expect_out "done"
refute_out "ERROR"
[ "$(super_field d.img 2 "Filesystem features")" = "$features2" ] ||
    fail "clean: features $(super_field d.img 2 "Filesystem features"), mke2fs: $features2"
[ "$(super_field d.img 2 "Filesystem volume name")" = "Lab Disk" ] || fail "clean: label"
uuid1=$(super_field d.img 2 "Filesystem UUID")
[ -n "$uuid1" ] && [ "$uuid1" != "$uuid0" ] || fail "clean: UUID $uuid1 (was $uuid0)"
[ "$(super_field d.img 2 "Inode size")" = 256 ] || fail "clean: inode size"
[ "$(super_field d.img 2 "Block size")" = 1024 ] || fail "clean: block size (a small partition)"
[ "$(super_field d.img 2 "Filesystem state")" = clean ] || fail "clean: state"
ext2_fsck d.img 2 "clean"
same_files "after clean" d.img 2 /after.bin=bigger.bin
dbg d.img 2 'ls /' | grep -q 'lost+found' || fail "clean: no lost+found"

# --- A blank partition still gets ext2 (no journal, no extents).
pelto -w -dd.img "blank 4
clean 4 \"PLAIN\""
refute_out "ERROR"
[ "$(super_field d.img 4 "Filesystem revision #")" = "0 (original)" ] ||
    fail "clean of a blank partition: $(super_field d.img 4 "Filesystem revision #")"
ext2_fsck d.img 4 "clean of a blank partition"

# --- ext3 is read.
pelto -w -dd.img "copy \"{0:3}/dir/five.bin\" \"five3.out\"
logdir \"{0:3}\""
cmp -s src/dir/five.bin five3.out || fail "ext3: five.bin read out differs"
grep -qF "top.txt" out || fail "ext3: no listing"

# --- Hashed directories (indexed by e2fsck -D): records added and removed
# keep the index sound.
mkfs_part ext4 d.img 4 -d src
e2fsck -fyD "$(ext2_dev d.img 4)" > /dev/null 2>&1
dbg d.img 4 "htree /big" | grep -q "Root node dump" || fail "e2fsck -D made no index for /big"
script=""
for i in $(seq 1 200); do script+="copy \"one.bin\" \"{0:4}/big/added entry $i\""$'\n'; done
pelto -w -dd.img "$script
delete \"{0:4}/big/entry number 17.txt\"
copy \"small.txt\" \"{0:4}/big/entry number 17.txt\"
echo \"done\""
expect_out "done"
refute_out "ERROR"
ext2_fsck d.img 4 "records in a hashed directory"
dbg d.img 4 "htree /big" | grep -q "Root node dump" || fail "/big lost its index"
same_files "hashed directory" d.img 4 "/big/added entry 200=one.bin" \
    "/big/entry number 17.txt=small.txt" "/big/entry number 18.txt=src/big/entry number 18.txt"

# --- Refusals: each volume stays as it was, byte for byte.
# feature | debugfs request | message
refusals=(
    "needs_recovery|feature needs_recovery|its journal needs recovery (it was not cleanly unmounted); mount it once in Linux or run e2fsck on it, then try again"
    "encrypt|feature encrypt|it may hold encrypted directories"
    "verity|feature verity|it may hold verity files"
    "unknown|ssv feature_incompat INCOMPAT|it uses features unknown to this driver"
)
for row in "${refusals[@]}"; do
    IFS='|' read -r name request message <<< "$row"
    mkfs_part ext4 d.img 4 -d src
    # An incompatible feature bit no e2fsprogs knows, beside the volume's own.
    incompat=$(od -An -tu4 -j $(($(ext2_start d.img 4) * 512 + 1024 + 96)) -N4 d.img | tr -d ' ')
    request=${request/INCOMPAT/$((incompat | 0x400000))}
    debugfs -w -R "$request" "$(ext2_dev d.img 4)" > /dev/null 2>&1
    cp d.img before.img
    pelto -w -dd.img "copy \"small.txt\" \"{0:4}/x.txt\""
    expect_out "EXT4 ERROR: Volume refused: $message"
    refute_out "EXT2 ERROR"
    pelto -w -dd.img "mkdir \"{0:4}/y\""
    expect_out "EXT4 ERROR: Volume refused: $message"
    cmp -s d.img before.img || fail "$name: the refused volume was written"
done
finish
