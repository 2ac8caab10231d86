#!/usr/bin/env bash
# Archive creation from a FAT partition: fullzip of the whole file system
# carries its boot sectors and FAT's 15 attribute bytes with the entries;
# filters match FAT names without case; a subdirectory scan has no boot area.
# Usage: zip_fat.sh BIN_DIR
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mcopy
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/fat_lib.sh"
ARCTOOL="$HERE/../archive/arctool.py"
TOOL="$HERE/zip_tool.py"

fat_image disk.img 200M 100 60
M=$(mt disk.img 2)
mkdir -p src/Keep src/empty
printf 'readme\n' > src/Readme.TXT
printf 'notes\n' > src/notes.txt
printf 'data\n' > src/DATA.BIN
printf 'tmp\n' > src/Keep/a.TMP
head -c 70000 /dev/urandom > src/Keep/big.bin
mcopy -s -i "$M" src/* :: || fail "mcopy"

names() { python3 "$ARCTOOL" read "$1" > "$1.desc" && python3 "$TOOL" names "$1.desc"; }

# The whole partition: FATx, SA 0, DA 15, the boot sectors as on the disk.
pelto -ddisk.img 'fullzip "{0:2}/" "fat.000"'
names fat.000 > got || fail "fullzip of the FAT partition: $(tail -2 out)"
# Names as the driver gives them: short names in capitals but where their
# lower-case flags (which mcopy set on notes.txt, empty, a.TMP, big.bin)
# say otherwise, long names kept.
printf '%s\n' "D empty" "D Keep" "F DATA.BIN 5" "F notes.txt 6" "F Readme.TXT 7" \
    "F Keep/a.TMP 4" "F Keep/big.bin 70000" > want
diff want got || fail "FAT tree listing"
header=$(sed -n 2p fat.000.desc)
[ "${header:7:8}" = "46415478" ] && [ "${header:31:8}" = "00000f00" ] ||
    fail "FAT header $header"
boot=$(sed -n 3p fat.000.desc | cut -d' ' -f2)
[ ${#boot} -gt 0 ] && [ $((${#boot} % 1024)) -eq 0 ] || fail "boot area of ${#boot} hex digits"
sectors=$((${#boot} / 1024))
expected=$(dd if=disk.img bs=512 skip="$(part_start disk.img 2)" count="$sectors" status=none |
    od -An -v -tx1 | tr -d ' \n')
[ "$boot" = "$expected" ] || fail "boot area differs from the partition's first $sectors sectors"

# The archive restores: onto the FAT32 partition (the directory sizes it
# lays out come from the archive's block counts), then read back by mtools.
pelto -w -ddisk.img 'fullunzip "fat.000" 1'
mkdir restored
mcopy -s -n -m -i "$(mt disk.img 1)" '::*' restored/ 2> mcopy.err || fail "mcopy after fullunzip"
# Paths compared without case (short names come back in capitals), contents exactly.
sums() { (cd "$1" && find . -type f -exec md5sum {} + | tr a-z A-Z | sort; find . -type d | tr a-z A-Z | sort); }
diff <(sums src) <(sums restored) > diff.out || { fail "restored tree differs"; head -5 diff.out; }
fsck_part disk.img 1 "fullunzip of a scanned FAT16 partition"

# Filters without case on FAT: *.txt takes Readme.TXT too; keep/* takes Keep.
pelto -ddisk.img $'filter - "*.txt"\nfilter - "keep/*.tmp"\nincrzip "{0:2}/" "filt.000"'
names filt.000 > got || fail "filtered incrzip: $(tail -2 out)"
printf '%s\n' "D empty" "D Keep" "F DATA.BIN 5" "F Keep/big.bin 70000" > want
diff want got || fail "FAT filters without case"

# A subdirectory: no boot area; the contents as on the partition.
pelto -ddisk.img 'fullzip "{0:2}/Keep" "sub.000"'
names sub.000 > got || fail "subdirectory fullzip: $(tail -2 out)"
printf '%s\n' "F a.TMP 4" "F big.bin 70000" > want
diff want got || fail "FAT subdirectory listing"
[ "$(sed -n 3p sub.000.desc)" = "boot " ] || fail "a subdirectory scan has a boot area"
mkdir -p back
pelto -ddisk.img $'source archive "sub.000"\ndestination path "back"\nfilter - "none"\ncopyarchive'
cmp -s back/big.bin src/Keep/big.bin || fail "content of big.bin through full -> path"

# Long names make long paths: a chain whose deepest file lies 896 bytes
# down is archived and restored onto the other partition whole.
seg=$(printf 'p%.0s' $(seq 1 99))
d=long
for i in 1 2 3 4 5 6 7 8; do d=$d/$i$seg; done
deepfile=file_$(printf 'f%.0s' $(seq 1 80))
mkdir -p "lp/$d"
printf 'far down\n' > "lp/$d/$deepfile"
mcopy -s -i "$M" lp/long :: || fail "mcopy of the long chain"
pelto -ddisk.img 'fullzip "{0:2}/" "fatlong.000"'
names fatlong.000 | grep -qx "F $d/$deepfile 9" || fail "the deepest file is not in the archive"
pelto -w -ddisk.img 'fullunzip "fatlong.000" 1'
mcopy -n -i "$(mt disk.img 1)" "::$d/$deepfile" deep.got 2> mcopy.err ||
    fail "mcopy of the deepest file after fullunzip: $(head -2 mcopy.err)"
[ "$(cat deep.got 2> /dev/null)" = "far down" ] || fail "the deepest file after fullunzip"
fsck_part disk.img 1 "fullunzip of a FAT tree with long paths"

finish
