#!/usr/bin/env bash
# The remote-file cache end to end: the batch program (-b, host files as the
# remote side) copies remote files through the cache partition behind a
# FAT partition; the independent cache reader checks every CRC chain, and
# mtools the copies.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs mcopy
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/cache_lib.sh"

mkdir r
head -c 100000 /dev/urandom > r/a.bin
fat_disk disk.img 100M
COPY='set CacheAlways = "ON"
copy "r/a.bin" "{0:1}/a.bin"'

# First fetch writes the copy, a second finds it unchanged.
tobrend -b -w -ddisk.img "$COPY"
expect_out 'Downloading "r/a.bin" to the disk cache....'
cache_list disk.img
grep -qxF 'r%a.bin 100000' cache.list || fail "cache does not list r%a.bin 100000"
fat_same disk.img a.bin r/a.bin
tobrend -b -w -ddisk.img "$COPY"
expect_out 'Remote file "r/a.bin" found in the disk cache'
[ "$(count_out Downloading)" = 0 ] || fail "unchanged file fetched again"
fat_same disk.img a.bin r/a.bin

# A changed remote file (first bytes) is fetched again; a change beyond
# the compared 8192 bytes of a long file is not noticed.
printf 'CHANGED' | dd of=r/a.bin conv=notrunc status=none
tobrend -b -w -ddisk.img "$COPY"
expect_out 'Remote file "r/a.bin" has changed'
[ "$(count_out Downloading)" = 1 ] || fail "changed file not fetched"
fat_same disk.img a.bin r/a.bin
cp r/a.bin a.orig
printf 'LATE' | dd of=r/a.bin bs=1 seek=50000 conv=notrunc status=none
tobrend -b -w -ddisk.img "$COPY"
expect_out 'Remote file "r/a.bin" found in the disk cache'
fat_same disk.img a.bin a.orig
cp a.orig r/a.bin

# A remote file that cannot be read (here a directory) is an error, never
# an empty file in the cache.
mkdir r/unreadable
tobrend -b -w -ddisk.img 'set CacheAlways = "ON"
copy "r/unreadable" "{0:1}/u.bin"'
expect_out 'ERROR: Cannot cache remote file'
cache_list disk.img
! grep -qF 'r%unreadable' cache.list || fail "an unreadable remote file was cached"

# A small file read to its end must match the copy's size too.
printf 'tiny' > r/t.txt
tobrend -b -w -ddisk.img 'set CacheAlways = "ON"
copy "r/t.txt" "{0:1}/t.txt"'
printf 'tiny+' > r/t.txt
tobrend -b -w -ddisk.img 'set CacheAlways = "ON"
copy "r/t.txt" "{0:1}/t.txt"'
expect_out 'Remote file "r/t.txt" has changed'
fat_same disk.img t.txt r/t.txt

# A flipped byte in the third data chunk: the copy fails its CRC while
# read, the entry is dropped and the file fetched again.
$CACHETOOL flip disk.img chunk r%a.bin 2 100
tobrend -b -w -ddisk.img "$COPY"
expect_out 'Corrupted file in the cache, removing it'
grep -q '^ERROR: CacheFS.\[ReadChunk\] Invalid current CRC at 65520 : ' out ||
    fail "no chunk CRC message"
expect_out 'Downloading "r/a.bin" to the disk cache....'
fat_same disk.img a.bin r/a.bin
cache_list disk.img

# A flipped byte in a directory entry drops it (and those after it).
$CACHETOOL flip disk.img entry 0 3
tobrend -b -w -ddisk.img "$COPY"
expect_out 'CacheFS: CRC does not match'
expect_out 'Corrupted directory entry in the cache, removing it'
expect_out 'Downloading "r/a.bin" to the disk cache....'
cache_list disk.img
[ "$(wc -l < cache.list)" = 1 ] || fail "entries after the damaged one survived"
tobrend -b -w -ddisk.img 'set CacheAlways = "ON"
copy "r/t.txt" "{0:1}/t.txt"'
$CACHETOOL flip disk.img entry 1 508
tobrend -b -w -ddisk.img 'set CacheAlways = "ON"
copy "r/t.txt" "{0:1}/t.txt"'
expect_out 'CacheFS: Chained CRC does not match'

# CacheNever and CacheAlways off read the remote file directly.
for setting in 'CacheNever = "ON"' 'CacheAlways = "OFF"'; do
    cp r/t.txt r/n.txt
    tobrend -b -w -ddisk.img "set CacheAlways = \"ON\"
set $setting
copy \"r/n.txt\" \"{0:1}/n.txt\""
    [ "$(count_out 'disk cache')" = 0 ] || fail "$setting: the cache was used"
    fat_same disk.img n.txt r/n.txt
done
cache_list disk.img
grep -q '^r%n.txt' cache.list && fail "uncached file in the cache"

# A cache the independent writer laid out is read: its copy is found
# unchanged and copied out.
head -c 70000 /dev/urandom > r/w.bin
$CACHETOOL write disk.img r%w.bin=r/w.bin r%a.bin=r/a.bin
tobrend -b -w -ddisk.img 'set CacheAlways = "ON"
copy "r/w.bin" "{0:1}/w.bin"
copy "r/a.bin" "{0:1}/a.bin"'
expect_out 'Remote file "r/w.bin" found in the disk cache'
expect_out 'Remote file "r/a.bin" found in the disk cache'
fat_same disk.img w.bin r/w.bin
fat_same disk.img a.bin r/a.bin

# CacheReserve: a file that uses 640 sectors (10 chunks) reserves 800, or
# exactly 640 when it is off.
head -c 300000 /dev/urandom > r/c.bin
for reserve in ON OFF; do
    $CACHETOOL write disk.img
    tobrend -b -w -ddisk.img "set CacheAlways = \"ON\"
set CacheReserve = \"$reserve\"
copy \"r/c.bin\" \"{0:1}/c.bin\""
    expected=$([ $reserve = ON ] && echo '513 800 300000' || echo '513 640 300000')
    [ "$($CACHETOOL entry disk.img 0)" = "$expected" ] ||
        fail "CacheReserve $reserve: entry $($CACHETOOL entry disk.img 0), expected $expected"
    cache_list disk.img
done

# The 513th file wraps to entry 0 and leaves a directory of one entry.
mkdir -p many
pairs=()
for i in $(seq 512); do
    printf 'file %d' "$i" > many/$i
    pairs+=("f$i=many/$i")
done
$CACHETOOL write disk.img "${pairs[@]}"
cache_list disk.img
[ "$(wc -l < cache.list)" = 512 ] || fail "the writer's 512 entries are not all listed"
tobrend -b -w -ddisk.img "$COPY"
cache_list disk.img
[ "$(cat cache.list)" = 'r%a.bin 100000' ] || fail "513th file: $(head -3 cache.list)"
[ "$($CACHETOOL entry disk.img 0 | cut -d' ' -f1)" = $((513 + 512 * 64)) ] ||
    fail "513th file not placed after the data of the 512th"

# A full archive of three fragments restored onto the FAT partition: every
# fragment passes through the cache (and is read ahead from it); a second
# restore finds them all unchanged.
fat_disk src.img 100M
mkdir -p tree/sub
head -c 700000 /dev/urandom > tree/one.bin
head -c 600000 /dev/urandom > tree/sub/two.bin
printf 'text\n' > tree/sub/three.txt
mcopy -s -i "src.img@@$FATOFF" tree/one.bin tree/sub ::/ || fail "cannot fill the source"
pelto -ddisk.img -dsrc.img 'set FragmentSize = "512k"
fullzip "{1:1}" "r/arc.000"'
fragments=$(ls r/arc.* | wc -l)
[ "$fragments" -ge 3 ] || fail "archive of $fragments fragments"
$CACHETOOL write disk.img
for run in fetch find; do
    tobrend -b -w -ddisk.img 'fullunzip "r/arc.000" 1'
    refute_out 'Error in t.tbr, line 1'
    fat_same disk.img one.bin tree/one.bin
    fat_same disk.img sub/two.bin tree/sub/two.bin
    fat_same disk.img sub/three.txt tree/sub/three.txt
done
# (each fragment is opened three times: checked before the first write,
# scanned when the archive opens, then restored)
[ "$(count_out 'found in the disk cache')" = $((3 * fragments)) ] || fail "second restore fetched again"
refute_out 'Downloading' 
cache_list disk.img
[ "$(grep -c '^r%arc' cache.list)" = "$fragments" ] || fail "fragments missing from the cache"

# A cached fragment that is shorter than its header says (its first part
# still matches the server's) is found before the restore writes: the local
# copy is dropped and fetched again, and the restore goes on.
head -c 300000 r/arc.001 > arc.short
$CACHETOOL write disk.img r%arc.000=r/arc.000 r%arc.001=arc.short
tobrend -b -w -ddisk.img 'fullunzip "r/arc.000" 1'
grep -qF "ERROR: [CheckFragments] fragment length 300000, header says" out ||
    fail "short cached fragment not found"
expect_out 'WARNING: Damaged copy dropped from the disk cache, fetching it again'
grep -qF 'Downloading "r/arc.001"' out || fail "dropped fragment not fetched again"
refute_out 'Error in t.tbr, line 1'
fat_same disk.img sub/two.bin tree/sub/two.bin

# The same for a compressed single file whose cached copy has bad data.
head -c 200000 /dev/urandom > z.raw
pelto 'filezip "z.raw" "r/z.img"'
cp r/z.img z.bad
flip_byte z.bad 150000
$CACHETOOL write disk.img r%z.img=z.bad
tobrend -b -w -ddisk.img 'fileunzip "r/z.img" "{0:1}/z.raw"'
expect_out 'Remote file "r/z.img" found in the disk cache'
grep -qF 'Downloading "r/z.img"' out || fail "damaged container not fetched again"
refute_out 'Error in t.tbr, line 1'
fat_same disk.img z.raw z.raw

# Reclaiming: in a cache of 4 cylinders (16128 sectors) two files of 3 MB
# fit, a third makes the driver keep only it; a file larger than the whole
# cache stops the program.
fat_disk small.img $((25 * 4032 * 512))
for f in p q s; do head -c 3000000 /dev/urandom > r/$f.bin; done
tobrend -b -w -dsmall.img 'set CacheAlways = "ON"
copy "r/p.bin" "{0:1}/p.bin"
copy "r/q.bin" "{0:1}/q.bin"'
cache_list small.img
[ "$(wc -l < cache.list)" = 2 ] || fail "two files do not fit"
tobrend -b -w -dsmall.img 'set CacheAlways = "ON"
copy "r/s.bin" "{0:1}/s.bin"'
grep -qF 'Cache space exhausted, trying to clean on the fly' out || fail "no reclaim message"
cache_list small.img
[ "$(cat cache.list)" = 'r%s.bin 3000000' ] || fail "reclaim kept: $(cat cache.list)"
[ "$($CACHETOOL entry small.img 0 | cut -d' ' -f1)" = 513 ] || fail "reclaimed file not at 513"
fat_same small.img s.bin r/s.bin
head -c 9000000 /dev/urandom > r/huge.bin
tobrend -b -w -dsmall.img 'set CacheAlways = "ON"
copy "r/huge.bin" "{0:1}/huge.bin"'
expect_out 'FATAL ERROR: cache space is too short'
[ "$status" = 255 ] || fail "too large a file: exit status $status"

finish
