#!/usr/bin/env bash
# Full restores of damaged archives: records of a valid FATx archive with
# single bytes changed (counts, sizes, pop counts, subtree figures, names,
# attributes). Whatever a restore makes of them, the program ends normally,
# nothing outside the target partition changes, and a restore either fails
# with the command's message or leaves a volume that fsck.fat accepts.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 sfdisk fsck.fat
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
TOOL="$HERE/fatrestore_tool.py"
ARCTOOL="$HERE/../archive/arctool.py"

mkdir -p tree/a/b/c tree/empty "tree/Long Directory Name"
for n in 1 2 3 4 5 6; do head -c $((n * 9000)) /dev/urandom > "tree/a/file $n.bin"; done
printf 'x' > tree/a/b/c/X.TXT
printf 'short' > "tree/Long Directory Name/some text.txt"
: > tree/EMPTY.TXT
python3 "$TOOL" describe tree good.desc --boot fat32

new_image disk.img 300M
pelto -w -ddisk.img 'setpartitions "FAT16:20 FAT32:120 FAT16:20"
clean 2'
start=$(sfdisk --dump disk.img | sed -n 's/.*start= *\([0-9]*\),.*/\1/p' | sed -n 2p)
size=$(sfdisk --dump disk.img | sed -n 's/.*size= *\([0-9]*\),.*/\1/p' | sed -n 2p)
outside() {
    { head -c $((start * 512)) disk.img; tail -c +$(((start + size) * 512 + 1)) disk.img; } | sha256sum
}
before=$(outside)

# mutate <seed>: the description with one byte of one record changed.
mutate() {
    python3 - "$1" good.desc > bad.desc <<'PY'
import random, sys
random.seed(int(sys.argv[1]))
lines = open(sys.argv[2]).read().split("\n")
kinds = ("header", "dirsum", "filesum", "dir", "subdir", "file")
n = random.choice([i for i, l in enumerate(lines) if l.split(" ")[0] in kinds])
kind, data = lines[n].split(" ")
b = bytearray.fromhex(data)
# Mostly the fixed fields; names and attributes too.
limit = {"header": 20, "dirsum": 20, "filesum": 4, "dir": 24, "subdir": 16, "file": 4}[kind]
at = random.randrange(len(b) if random.random() < 0.25 else min(limit, len(b)))
if kind == "header" and at < 4:
    at = 4 + random.randrange(16)
b[at] = random.choice([0, 1, 2, 0x7F, 0xFF, b[at] ^ (1 << random.randrange(8))])
lines[n] = kind + " " + b.hex()
print("\n".join(lines), end="")
PY
}

refused=0
restored=0
for seed in $(seq 1 30); do
    mutate $seed
    python3 "$ARCTOOL" write bad.desc bad.arc 100000000 2> /dev/null || continue
    pelto -w -ddisk.img 'fullunzip "bad.arc" 2'
    if grep -q "FAT Unzip: Done !" out && ! grep -q "Unzip is not possible" out; then
        restored=$((restored + 1))
        dd if=disk.img of=part.img bs=512 skip=$start count=$size conv=sparse status=none
        fsck.fat -n part.img > fsck.out 2>&1 && [ "$(wc -l < fsck.out)" -le 2 ] ||
            { fail "seed $seed: the restored volume needs repair"; sed 's/^/    | /' fsck.out | head; }
    else
        refused=$((refused + 1))
        # A damaged size can make the archive seem larger than the partition.
        grep -qxE "Error in t.pto, line 1: Unzip is not possible( \(bad archive \?\)|: the archive does not fit the partition)" out ||
            fail "seed $seed: no refusal message"
    fi
    grep -q "AddressSanitizer\|runtime error" raw.err && fail "seed $seed: sanitizer report"
done
echo "$refused damaged archives refused, $restored restored"
[ "$refused" -ge 5 ] || fail "too few damaged archives were noticed"
[ "$(outside)" = "$before" ] || fail "a restore wrote outside its partition"
finish
