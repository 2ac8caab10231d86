#!/usr/bin/env bash
# Full restores onto ext2 that must fail: archives that do not fit (blocks
# or inodes) and foreign archives are refused before anything is written;
# damaged archives (names that are no single component or come twice,
# nesting beyond 64 levels) fail the command, never followed by "Done". A
# dry run (without -w) changes nothing.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 e2fsck blkid
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
ZIPTOOL="$HERE/zip_tool.py"
ARCTOOL="$HERE/../archive/arctool.py"

# A partition of about 30 MB: some 30000 blocks and 7500 inodes.
new_image disk.img 40M
pelto -w -ddisk.img 'setpartitions "LINUX-EXT2:30"
clean 1'

# failed <archive> <message pattern>: the restore fails, tried twice, with
# the message; an archive that does not fit (TOO_SMALL set) is tried once and
# said not to fit.
failed() {
    pelto -w -ddisk.img "fullunzip \"$1\" 1"
    if [ -n "${TOO_SMALL:-}" ]; then
        refute_out "Unzip failed, trying again"
        expect_out "Error in t.pto, line 1: Unzip is not possible: the archive does not fit the partition"
    else
        expect_out "Unzip failed, trying again"
        expect_out "Error in t.pto, line 1: Unzip is not possible (bad archive ?)"
    fi
    grep -q -- "$2" out || { fail "$1: no message like '$2'"; sed 's/^/    | /' out | head; }
    refute_out "EXT2 Unzip: Done !"
}
# refused <archive> <message pattern>: the same, and the image stays as it was.
refused() {
    local sum
    sum=$(sha256sum < disk.img)
    failed "$@"
    [ "$(sha256sum < disk.img)" = "$sum" ] || fail "$1: a refused restore changed the image"
}

rm -rf big && mkdir big && head -c 40000000 /dev/zero > big/zeros
rm -rf wide && mkdir wide && (cd wide && seq -f 'f%g' 1 8000 | xargs touch)
rm -rf deep && mkdir deep && (cd deep && mkdir -p $(printf 'd/%.0s' $(seq 1 65)))
rm -rf ok && mkdir -p ok/x && printf 'y' > ok/y && printf 'z' > ok/x/z
pelto -w -ddisk.img 'fullzip "big" "big.000"
fullzip "wide" "wide.000"
fullzip "ok" "ok.000"'
TOO_SMALL=1 refused big.000 "EXT2 Unzip: the archive does not fit: it needs 39[0-9]* blocks of 1 KB, the partition holds 29[0-9]*$"
TOO_SMALL=1 refused wide.000 "EXT2 Unzip: the archive does not fit: it needs 8010 inodes (1 directories, 8000 files), the partition holds [0-9]* inodes"

# Archives edited in their description and written by arctool.py: another
# file-system identifier; names that are no single component.
python3 "$ZIPTOOL" full ok > ok.desc
edit() { # <description> <python expression on the list of lines `l`> <archive>
    python3 - "$1" "$2" > edited.desc << 'EOF'
import sys
l = open(sys.argv[1]).read().split("\n")
def name(i, fixed, new):
    entry = bytes.fromhex(l[i].split()[1])
    l[i] = l[i].split()[0] + " " + (entry[:fixed] + new + b"\0").hex()
exec(sys.argv[2])
print("\n".join(l), end="")
EOF
    python3 "$ARCTOOL" write edited.desc "$3" 1000000 || fail "cannot write $3"
}
edit ok.desc 'l[1] = "header " + b"FATx".hex() + l[1][15:]' fat.000
refused fat.000 "EXT2 Unzip: Incompatible archive type"
n=0
for bad in '' . .. a/b; do
    n=$((n + 1))
    edit ok.desc "name([i for i, s in enumerate(l) if s.startswith('file ')][0], 4, b'$bad')" f$n.000
    failed f$n.000 "EXT2 Unzip: damaged archive: an unusable name"
done
edit ok.desc "name([i for i, s in enumerate(l) if s.startswith('subdir ')][0], 16, b'..')" s.000
failed s.000 "EXT2 Unzip: damaged archive: an unusable name"
edit ok.desc "name([i for i, s in enumerate(l) if s.startswith('file ')][0], 4, b'x')" d.000
failed d.000 "EXT2 Unzip: two entries of a directory would have one name: x"
# Two names whose PC characters (0xB0, 0xB1) have no ISO-8859-1 form are
# one name on disk.
rm -rf pc && mkdir pc && touch pc/$'a\xb0' pc/$'a\xb1'
pelto -w -ddisk.img 'fullzip "pc" "pc.000"'
failed pc.000 "EXT2 Unzip: two entries of a directory would have one name: a"

# 65 levels below the root (more than pelto archives) fail once the
# directories are entered.
python3 "$ZIPTOOL" full deep > deep.desc && python3 "$ARCTOOL" write deep.desc deep.000 1000000 ||
    fail "cannot write deep.000"
failed deep.000 "EXT2 Unzip: directories nested deeper than 64 levels"
# The half-written volume is no file system yet: other tools say so at
# once, and nothing is written to it.
start=$(sfdisk_entries disk.img | sed -n 's/^1 : start= *\([0-9]*\).*/\1/p')
dd if=disk.img of=part.img bs=512 skip="$start" status=none
blkid -p part.img > blkid.out && fail "blkid finds a file system: $(cat blkid.out)"
timeout 20 e2fsck -fn part.img > e2fsck.out 2>&1
[ $? -eq 8 ] && grep -q "Bad magic number in super-block" e2fsck.out ||
    { fail "e2fsck on the half-written volume"; sed 's/^/    | /' e2fsck.out | head; }
rm -f part.img
pelto -w -ddisk.img 'copy "ok/y" "{0:1}/y"'
expect_out "Error in t.pto, line 1: Could not copy the file (invalid filename ?)"

# Without -w nothing is written.
pelto -w -ddisk.img 'fullunzip "ok.000" 1'
expect_out "EXT2 Unzip: Done !"
sum=$(sha256sum < disk.img)
pelto -ddisk.img 'fullunzip "ok.000" 1'
expect_out "EXT2 Unzip: Done !"
[ "$(sha256sum < disk.img)" = "$sum" ] || fail "a dry run changed the image"

finish
