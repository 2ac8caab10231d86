#!/usr/bin/env bash
# Restores cut off at random moments (SIGKILL, as a power loss or a reset
# would) and then run again to their end: fullunzip onto a FAT32 and onto
# an ext2 partition, incrunzip onto a host directory. Right after a kill a
# partition is either complete (the kill came before the first write or
# after the last) and clean to fsck, or no file system at all: blkid finds
# nothing, fsck.fat refuses it and e2fsck says "Bad magic number" at once.
# Every second run ends well: fsck.fat -n / e2fsck -fn silent, and the
# tree read back by mtools / debugfs equals the source. Every fourth stop
# is the break (SIGINT): status 255 (0 if done), no sanitizer report.
# KILLS (20) and SEED (18) choose the moments; the same seed gives the same
# moments (as fractions of the first, uninterrupted run).
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 fsck.fat mcopy e2fsck debugfs blkid
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
export MTOOLS_SKIP_CHECK=1 TZ=UTC
KILLS=${KILLS:-20}
RANDOM=${SEED:-18}

part_field() { sfdisk_entries disk.img | sed -n "s/^$1 : .*$2= *\([0-9]*\).*/\1/p"; }
# part_img <nr>: the partition copied to p.img.
part_img() {
    dd if=disk.img of=p.img bs=512 skip="$(part_field "$1" start)" count="$(part_field "$1" size)" \
        conv=sparse status=none
}

# About 12 MB: nested directories, small files, two larger ones, an empty
# one. The names are long names (mixed case, spaces) or upper-case short
# names, whose case FAT keeps without the case flags of the short slot.
python3 - <<'PY'
import os, random
random.seed(18)
for d in range(6):
    for s in range(3):
        path = f"src/Dir {d}/Sub {s}"
        os.makedirs(path, exist_ok=True)
        for f in range(8):
            with open(f"{path}/file {f}.txt", "wb") as out:
                out.write(random.randbytes(random.randrange(0, 20000)))
os.makedirs("src/EMPTY", exist_ok=True)
for name, size in (("big one.bin", 7000000), ("BIG2.BIN", 4000000)):
    with open(f"src/{name}", "wb") as out:
        out.write(random.randbytes(size))
PY

new_image disk.img 120M
pelto -w -ddisk.img 'setpartitions "FAT32:70 LINUX-EXT2:40"
clean 1
clean 2'
mcopy -s -i "disk.img@@$(($(part_field 1 start) * 512))" src/* ::/ || fail "mcopy of the source"
pelto -w -ddisk.img 'fullzip "{0:1}" "fat.000"
fullzip "src" "ext.000"
incrzip "src" "inc.000"'
refute_out "Error"
mkdir dst

# Checks after a run to its end: <kind> <what>.
check_done() {
    rm -rf got && mkdir got
    case $1 in
    fat32)
        part_img 1
        if ! fsck.fat -n p.img > fsck.out 2>&1 || [ "$(wc -l < fsck.out)" -gt 2 ]; then
            fail "fsck.fat after $2"
            sed 's/^/    | /' fsck.out | head
        fi
        mcopy -s -n -i p.img '::*' got/ 2> /dev/null || fail "mcopy after $2"
        ;;
    ext2)
        part_img 2
        e2fsck -fn p.img > fsck.out 2>&1 || { fail "e2fsck after $2"; sed 's/^/    | /' fsck.out | head; }
        debugfs -R "rdump / got" p.img 2> /dev/null
        ;;
    host) cp -r dst/. got/ ;;
    esac
    diff -r src got > diff.out || { fail "tree after $2"; head -5 diff.out; }
}

# Checks right after a kill: a partition that anything takes for a file
# system must be clean; otherwise nothing may take it for one, at once.
half_made=0
check_killed() {
    [ "$1" = host ] && return
    part_img "$([ "$1" = fat32 ] && echo 1 || echo 2)"
    if blkid -p p.img > /dev/null 2>&1; then
        if [ "$1" = fat32 ]; then
            fsck.fat -n p.img > fsck.out 2>&1 && [ "$(wc -l < fsck.out)" -le 2 ]
        else
            timeout 20 e2fsck -fn p.img > fsck.out 2>&1
        fi || { fail "$2: a file system that is not clean"; sed 's/^/    | /' fsck.out | head; }
        return
    fi
    half_made=$((half_made + 1))
    local t0=$(date +%s%N)
    timeout 20 e2fsck -fn p.img > fsck.out 2>&1
    local status=$? ms=$((($(date +%s%N) - t0) / 1000000))
    [ $status -eq 8 ] && grep -q "Bad magic number in super-block" fsck.out ||
        { fail "$2: e2fsck on the half-made volume (status $status)"; sed 's/^/    | /' fsck.out | head -5; }
    [ $ms -lt 5000 ] || fail "$2: e2fsck took $ms ms"
    fsck.fat -n p.img > fsck.out 2>&1 && fail "$2: fsck.fat takes the half-made volume for FAT"
}

# kind, partition or directory, restore command
cases=(
    "fat32|fullunzip \"fat.000\" 1"
    "ext2|fullunzip \"ext.000\" 2"
    "host|incrunzip \"inc.000\" \"dst\""
)
for c in "${cases[@]}"; do
    kind=${c%%|*} restore=${c#*|}
    printf '%s\n' "$restore" > r.pto
    start=$(date +%s%N)
    "$BIN/pelto" -w -ddisk.img r < /dev/null > raw.out 2>&1
    total=$((($(date +%s%N) - start) / 1000000)) # ms
    check_done "$kind" "$kind: the first run"
    half_made=0
    for k in $(seq 1 "$KILLS"); do
        at=$((RANDOM * total / 32768))
        "$BIN/pelto" -w -ddisk.img r < /dev/null > raw.out 2>&1 &
        pid=$!
        sleep "$((at / 1000)).$(printf '%03d' $((at % 1000)))"
        sig=$([ $((k % 4)) -eq 0 ] && echo INT || echo KILL)
        kill -$sig $pid 2> /dev/null
        wait $pid 2> /dev/null
        status=$?
        if [ $sig = INT ] && { ! [[ $status =~ ^(0|255)$ ]] || grep -q "Sanitizer\|runtime error" raw.out; }; then
            fail "$kind: break at $at ms: status $status $(grep -m1 "Sanitizer\|runtime error" raw.out)"
        fi
        check_killed "$kind" "$kind: $sig $k at $at of $total ms"
        pelto -w -ddisk.img "$restore"
        refute_out "Error"
        grep -q "Unzip: Done !\|Restoring incr archive" out || fail "$kind: run after kill $k"
        check_done "$kind" "$kind: the run after kill $k at $at ms"
    done
    echo "$kind: a run takes $total ms; $half_made of $KILLS kills left a half-made volume"
    [ "$kind" = host ] || [ $half_made -gt 0 ] || fail "$kind: no kill came during the writes"
done
finish
