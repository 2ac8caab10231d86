#!/bin/sh
# Archive creation from host trees: pelto scans a tree into full and
# incremental archives (with and without filters) and converts them; the
# independent reader (tests/archive/arctool.py) must describe exactly what
# zip_tool.py works out from the tree itself.
# Usage: zip_trees.sh BIN_DIR
. "$(dirname "$0")/needs.sh"
needs python3 strace
set -eu
BIN=$(cd "$1" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
ARCTOOL="$HERE/../archive/arctool.py"
TOOL="$HERE/zip_tool.py"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
fail=0

pelto() { # script text -> output in $1.log
    name=$1
    shift
    printf '%s\n' "$@" >"$name.pto"
    "$BIN/pelto" -d "$name" </dev/null >"$name.log" 2>&1 || true
}

check() { # what archive expected-description-file
    if python3 "$ARCTOOL" read "$2" >"$1.got" 2>&1 && cmp -s "$1.got" "$3"; then
        echo "ok   $1"
    else
        echo "FAIL $1"
        diff "$3" "$1.got" | cut -c1-200 | head -20
        fail=1
    fi
}

# The tree: every size around the chunk boundary, empty files and
# directories, long names, deep nesting, a directory of more than 256
# entries (several sort pages), links, a FIFO, DOS system names, names that
# differ only in case, varied modes and fixed times.
T=tree
mkdir -p $T/empty $T/many $T/dos/DOS
for n in 0 1 32767 32768 32769 65536 100000; do head -c $n /dev/urandom >$T/size_$n; done
head -c 3500000 /dev/urandom >$T/several_mb
: >$T/empty_file
long=$(printf 'L%.0s' $(seq 1 127))
toolong=$(printf 'X%.0s' $(seq 1 130))
echo "long name" >"$T/$long"
echo "skipped" >"$T/$toolong"
d=$T/deep
for i in $(seq 1 30); do d=$d/d$i; done
mkdir -p $d && echo bottom >$d/file
for i in $(seq 1 280); do echo "f$i" >$T/many/file$i; done
for i in $(seq 1 12); do mkdir $T/many/sub$i; done
ln -s size_1 $T/shortlink
ln -s "$(printf 't%.0s' $(seq 1 100))" $T/longlink
mkfifo $T/fifo
for f in msdos.sys MSDOS.SYS IO.SYS autoexec.bat ABC abc; do echo "$f" >$T/dos/$f; done
chmod 600 $T/size_1
chmod 444 $T/size_0
chmod 4755 $T/size_32767
chmod 700 $T/empty
now=$(date +%s)
python3 - "$T" "$now" <<'EOF'
import os, sys
tree, now = sys.argv[1], int(sys.argv[2])
# Access times after the modification and change times (an hour ahead):
# reading the files and directories does not move them.
for top, dirs, files in os.walk(tree, topdown=False):
    for n in files + dirs:
        os.utime(os.path.join(top, n), (now + 3600, 1500000000), follow_symlinks=False)
os.utime(tree, (now + 3600, 1500000000))
EOF

# 1. A full archive of the tree.
pelto full 'fullzip "tree" "full.000"'
python3 "$TOOL" full tree >full.want
check fullzip full.000 full.want
grep -q "WARNING: Name too long, skipped: $toolong" full.log || { echo "FAIL long name warning"; fail=1; }

# The end of the run puts what it wrote on stable storage, fragment and
# directory, and waits for nothing else: no whole file system is flushed.
printf '%s\n' 'fullzip "tree" "flush.000"' >flush.pto
if strace -f -qq -e trace=syncfs,fsync,fdatasync -o flush.trace "$BIN/pelto" -d flush \
    </dev/null >flush.log 2>&1; then :; fi
if [ "$(grep -c 'fsync(' flush.trace)" = 2 ] && ! grep -q syncfs flush.trace; then
    echo "ok   flush of what was written"
else
    echo "FAIL flush of what was written"; cat flush.trace; fail=1
fi

# A destination that cannot take the archive says so (a file system in a
# mount namespace of its own that has no inode left).
mkdir -p full
if unshare -m sh -c 'mount -t tmpfs -o size=1m,nr_inodes=2 tmpfs full && : > full/x &&
    printf "%s\n" "fullzip \"tree\" \"full/a.000\"" > nospace.pto &&
    "$1" -d nospace < /dev/null > nospace.log 2>&1' sh "$BIN/pelto" 2>/dev/null; then :; fi
if [ ! -s nospace.log ]; then
    echo "skip disk full (no mount namespace here)"
elif tr -d '\r' < nospace.log | grep -qx 'Error in nospace.pto, line 1: Cannot write full/a.000: disk full'; then
    echo "ok   disk full"
else
    echo "FAIL disk full"; cat nospace.log; fail=1
fi

# The same archive with every trace on (the scan's and the copy's).
pelto trace 'set trace = "on"' 'set Trace = "on"' 'filter - "no such path"' \
    'fullzip "tree" "trace.000"'
check fullzip-traced trace.000 full.want
grep -q "TRACE : Reading tree/size_1" trace.log && grep -q "NEXT DIR : parent depth" trace.log ||
    { echo "FAIL trace lines"; fail=1; }

# 2. Full to full without filters: the section copy keeps every byte.
pelto copy 'source archive "full.000"' 'dest archive "copy.000"' 'copyarchive'
if cmp -s full.000 copy.000; then echo "ok   section copy"; else echo "FAIL section copy"; fail=1; fi

# 3. Full archive to incremental: the entries get the summary attributes.
python3 "$TOOL" incr tree >incr.want
pelto conv 'source archive "full.000"' 'destination iarchive "conv.000"' 'copyarchive'
check full-to-incr conv.000 incr.want

# 4. An incremental archive of the tree, and its copy.
pelto incr 'incrzip "tree" "incr.000"'
check incrzip incr.000 incr.want
pelto icopy 'source iarchive "incr.000"' 'destination iarchive "icopy.000"' 'copyarchive'
if cmp -s incr.000 icopy.000; then echo "ok   incremental copy"; else echo "FAIL incremental copy"; fail=1; fi

# 5. Filters: a pattern with an exception, a whole excluded directory
# (whose exception cannot bring anything back), a single-character wildcard.
pelto filt 'filter - "/size_*"' 'filter + "size_3276?"' 'filter - "many"' 'filter + "many/file1"' \
    'filter - "dos/?BC"' 'incrzip "tree" "filt.000"'
python3 "$TOOL" incr tree '-size_*' '+size_3276?' -many +many/file1 '-dos/?BC' >filt.want
check incrzip-filters filt.000 filt.want
pelto ffull 'filter - "deep/d1/d2"' 'filter - "*.sys"' 'fullzip "tree" "ffull.000"'
python3 "$TOOL" full tree -deep/d1/d2 '-*.sys' >ffull.want
check fullzip-filters ffull.000 ffull.want

# 6. Incremental to incremental through the filters (the general copy reads
# the source twice), and incremental to full.
pelto ifilt 'source iarchive "incr.000"' 'destination iarchive "ifilt.000"' 'filter - "deep"' \
    'copyarchive'
python3 "$TOOL" incr tree -deep >ifilt.want
check incr-filtered ifilt.000 ifilt.want

# 7. FragmentSize: values below the minimum are raised to 512 KiB, "2m" is
# 2 MiB, empty is the default (one fragment here).
for case in "100 524288" "2m 2097152" "'' 94371840"; do
    set -- $case
    value=$(eval echo "$1")
    rm -f frag.[0-9][0-9][0-9]
    pelto frag "set FragmentSize = \"$value\"" 'fullzip "tree" "frag.000"'
    python3 - "$2" frag.000 <<'EOF' || fail=1
import glob, os, struct, sys
limit, first = int(sys.argv[1]), sys.argv[2]
names = sorted(glob.glob("frag.[0-9][0-9][0-9]"))
stream = sum(os.path.getsize(n) - 20 for n in names)
want = ["frag.%03d" % i for i in range(len(names))]
# Every fragment within the limit, named in turn, and no more of them than
# the limit forces (a chunk is never split, so a fragment may end early).
ok = names == want and len(names) >= -(-stream // limit) and len(names) <= 2 * -(-stream // limit)
for n in names:
    length = struct.unpack("<I", open(n, "rb").read(20)[12:16])[0]
    # The limit is checked against a chunk's unpacked length, so the last
    # chunk of a fragment may pack to more: at most 4096 bytes and its header.
    ok = ok and length <= limit + 4096 + 8 and os.path.getsize(n) == 20 + length
print("%s FragmentSize %d: %d fragments" % ("ok  " if ok else "FAIL", limit, len(names)))
sys.exit(0 if ok else 1)
EOF
    check "fragments-$2" frag.000 full.want
done

# 8. Path to path: the tree copied through the filters, then whole.
mkdir xc xf
pelto xcopy 'xcopy "tree" "xc"'
if python3 "$TOOL" same tree xc; then echo "ok   xcopy"; else echo "FAIL xcopy"; fail=1; fi
pelto xfilt 'filter - "many/*"' 'filter + "many/sub*"' 'xcopy "tree" "xf"'
if python3 "$TOOL" same tree xf '-many/*' '+many/sub*'; then echo "ok   xcopy-filters"; else
    echo "FAIL xcopy-filters"
    fail=1
fi

# 9. Dumps: fulldump takes one name and nothing else; a scan dumps without
# writing an archive.
pelto dump 'set DumpFormat = "h"' 'fulldump "full.000"'
pelto dumpx 'fulldump "full.000" "extra"'
pelto scandump 'set DumpFormat = "h"' 'source path "tree"' 'destination dump' 'copyarchive'
if grep -q "Number of files *: 300" dump.log && grep -q "Too much arguments" dumpx.log &&
    grep -q "Number of files *: 300" scandump.log; then echo "ok   dumps"; else
    echo "FAIL dumps"
    fail=1
fi

# 10. Damaged and hostile archives through the general copy (a filter that
# matches nothing forces it): the copy stops with the engine's message and
# nothing appears outside the target.
IRTOOL="$HERE/irestore_tool.py"
for row in "overpop:Bad archive, hierarchy scrambled" "deep:Bad archive, hierarchy scrambled" \
    "longnames:Path too long" "dotdotdir:" "slashfile:" "dotdotrecord:"; do
    kind=${row%%:*}
    message=${row#*:}
    mkdir -p "h_$kind/target"
    python3 "$IRTOOL" hostile "$kind" "h_$kind.desc"
    python3 "$ARCTOOL" write "h_$kind.desc" "h_$kind/in.000" 1000000
    pelto "h_$kind" 'filter - "no such path"' "source iarchive \"h_$kind/in.000\"" \
        "destination path \"h_$kind/target\"" 'copyarchive'
    outside=$(find "h_$kind" -mindepth 1 -not -path "h_$kind/target*" -not -name "in.000" | wc -l)
    if [ "$outside" -eq 0 ] && { [ -z "$message" ] || grep -q "$message" "h_$kind.log"; }; then
        echo "ok   hostile $kind"
    else
        echo "FAIL hostile $kind"
        tail -3 "h_$kind.log"
        fail=1
    fi
done

# 11. Ends that cannot be used fail with the engine's messages.
while IFS='|' read -r script message; do
    pelto bad "$(printf '%b' "$script")"
    if grep -q "$message" bad.log; then echo "ok   failure: $script"; else
        echo "FAIL failure: $script"
        tail -2 bad.log
        fail=1
    fi
done <<'EOF'
fullzip "no such dir" "x.000"|Cannot open source
fullzip "tree/size_1" "x.000"|Cannot open source
fullzip "tree" "no/such/dir/x.000"|Cannot create dest
incrdump "no such archive"|Cannot open source
copyarchive "extra"|Too much arguments
source archive "full.000"\ndest archive "./full.000"\ncopyarchive|Source and destination are the same archive
EOF
python3 "$ARCTOOL" read full.000 | cmp -s - full.want || { echo "FAIL source archive kept"; fail=1; }

# 12. Long paths: a chain of directories whose deepest file lies 896 bytes
# down goes into full and incremental archives and back onto host paths
# whole; beside it, a file and a directory whose paths would pass 1023 bytes
# are skipped with a warning.
seg=$(printf 'p%.0s' $(seq 1 99))
d=lp
for i in 1 2 3 4 5 6 7 8; do d=$d/$i$seg; done
deepfile=file_$(printf 'f%.0s' $(seq 1 80))
toolongfile=$(printf 'x%.0s' $(seq 1 120))
toolongdir=$(printf 'y%.0s' $(seq 1 120))
mkdir -p "$d/9$seg/$toolongdir"
echo deep >"$d/$deepfile"
echo "cut off" >"$d/9$seg/$toolongfile"
echo "cut off" >"$d/9$seg/$toolongdir/below"
# Access times ahead, as for the first tree: reading does not move them.
python3 - lp "$now" <<'EOF'
import os, sys
tree, now = sys.argv[1], int(sys.argv[2])
for top, dirs, files in os.walk(tree, topdown=False):
    for n in files + dirs:
        os.utime(os.path.join(top, n), (now + 3600, 1500000000), follow_symlinks=False)
os.utime(tree, (now + 3600, 1500000000))
EOF
pelto lpfull 'fullzip "lp" "lp.000"'
python3 "$TOOL" full lp >lp.want
check fullzip-long-paths lp.000 lp.want
grep -q "WARNING: Path too long, skipped: $toolongfile" lpfull.log &&
    grep -q "WARNING: Path too long, skipped: $toolongdir" lpfull.log ||
    { echo "FAIL long path warnings"; tail -3 lpfull.log; fail=1; }
pelto lpincr 'incrzip "lp" "lpi.000"'
python3 "$TOOL" incr lp >lpi.want
check incrzip-long-paths lpi.000 lpi.want
for kind in archive iarchive; do
    src=lp.000
    [ $kind = iarchive ] && src=lpi.000
    rm -rf "lpout_$kind" && mkdir "lpout_$kind"
    pelto "lprest_$kind" "source $kind \"$src\"" "destination path \"lpout_$kind\"" 'copyarchive'
    if [ "$(cat "lpout_$kind/${d#lp/}/$deepfile" 2>/dev/null)" = deep ] &&
        [ ! -e "lpout_$kind/${d#lp/}/9$seg/$toolongfile" ] &&
        python3 "$TOOL" same lp "lpout_$kind"; then
        echo "ok   long paths restored from $kind"
    else
        echo "FAIL long paths restored from $kind"
        tail -3 "lprest_$kind.log"
        fail=1
    fi
done
pelto lpdump 'set DumpFormat = "h"' 'fulldump "lp.000"'
pelto lpcheck 'checkarchive "lp.000"'
if grep -q "Number of files *: 1\b" lpdump.log && grep -q "Archive lp.000 is sound: 10 directories, 1 files" lpcheck.log; then
    echo "ok   long paths dumped and checked"
else
    echo "FAIL long paths dumped and checked"
    tail -3 lpdump.log lpcheck.log
    fail=1
fi

exit $fail
