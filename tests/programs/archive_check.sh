#!/bin/sh
# checkarchive in both programs: sound full and incremental archives of
# several fragments report the counts the independent reader
# (tests/archive/arctool.py) finds; damaged copies fail with their first
# problem, its fragment file and byte offset.
# Usage: archive_check.sh BIN_DIR
. "$(dirname "$0")/needs.sh"
needs python3
set -eu
BIN=$(cd "$1" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
ARCTOOL="$HERE/../archive/arctool.py"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
fail=0

run() { # program script-lines... -> out.txt (plain line ends)
    program=$1
    shift
    printf '%s\n' "$@" >s.pto
    # The batch program reads host files directly rather than through a
    # cache partition (there is none here); it waits after its script, so
    # the script ends on an unknown command.
    printf '%s\n' 'set CacheNever = "ON"' "$@" exit >s.tbr
    if [ "$program" = pelto ]; then
        timeout -s KILL 120 "$BIN/pelto" -d s </dev/null >raw.txt 2>&1 || true
    else
        timeout -s KILL 120 "$BIN/tobrend" -b -d s </dev/null >raw.txt 2>&1 || true
    fi
    tr -d '\r' <raw.txt >out.txt
}

mkdir -p tree/a/b tree/c tree/d
head -c 1500000 /dev/urandom >tree/big
head -c 32768 /dev/urandom >tree/a/chunk
printf 'x' >tree/a/b/one
: >tree/c/empty
for i in $(seq 1 40); do echo "$i" >tree/d/f$i; done
run pelto 'set FragmentSize = "100"' 'fullzip "tree" "full.000"' 'incrzip "tree" "incr.000"'
# One fragment large enough to be read by two threads at once, half each.
mkdir large && head -c 20000000 /dev/urandom >large/noise
run pelto 'fullzip "large" "large.000"'

# Sound archives: the counts of the independent reader.
for arc in full incr; do
    want=$(python3 "$ARCTOOL" read $arc.000 | python3 -c '
import sys, glob
lines = sys.stdin.read().split("\n")
dirs = sum(1 for l in lines if l.startswith(("dir ", "idir ")))
files = [l for l in lines if l.startswith(("file ", "ifile "))]
size = sum(len(l) - 5 for l in lines if l.startswith("data ")) // 2
print("Archive %s is sound: %d directories, %d files, %d bytes in %d fragments"
      % (sys.argv[1], dirs, len(files), size, len(glob.glob(sys.argv[1][:-3] + "[0-9][0-9][0-9]"))))
' $arc.000)
    for program in pelto tobrend; do
        run $program "checkarchive \"$arc.000\""
        if grep -qx "$want" out.txt && ! grep -q "Error in s\..*, line [12]:" out.txt; then echo "ok   $program $arc"; else
            echo "FAIL $program $arc: want '$want'"
            tail -3 out.txt
            fail=1
        fi
    done
done

# A dump through the general copy (a filter that matches nothing forces it)
# reports the real sum of file sizes.
sum=$(python3 "$ARCTOOL" read full.000 | sed -n 's/^header //p' | python3 -c '
import struct, sys
print(struct.unpack("<I", bytes.fromhex(sys.stdin.read().strip())[16:20])[0])')
run pelto 'set DumpFormat = "h"' 'filter - "no such path"' 'fulldump "full.000"'
if grep -qE "^Sum of file sizes +: $sum\$" out.txt && [ "$sum" -gt 1500000 ]; then
    echo "ok   dump sum"
else
    echo "FAIL dump sum: want $sum"
    fail=1
fi

for program in pelto tobrend; do
    run $program 'checkarchive "large.000"'
    grep -q "large.000 is sound: 1 directories, 1 files, 20000000 bytes in 1 fragments" out.txt ||
        { echo "FAIL $program large"; fail=1; }
done

# Damages: each on a fresh copy of the archive, with the message expected.
# The archive header's counts are patched with the fragment CRC made right,
# so only the count is wrong.
damage() { # archive kind
    rm -rf dmg && mkdir dmg && cp $1.[0-9][0-9][0-9] dmg/
    python3 - "$ARCTOOL" "dmg/$1" "$2" <<'EOF'
import os, struct, sys
sys.path.insert(0, os.path.dirname(sys.argv[1]))
import arctool
base, kind = sys.argv[2], sys.argv[3]
if kind.startswith("flip"):  # flip [fragment byte]: by default .001, byte 5000
    fragment, at = kind.split()[1:] or ["001", "5000"]
    with open(base + "." + fragment, "r+b") as f:
        f.seek(int(at))
        b = f.read(1)
        f.seek(int(at))
        f.write(bytes([b[0] ^ 0x40]))
elif kind == "truncate":
    os.truncate(base + ".001", os.path.getsize(base + ".001") - 100)
elif kind == "missing":
    os.remove(base + ".002")
elif kind in ("dirs", "files"):
    data = bytearray(open(base + ".000", "rb").read())
    at = 24 if kind == "dirs" else 28
    struct.pack_into("<I", data, at, struct.unpack_from("<I", data, at)[0] + 1)
    struct.pack_into("<I", data, 16, arctool.crc32(bytes(data[20:])))
    open(base + ".000", "wb").write(data)
EOF
}
while IFS='|' read -r arc kind message; do
    damage "$arc" "$kind"
    run pelto "checkarchive \"dmg/$arc.000\""
    got=$(grep -o "Archive dmg/$arc.000 is damaged: .*" out.txt | head -1 || true)
    if printf '%s\n' "$got" | grep -qE "^Archive dmg/$arc.000 is damaged: $message\$"; then
        echo "ok   $arc $kind"
    else
        echo "FAIL $arc $kind: got '$got'"
        fail=1
    fi
done <<EOF
full|flip|data damaged: CRC of bytes 20 to $(($(stat -c %s full.001))) is [0-9A-F]{8}, header says [0-9A-F]{8} in fragment dmg/full.001 at byte 20
full|truncate|fragment length $(($(stat -c %s full.001) - 100)), header says $(stat -c %s full.001) in fragment dmg/full.001 at byte $(($(stat -c %s full.001) - 100))
full|missing|fragment missing \(the stream holds [0-9]+ of [0-9]+ bytes\) in fragment dmg/full.002 at byte 0
incr|missing|fragment missing \(the stream holds [0-9]+ of [0-9]+ bytes\) in fragment dmg/incr.002 at byte 0
full|files|file summary holds fewer than the header's 45 files in fragment dmg/full.000 at byte [0-9]+
large|flip 000 3000|data damaged: CRC of bytes 20 to $(stat -c %s large.000) is [0-9A-F]{8}, header says [0-9A-F]{8} in fragment dmg/large.000 at byte 20
large|flip 000 $(($(stat -c %s large.000) - 3000))|data damaged: CRC of bytes 20 to $(stat -c %s large.000) is [0-9A-F]{8}, header says [0-9A-F]{8} in fragment dmg/large.000 at byte 20
incr|dirs|directory record 5 unreadable \(the header announces 6\) in fragment dmg/incr.003 at byte $(($(stat -c %s incr.003) - 2))
EOF
exit $fail
