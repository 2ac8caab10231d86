#!/usr/bin/env bash
# Random runs of mkdir, copy (new names and overwrites, sizes around the
# block and indirect-block boundaries), delete and deltree on 1 KB and
# 2 KB volumes, mirrored in a host directory: afterwards e2fsck -fn finds
# nothing to fix and debugfs rdump gives back exactly the mirror.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/ext2_lib.sh"

cat > gen.py <<'PY'
import os, random, shutil, sys
random.seed(int(sys.argv[1]))
sizes = [0, 1, 1023, 1024, 1025, 2048, 12 * 1024, 13 * 1024, 70000, 268 * 1024, 300000, 1200000]
os.makedirs("pool", exist_ok=True)
for i, s in enumerate(sizes):
    with open("pool/f%d" % i, "wb") as f:
        f.write(os.urandom(s))
shutil.rmtree("mirror", ignore_errors=True)
os.makedirs("mirror")
dirs, lines = [""], []
def files(d):
    return [x for x in os.listdir("mirror/" + d) if os.path.isfile("mirror/%s/%s" % (d, x))]
for step in range(int(sys.argv[2])):
    r, d = random.random(), random.choice(dirs)
    at = lambda name: (d + "/" + name) if d else name
    if r < 0.15 and len(dirs) < 40:
        dirs.append(at("d%d" % step))
        lines.append('mkdir "{0:1}/%s"' % dirs[-1])
        os.makedirs("mirror/" + dirs[-1])
    elif r < 0.7:
        old = files(d)
        name = random.choice(old) if old and random.random() < 0.3 else \
            "file %d %s" % (step, "x" * random.randint(0, 60))
        src = "pool/f%d" % random.randrange(len(sizes))
        lines.append('copy "%s" "{0:1}/%s"' % (src, at(name)))
        shutil.copy(src, "mirror/" + at(name))
    elif r < 0.9 and files(d):
        name = at(random.choice(files(d)))
        lines.append('delete "{0:1}/%s"' % name)
        os.remove("mirror/" + name)
    elif r >= 0.9 and d:
        lines.append('deltree "{0:1}/%s"' % d)
        shutil.rmtree("mirror/" + d)
        dirs = [x for x in dirs if x != d and not x.startswith(d + "/")]
open("t.pto", "w").write("\n".join(lines + ['echo "done"']) + "\n")
PY

ext2_disk r.img 200M 100
for seed in 1 2 3 4; do
    ext2_format r.img 1 -r 0 -b $((seed % 2 ? 2048 : 1024))
    python3 gen.py $seed 400
    timeout -s KILL 300 "$BIN/pelto" -w -dr.img t < /dev/null > raw.out 2>&1
    grep -aq '^done' raw.out || { fail "seed $seed: $(grep -a 'Error in' raw.out)"; continue; }
    ext2_fsck r.img 1 "random run $seed"
    rm -rf got && mkdir got
    dbg r.img 1 'rdump / got' > /dev/null
    rm -rf got/lost+found
    diff -r mirror got > /dev/null || fail "seed $seed: the volume differs from the mirror"
done
finish
