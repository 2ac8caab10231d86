#!/usr/bin/env bash
# Damaged archives never touch the restore's target: for a table of damages
# (a flipped byte in each fragment, a truncated, a missing and a foreign
# fragment) fullunzip from host files, from fragments on a partition and
# (the batch program) through the disk cache, incrunzip onto a host
# directory and copyarchive to a path all fail before their first write:
# the target partition is byte-identical and the directory stays empty.
# Archives from the independent writer (first fragment's CRC over the
# header as first written) are read by every command.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mcopy mdir mdel
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/cache_lib.sh"
ARCTOOL="python3 $HERE/../archive/arctool.py"

new_image disk.img 120M
mkdir -p src/sub tree/d
for n in 1 2 3; do head -c 600000 /dev/urandom > src/f$n.bin; done
printf 'small\n' > src/sub/s.txt
for n in 1 2 3; do head -c 500000 /dev/urandom > tree/d/g$n.bin; done
pelto -w -ddisk.img 'setpartitions "FAT16:40 FAT16:40"
clean 1
clean 2
copy "src/f1.bin" "{0:1}/f1.bin"
copy "src/f2.bin" "{0:1}/f2.bin"
copy "src/f3.bin" "{0:1}/f3.bin"
mkdir "{0:1}/sub"
copy "src/sub/s.txt" "{0:1}/sub/s.txt"
set FragmentSize = "512K"
fullzip "{0:1}" "f.000"
incrzip "tree" "i.000"'
[ -f f.003 ] && [ -f i.002 ] || fail "archives of several fragments expected"
off1=$(($(sfdisk_entries disk.img | sed -n 's/^1 : start= *\([0-9]*\).*/\1/p') * 512))
part1() { dd if=disk.img bs=1M iflag=skip_bytes,count_bytes skip="$off1" count=$((40 << 20)) \
  status=none | md5sum; }

# Sound archives restore: ours and the independent writer's.
python3 "$HERE/../archive/arctool.py" read f.000 > f.desc || fail "independent reader refuses f.000"
$ARCTOOL write f.desc p.000 600000 || fail "independent writer failed"
pelto -w -ddisk.img 'fullunzip "p.000" 1
checkarchive "p.000"
set FragmentSize = "512K"
source archive "p.000"
destination archive "q.000"
copyarchive
fulldump "p.000"'
grep -q "^Archive p.000 is sound: 2 directories, 4 files, 1800006 bytes in [0-9]* fragments$" out ||
  fail "checkarchive: $(grep Archive out)"
refute_out ERROR
python3 "$HERE/../archive/arctool.py" read q.000 | cmp -s - f.desc || fail "copy differs"
mdir -i "disk.img@@$off1" -/ :: > tree.out 2>&1 || fail "mtools cannot list the restore"
for n in 1 2 3; do
  mcopy -n -i "disk.img@@$off1" "::f$n.bin" got.bin && cmp -s got.bin src/f$n.bin ||
    fail "f$n.bin restored wrong"
done

# The damages, applied to copies named bad.*; $1 is the archive's base.
damage() {
  local base=$1 how=$2 other=i
  [ "$base" = i ] && other=f
  rm -f bad.* && for f in "$base".0*; do cp "$f" "bad.${f##*.}"; done
  case $how in
  flip*) local f=bad.00${how#flip}
    flip_byte "$f" $(($(stat -c %s "$f") / 2)) ;;
  truncate) truncate -s -100 bad.001 ;;
  missing) rm bad.002 ;;
  foreign) cp $other.001 bad.001 ;;
  esac
}
damages=(flip0 flip1 flip2 flip3 truncate missing foreign)

for how in "${damages[@]}"; do
  damage f "$how"
  before=$(part1)
  # From host files.
  pelto -w -ddisk.img 'fullunzip "bad.000" 1'
  expect_out "Error in t.pto, line 1: Cannot open archive"
  [ "$(part1)" = "$before" ] || fail "$how: host-file restore wrote to the target"
  # From fragments on another partition.
  mdel -i "disk.img@@$((off1 + (40 << 20)))" '::bad.*' 2> /dev/null
  for f in bad.*; do mcopy -i "disk.img@@$((off1 + (40 << 20)))" "$f" "::$f" 2> /dev/null; done
  pelto -w -ddisk.img 'fullunzip "{0:2}/bad.000" 1'
  expect_out "Error in t.pto, line 1: Cannot open archive"
  [ "$(part1)" = "$before" ] || fail "$how: restore from a partition wrote to the target"
  # Through the disk cache of the batch program, emptied first.
  tobrend -b -w -ddisk.img 'clean -1
fullunzip "bad.000" 1'
  [ "$(part1)" = "$before" ] || fail "$how: restore through the cache wrote to the target"
  # Host files without the cache are read through first as well.
  tobrend -b -w -ddisk.img 'set CacheNever = "ON"
fullunzip "bad.000" 1'
  expect_out "Error in t.tbr, line 2: Cannot open archive"
  [ "$(part1)" = "$before" ] || fail "$how: restore without the cache wrote to the target"
  case $how in flip3 | foreign) continue ;; esac
  # Incremental restores onto a host directory.
  damage i "$how"
  rm -rf dst && mkdir dst
  pelto -ddisk.img 'incrunzip "bad.000" "dst"'
  expect_out "Error in t.pto, line 1: Cannot open archive"
  pelto -ddisk.img 'source iarchive "bad.000"
destination path "dst"
copyarchive'
  expect_out "Error in t.pto, line 3: Cannot open source"
  [ -z "$(ls dst)" ] || fail "$how: a damaged incremental archive was partly restored"
done
# A damaged download is refused as it enters the cache and never kept.
damage f flip2
tobrend -b -w -ddisk.img 'clean -1
fullunzip "bad.000" 1'
expect_out "ERROR: [CacheRF] Fragment data damaged (CRC error)"
cache_list disk.img
! grep -q '^bad.002 ' cache.list || fail "a damaged fragment stayed in the cache"
finish
