#!/usr/bin/env bash
# Short names that would collide: 2,000 long names sharing a 20-character
# prefix in one directory (among them two whose CRC tails are equal), a
# name equal to another entry's generated short name, and names in
# other case. fsck.fat finds no duplicate short names and mtools lists
# every long name.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mcopy mdir mmd
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/fat_lib.sh"

fat_image d.img 400M 300 40
m=$(mt d.img 1)
printf 'x\n' > s.txt

# The names, with a pair whose tails (CRC-32 of the name modulo 10^6,
# polynomial 0x04C11DB7, most significant bit first) are equal.
python3 - > names.txt <<'PY'
def crc(data):
    c = 0
    for b in data:
        c ^= b << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) & 0xFFFFFFFF if c & 0x80000000 else (c << 1) & 0xFFFFFFFF
    return c
seen, pair = {}, None
n = 0
while pair is None:
    n += 1
    name = "a shared prefix here %d.txt" % n
    t = crc(name.encode()) % 1000000
    if t in seen:
        pair = (seen[t], name)
    seen[t] = name
names = list(pair) + ["a shared prefix here %d.txt" % i for i in range(1, 2001) if "a shared prefix here %d.txt" % i not in pair]
for name in names[:2000]:
    print(name)
PY
[ "$(wc -l < names.txt)" -eq 2000 ] || fail "name list"

split -l 500 names.txt part.
for part in part.*; do
    script='mkdir "{0:1}/d"'$'\n'
    while IFS= read -r name; do script+="copy \"s.txt\" \"{0:1}/d/$name\""$'\n'; done < "$part"
    pelto -w -dd.img "${script}echo \"done\""
    expect_out "done"
done
mdir -i "$m" ::/d > mdir.out
for name in "$(sed -n 1p names.txt)" "$(sed -n 2p names.txt)" "$(sed -n 2000p names.txt)"; do
    grep -qF " $name" mdir.out || fail "mdir misses $name"
done
[ "$(grep -c ' a shared prefix here ' mdir.out)" -eq 2000 ] || fail "not 2000 long names listed"
[ "$(awk 'NF > 4 { print $1, $2 }' mdir.out | sort | uniq -d | wc -l)" -eq 0 ] ||
    fail "duplicate short names"
fsck_part d.img 1 "2,000 names with one prefix"

# A name that is another entry's short name, and case variants of a name.
mcopy -i "$m" s.txt "::/foo bar.txt"
pelto -w -dd.img 'copy "s.txt" "{0:1}/FOOBAR~1.TXT"
copy "s.txt" "{0:1}/Foo Bar.TXT"
copy "s.txt" "{0:1}/readme.txt"
copy "s.txt" "{0:1}/README.TXT"
logdir "{0:1}"
echo "done"'
expect_out "done"
expect_out "$(printf '%-33s%9d' 'foo bar.txt' 2)"
expect_out "$(printf '%-33s%9d' 'FOOBAR~1.TXT' 2)"
expect_out "$(printf '%-33s%9d' 'readme.txt' 2)"
refute_out "README.TXT"
mdir -i "$m" :: > mdir.out
grep -q "FOOBAR~1.TXT" mdir.out || fail "mdir misses FOOBAR~1.TXT"
[ "$(awk 'NF > 4 { print $1, $2 }' mdir.out | sort | uniq -d | wc -l)" -eq 0 ] ||
    fail "duplicate short names in the root"
fsck_part d.img 1 "colliding short names"

# Long names are kept up to 117 characters: longer ones are refused when
# written and cut when read.
m2=$(mt d.img 2)
n117=$(printf 'n%.0s' $(seq 1 113)).txt
n118=$(printf 'o%.0s' $(seq 1 114)).txt
n130=$(printf 'p%.0s' $(seq 1 126)).bin
mcopy -i "$m2" s.txt "::/$n130"
pelto -w -dd.img "copy \"s.txt\" \"{0:2}/$n117\"
logdir \"{0:2}/p*\"
copy \"s.txt\" \"{0:2}/$n118\""
expect_out "$(printf '%-33s%9d' "${n130:0:117}" 2)"
expect_out "ERROR: [FAT] Name longer than 117 characters"
expect_out "Error in t.pto, line 3: Could not copy the file (invalid filename ?)"
mdir -i "$m2" :: | grep -q " $n117\$" || fail "mdir misses the 117-character name"

# Short names that mtools stored with the lower-case flags of their slot
# (readme.txt, a.TXT, ABC.txt, a directory "lower") or with a long name
# (Makefile) are shown, archived, restored and copied in the case they had:
# mdir lists the same names after a fullzip and fullunzip, after a copy
# out to the host and back into another partition, and on the host.
fat_image c.img 200M 100 40
c1=$(mt c.img 1) c2=$(mt c.img 2)
mmd -i "$c1" ::/lower ::/UPPER
for name in readme.txt Makefile a.TXT ABC.txt UPPER.TXT x.c; do
    for dir in / /lower/ /UPPER/; do mcopy -i "$c1" s.txt "::$dir$name"; done
done
listing() { mdir -/ -b -i "$1" :: 2> /dev/null | sed 's|^::/||; s|/$||' | sort; }
listing "$c1" > case.before
grep -qx "lower/readme.txt" case.before && grep -qx "a.TXT" case.before ||
    fail "mtools did not keep the names' case: $(tr '\n' ' ' < case.before)"
# mtools shows a name kept by the flags in its short-name columns as it is.
mdir -i "$c1" :: 2> /dev/null | grep -q '^readme   txt ' || fail "mtools set no lower-case flags"
mkdir case.host
pelto -w -dc.img 'logdir "{0:1}"
fullzip "{0:1}" "case.000"
xcopy "{0:1}" "case.host"
xcopy "case.host" "{0:2}"
fullunzip "case.000" 1
echo "done"'
expect_out "done"
refute_out "Error"
expect_out "$(printf '%-33s%9d' 'readme.txt' 2)"
expect_out "$(printf '%-33s%9d' 'ABC.txt' 2)"
expect_out "$(printf '%-33s%9d' 'a.TXT' 2)"
expect_out "$(printf '%-33s%9d' 'UPPER.TXT' 2)"
(cd case.host && find . -mindepth 1 | sed 's|^\./||' | sort) > case.host.list
diff case.before case.host.list > case.diff || { fail "names on the host differ"; head case.diff; }
listing "$c1" > case.after
diff case.before case.after > case.diff || { fail "names after fullunzip differ"; head case.diff; }
listing "$c2" > case.copied
diff case.before case.copied > case.diff || { fail "names copied back differ"; head case.diff; }
# Written again, such a name has a long-name slot beside its short name.
mdir -i "$c1" :: 2> /dev/null | grep -q '^README   TXT .* readme\.txt$' ||
    fail "readme.txt restored without a long name"
fsck_part c.img 1 "fullunzip of names with lower-case flags"
fsck_part c.img 2 "copies of names with lower-case flags"
same_file "a name with lower-case flags, restored" s.txt "$c1" /lower/a.TXT

# The FAT16 root holds 512 slots: creation then fails.
pelto -w -dd.img 'set i = 0
:loop
set i = (${i}+1)
copy "s.txt" "{0:2}/F${i}.TXT"
if ${i} < 600 goto loop'
expect_out "ERROR: [FAT] Root directory full"
[ "$(mdir -b -i "$m2" :: | wc -l)" -ge 480 ] || fail "the FAT16 root holds fewer entries than expected"
fsck_part d.img 2 "a full FAT16 root"
finish
