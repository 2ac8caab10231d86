#!/usr/bin/env bash
# Boot commands of both programs, and ramdisks and kernels loaded through the
# remote-file cache (tobrend -b: host files as the remote side). Every boot
# or power command ends the program with status 255 and its message. Nothing
# here opens a device: with -d the floppy is never read.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/cache_lib.sh"

mkdir r
fat_disk disk.img 100M
new_image second.img 60M
pelto -w -dsecond.img 'setpartitions "FAT16:20"
clean 1'

# A kernel image: setup sector count $2, "HdrS", a version string.
kernel() {
    python3 - "$1" "$2" "$3" <<'PY'
import struct, sys
path, setup, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
k = bytearray(size)
if size > 0x230:
    k[0x1F1] = setup
    k[0x202:0x206] = b'HdrS'
    struct.pack_into('<H', k, 0x20E, 0x300 - 512)
    k[0x300:0x30F] = b'2.6.99-cachetest'[:15]
open(path, 'wb').write(k)
PY
}
kernel r/vmlinuz 4 40000
kernel r/bad-setup 64 40000
kernel r/tiny 4 500
head -c 100000 /dev/urandom > r/rd.img
head -c 200000 /dev/urandom > r/z.raw
pelto 'filezip "r/z.raw" "r/z.img"'

# program | script | exit status | expected output line
while IFS='|' read -r program script code expected; do
    [ -z "$program" ] && continue
    if [ "$program" = pelto ]; then
        printf '%s\necho "continued"\n' "$script" > t.pto
        timeout -s KILL 60 "$BIN/pelto" -w -ddisk.img -dsecond.img t < /dev/null > raw.out 2>&1
        status=$?
        sed -e 's/\r$//' raw.out | tr '\r' '\n' > out
    else
        tobrend -b -w -ddisk.img -dsecond.img "$script"
    fi
    [ "$status" = "$code" ] || fail "$program $script: exit status $status, expected $code"
    grep -qxF -- "$expected" out || { fail "$program $script: missing '$expected'"; sed 's/^/    | /' out; }
done <<'TABLE'
pelto|hidebootprom|255|continued
pelto|loadramdisk "r/rd.img"|255|Error in t.pto, line 1: Ramdisks are not supported under Pelto
pelto|loadzramdisk "r/z.img"|255|Error in t.pto, line 1: Ramdisks are not supported under Pelto
pelto|linuxboot "r/vmlinuz" "root=/dev/ram" "r/rd.img"|255|Error in t.pto, line 1: LinuxBoot not supported under Pelto
pelto|poweroff|255|Error in t.pto, line 1: Power-off is not supported under Pelto
pelto|tftpboot "boot.img"|255|TFTP boot cancelled (Linux version)
pelto|hdboot|255|Booting from hard disk 0 partition 0 (master boot)
tobrend|hdboot|255|Boot cancelled (Linux version)
tobrend|hdboot :1|255|Booting from hard disk 0 partition 1 (type FAT16)
tobrend|hdboot 1:1|255|Booting from hard disk 1 partition 1 (type FAT16)
tobrend|hdboot 1|255|Booting from hard disk 1 partition 0 (master boot)
tobrend|hdboot 0 x|255|Error in t.tbr, line 1: Syntax error
tobrend|hdboot :x|255|Error in t.tbr, line 1: Bad partition number
tobrend|hdboot :2|255|Error in t.tbr, line 1: Invalid disk/partition
tobrend|hdboot 5:1|255|Error in t.tbr, line 1: Invalid disk/partition
tobrend|floppyboot|255|Cannot load boot sector - Replace floppy disk and press any key
tobrend|poweroff|255|Power Off cancelled (Linux version)
tobrend|poweroff now|255|Error in t.tbr, line 1: Too much arguments
tobrend|tftpboot "boot.img"|255|TFTP boot cancelled (Linux version)
tobrend|loadramdisk "r/rd.img"|255|97 Kb loaded to the ramdisk
tobrend|loadramdisk "r/rd.img"|255|Ramdisk install cancelled (Linux version)
tobrend|loadzramdisk "r/z.img"|255|195 Kb loaded to the ramdisk
tobrend|loadzramdisk "r/rd.img"|255|Error in t.tbr, line 1: Bad compressed ramdisk image
tobrend|linuxboot "r/vmlinuz"|255|Linux 2.6.99-cachetes
tobrend|linuxboot "r/vmlinuz" "root=/dev/ram" "r/rd.img"|255|Boot cancelled (Linux version)
tobrend|linuxboot "r/vmlinuz" "root=/dev/ram" "r/rd.img"|255|Ramdisk install cancelled (Linux version)
tobrend|linuxboot "r/bad-setup"|255|Error in t.tbr, line 1: Invalid kernel image
tobrend|linuxboot "r/tiny"|255|Error in t.tbr, line 1: Cannot open kernel image
TABLE

# Read directly from the remote side (size unknown), a compressed image
# ends with its last chunk.
tobrend -b -w -ddisk.img 'set CacheNever = "ON"
loadzramdisk "r/z.img"'
expect_out '195 Kb loaded to the ramdisk'

# The ramdisk passed through the cache and is kept there.
cache_list disk.img
grep -qxF 'r%rd.img 100000' cache.list || fail "ramdisk not in the cache"
grep -qxF 'r%z.img '"$(stat -c %s r/z.img)" cache.list || fail "compressed ramdisk not in the cache"

# A cached compressed image whose first 8192 bytes match the remote one but
# whose data is damaged: found unchanged, fails its CRC, the local copy is
# dropped and the image fetched again.
cp r/z.img z.bad
flip_byte z.bad 150000
$CACHETOOL write disk.img r%z.img=z.bad
tobrend -b -w -ddisk.img 'loadzramdisk "r/z.img"'
expect_out 'Remote file "r/z.img" found in the disk cache'
grep -qF 'Downloading "r/z.img" to the disk cache' out || fail "damaged copy not fetched again"
expect_out '195 Kb loaded to the ramdisk'
$CACHETOOL get disk.img r%z.img z.now && cmp -s z.now r/z.img || fail "damaged copy not replaced"

# A remote image that is itself damaged is fetched a bounded number of times.
cp z.bad r/zbad.img
tobrend -b -w -ddisk.img 'loadzramdisk "r/zbad.img"'
[ "$(count_out 'Downloading "r/zbad.img"')" = 3 ] || fail "damaged remote image: $(count_out Downloading) downloads"
expect_out 'Error in t.tbr, line 1: Bad compressed ramdisk image'

# A cached ramdisk whose data chunk is damaged is dropped and loaded again.
$CACHETOOL write disk.img r%rd.img=r/rd.img
$CACHETOOL flip disk.img chunk r%rd.img 2 7
tobrend -b -w -ddisk.img 'loadramdisk "r/rd.img"'
expect_out 'Corrupted file in the cache, removing it'
grep -qF 'Downloading "r/rd.img" to the disk cache' out || fail "damaged ramdisk not fetched again"
expect_out '97 Kb loaded to the ramdisk'
cache_list disk.img

finish
