#!/usr/bin/env bash
# Scripts on NTFS volumes made by mkntfs and filled by wimapply (through
# libntfs-3g, as Windows' own tools would leave them): listing, reading,
# copying in and out, overwrites, append, patch, mkdir, delete and deltree,
# then ntfsfix -n finds the volume clean and ntfscat reads back what was
# written; a run without -w changes nothing; clean makes a fresh NTFS
# with the label, the partition's start in the boot sector, and takes
# files again; names compare without case; volumes that must not be
# written (hibernated by Windows, BitLocker) are refused with their reason
# and stay byte for byte as they were.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs mkntfs ntfsfix ntfscat ntfscp ntfsls ntfslabel wimcapture wimapply cmp od
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/ext2_lib.sh"

# part_out <image> <nr>: the partition into part.img; part_in puts it back.
part_out() { dd if="$1" of=part.img bs=512 skip="$(ext2_start "$1" "$2")" count="$(ext2_size "$1" "$2")" status=none; }
part_in() { dd if=part.img of="$1" bs=512 seek="$(ext2_start "$1" "$2")" conv=notrunc status=none; }
# ntfs_format <image> <nr> <label> [tree]: mkntfs on the partition, then
# the tree applied by wimapply.
ntfs_format() {
    local image=$1 nr=$2
    rm -f part.img
    truncate -s $(($(ext2_size "$image" "$nr") * 512)) part.img
    mkntfs -q -F -Q -L "$3" -p "$(ext2_start "$image" "$nr")" -H 64 -S 63 part.img > mkntfs.out 2>&1 ||
        { fail "mkntfs"; cat mkntfs.out; }
    if [ -n "${4:-}" ]; then
        wimcapture "$4" tree.wim > /dev/null 2>&1 && wimapply tree.wim part.img > wim.out 2>&1 ||
            { fail "wimapply"; cat wim.out; }
    fi
    part_in "$image" "$nr"
}
# ntfs_check <image> <nr> <what>: ntfsfix -n finds nothing to repair.
ntfs_check() {
    part_out "$1" "$2"
    ntfsfix -n part.img > fix.out 2>&1 || { fail "ntfsfix -n after $3"; sed 's/^/    | /' fix.out; }
}
# same_files <what> <path=expected file>...: ntfscat of part.img gives
# the expected bytes.
same_files() {
    local what=$1 row
    shift
    for row in "$@"; do
        ntfscat part.img "${row%%=*}" > got.bin 2> /dev/null || { fail "$what: no ${row%%=*}"; continue; }
        cmp -s "${row#*=}" got.bin || fail "$what: ${row%%=*} differs"
    done
}
listing() { ntfsls -p "$1" part.img 2> /dev/null | grep -vx '\.\.\?'; }

mkdir -p src/dir/sub src/big src/gone
printf 'hello ntfs\n' > src/top.txt
printf 'to be deleted\n' > src/old.txt
head -c 5000000 /dev/urandom > src/dir/five.bin
head -c 70000 /dev/urandom > src/dir/sub/seventy.bin
for i in $(seq 1 300); do printf '%s\n' "$i" > "src/big/entry number $i.txt"; done
head -c 3000 /dev/urandom > src/gone/small.bin
head -c 10485760 /dev/urandom > ten.bin
head -c 250000 /dev/urandom > bigger.bin
printf 'x' > one.bin
printf 'hello ntfs from a script\n' > small.txt
printf 'name=${Basename};\n' > tpl.txt
printf 'name=t;\n' > patched

new_image d.img 300M
pelto -w -dd.img 'setpartitions "NTFS:100 NTFS:100 NTFS:60"'
ntfs_format d.img 1 SOURCE src
ntfs_format d.img 2 OLDLABEL

# --- Reading, copying in and out, overwrites, patch, mkdir, delete, deltree
p="{0:1}"
pelto -w -dd.img "logdir \"$p/dir\"
logdir \"$p\"
copy \"$p/dir/five.bin\" \"five.out\"
copy \"$p/DIR/SUB/seventy.bin\" \"seventy.out\"
copy \"$p/top.txt\" \"top.out\"
mkdir \"$p/new/deeper\"
copy \"ten.bin\" \"$p/new/ten.bin\"
copy \"small.txt\" \"$p/new/deeper/small.txt\"
copy \"bigger.bin\" \"$p/top.txt\"
copy \"one.bin\" \"$p/dir/five.bin\"
copy \"$p/dir/sub/seventy.bin\" \"$p/new/copied.bin\"
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
grep -q '^\$MFT' out && fail "the volume's own files are listed"
grep -q -- "+-new$" out || fail "logtree shows no new"
grep -q -- "+-deeper$" out || fail "logtree shows no deeper"
cmp -s src/dir/five.bin five.out || fail "five.bin read out differs"
cmp -s src/dir/sub/seventy.bin seventy.out || fail "seventy.bin read out differs"
cmp -s src/top.txt top.out || fail "top.txt read out differs"
ntfs_check d.img 1 "scripted writes"
cat small.txt one.bin > appended
same_files "writes" /new/ten.bin=ten.bin /new/deeper/small.txt=small.txt \
    /top.txt=bigger.bin /dir/five.bin=one.bin /new/appended.txt=appended /patched.cfg=patched \
    /dir/sub/seventy.bin=src/dir/sub/seventy.bin /new/copied.bin=src/dir/sub/seventy.bin
for gone in /old.txt /big /gone; do
    ntfsls -p "$gone" part.img > /dev/null 2>&1 && fail "$gone still there"
done
[ "$(listing /new | sort | tr '\n' ' ')" = "appended.txt copied.bin deeper ten.bin " ] ||
    fail "listing of /new: $(listing /new | tr '\n' ' ')"

# --- A run without -w writes nothing, yet goes on as if it had: the new
# directory is there for the copy into it.
cp d.img dry.img
pelto -dd.img "mkdir \"{0:2}/dry\"
copy \"one.bin\" \"{0:2}/dry/run.txt\"
copy \"{0:2}/dry/run.txt\" \"dry.out\"
echo \"dry run done\""
expect_out "dry run done"
cmp -s one.bin dry.out || fail "the dry run did not read back what it wrote"
cmp -s d.img dry.img || fail "a run without -w changed the image"
rm -f dry.img dry.out

# --- A tree written and removed again leaves the volume clean.
script=""
for i in $(seq 1 150); do script+="copy \"one.bin\" \"{0:2}/tree/many/file $i.txt\""$'\n'; done
pelto -w -dd.img "mkdir \"{0:2}/tree/many\"
copy \"ten.bin\" \"{0:2}/tree/ten.bin\"
$script
deltree \"{0:2}/tree\"
copy \"bigger.bin\" \"{0:2}/kept.bin\"
echo \"done\""
expect_out "done"
refute_out "ERROR"
ntfs_check d.img 2 "a tree written and removed"
same_files "after deltree" /kept.bin=bigger.bin
[ "$(listing / | tr '\n' ' ')" = "kept.bin " ] || fail "left after deltree: $(listing / | tr '\n' ' ')"

# --- An NTFS volume in a partition of a FAT type (as a GUID partition
# table's basic data partition reaches the drivers) is read as NTFS.
cp d.img fat.img
printf '\014' | dd of=fat.img bs=1 seek=466 conv=notrunc status=none
pelto -w -dfat.img "copy \"{0:2}/kept.bin\" \"kept.out\"
copy \"one.bin\" \"{0:2}/one.bin\""
refute_out "ERROR"
cmp -s bigger.bin kept.out || fail "NTFS in a FAT32-LBA partition: kept.bin read out differs"
dd if=fat.img of=part.img bs=512 skip="$(ext2_start d.img 2)" count="$(ext2_size d.img 2)" status=none
ntfsfix -n part.img > fix.out 2>&1 || fail "ntfsfix -n after writing NTFS in a FAT32-LBA partition"
rm -f fat.img kept.out

# --- clean: a fresh NTFS with the label and the partition's start in the
# boot sector (Windows' boot code reads it there); it takes files again.
pelto -w -dd.img "clean 3 \"Lab Disk\"
copy \"bigger.bin\" \"{0:3}/after.bin\"
mkdir \"{0:3}/dir\"
echo \"done\""
expect_out "done"
refute_out "ERROR"
ntfs_check d.img 3 "clean"
[ "$(ntfslabel part.img 2> /dev/null)" = "Lab Disk" ] || fail "clean: label $(ntfslabel part.img 2>&1)"
[ "$(od -An -tu4 -j28 -N4 part.img | tr -d ' ')" = "$(ext2_start d.img 3)" ] ||
    fail "clean: hidden sectors $(od -An -tu4 -j28 -N4 part.img)"
same_files "after clean" /after.bin=bigger.bin

# --- Refusals: each volume stays as it was, byte for byte.
# Windows hibernated (or Fast Startup): its hibernation file in use.
ntfs_format d.img 3 HIBER
mkdir -p hib
{ printf 'HIBR'; head -c 8188 /dev/zero; } > hib/hiberfil.sys
part_out d.img 3
ntfscp part.img hib/hiberfil.sys hiberfil.sys > /dev/null 2>&1 && part_in d.img 3 || fail "no hibernation file"
# BitLocker: its boot sector's signature.
cp d.img locked.img
printf -- '-FVE-FS-' | dd of=locked.img bs=1 seek=$(($(ext2_start d.img 2) * 512 + 3)) conv=notrunc status=none
for row in "d.img|3|Windows left it hibernated or with Fast Startup" \
    "locked.img|2|it is encrypted with BitLocker; decrypt it in Windows first"; do
    IFS='|' read -r image nr why <<< "$row"
    cp "$image" before.img
    pelto -w -d"$image" "copy \"one.bin\" \"{0:$nr}/x.bin\""
    grep -qF "NTFS ERROR: Volume refused: $why" out || fail "refusal '$why': $(grep ERROR out)"
    cmp -s "$image" before.img || fail "refused volume ($why) was written"
done

finish
