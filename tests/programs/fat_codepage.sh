#!/usr/bin/env bash
# Long names through the code page: the default table (code page 850), a
# table loaded with loadcodepage, and characters missing from the table;
# mtools shows the names in UTF-8.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mcopy mdir
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/fat_lib.sh"
export LC_ALL=C.UTF-8

fat_image d.img 400M 300 40
m=$(mt d.img 1)
printf 'x\n' > s.txt

# Byte 0x82 is e acute in code page 850.
pelto -w -dd.img "copy \"s.txt\" \"{0:1}/caf$(printf '\202').txt\""
mdir -i "$m" :: | grep -q "café.txt" || fail "default code page: café.txt not listed"

# A loaded table: byte 0x80 becomes U+0416 (Zhe).
python3 -c '
import struct, sys
codes = [ord(bytes([b]).decode("cp850")) for b in range(128, 256)]
codes[0] = 0x0416
sys.stdout.buffer.write(struct.pack("<128H", *codes))' > zhe.cp
pelto -w -dd.img "loadcodepage \"zhe.cp\"
copy \"s.txt\" \"{0:1}/$(printf '\200')-name.txt\""
mdir -i "$m" :: | grep -q "Ж-name.txt" || fail "loaded code page: Ж-name.txt not listed"

# Names written by mtools read back through the table; a character that
# the table lacks reads as "@" with a warning.
mcopy -i "$m" s.txt "::/Жx.txt"
mcopy -i "$m" s.txt "::/中.txt"
pelto -w -dd.img 'loadcodepage "zhe.cp"
logdir "{0:1}/*x.txt"
logdir "{0:1}/@.txt"
echo "done"'
expect_out "done"
# The log shows byte 0x80 in ISO-8859-1 (C cedilla).
LC_ALL=C expect_out "$(env LC_ALL=C printf '%-33s%9d' "$(printf '\307')x.txt" 2)"
expect_out "$(printf '%-33s%9d' "@.txt" 2)"
grep -q "FAT Warning: Character not found in current code page" out || fail "no warning for a missing character"
pelto -w -dd.img "loadcodepage \"zhe.cp\"
copy \"{0:1}/$(printf '\200')X.TXT\" \"back.txt\""
cmp -s s.txt back.txt || fail "file found by its code-page name reads back differently"
fsck_part d.img 1 "code-page names"
finish
