#!/usr/bin/env bash
# incrunzip onto host directories, run by the built programs on archives
# written by the independent Python writer, checked with host tools.
#
#   irestore.sh <bin dir>
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3
set -uo pipefail
bindir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
arctool="python3 $here/../archive/arctool.py"
tool="python3 $here/irestore_tool.py"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs one script line in program $1 (pelto -d, or tobrend -b -d) and keeps
# its output (line ends "\r\n" made plain) in out.txt, its exit status in
# status.txt.
run() {
  local program=$1 line=$2 status=0
  printf '%s\n' "$line" > s.pto
  cp s.pto s.tbr
  if [ "$program" = pelto ]; then
    timeout -s KILL 60 "$bindir/pelto" -d s > raw.txt 2>&1 || status=$?
  else
    # The batch program waits after its script: it ends on the error line.
    printf '%s\nexit\n' "$line" > s.tbr
    timeout -s KILL 60 "$bindir/tobrend" -b -d s > raw.txt 2>&1 < /dev/null || status=$?
  fi
  echo "$status" > status.txt
  tr -d '\r' < raw.txt | tr '\b' '\n' > out.txt
}
# What the run in directory $1 did, for a failure's report: its exit status
# (137: killed by the time limit) and its whole output.
shown() {
  echo "  exit status $(cat "$1/status.txt"), output:"
  sed 's/^/  | /' "$1/out.txt"
}

# A source tree with nested directories, an empty file, a file across
# several chunks, stored modes and times.
mkdir -p src/a/b/c src/e
printf 'hello\n' > src/top.txt
head -c 200000 /dev/urandom > src/a/big.bin
: > src/a/empty
printf 'deep' > src/a/b/c/deep.txt
head -c 65536 /dev/urandom > src/e/exact64k
chmod 640 src/a/b/c/deep.txt
chmod 600 src/e/exact64k
touch -d '2020-01-02 03:04:05' src/top.txt src/a/big.bin src/a/empty src/a/b/c/deep.txt
touch -d '2019-05-06 07:08:09' src/e/exact64k
touch -d '2018-03-04 05:06:07' src/a src/a/b src/a/b/c src/e
$tool describe src tree.desc
# A small fragment limit: the archive spans several fragment files.
$arctool write tree.desc tree.000 70000 || fail "arctool write"
[ -f tree.002 ] || fail "archive has fewer than 3 fragments"

same_attributes() { # src dst: modes and modification times below the top,
  # but for the directory a that the target held before
  (cd "$1" && find . -mindepth 1 -printf '%p %m %T@\n' | grep -v '^\./a ' | sort) > attrs.src
  (cd "$2" && find . -mindepth 1 -printf '%p %m %T@\n' | grep -v '^\./a ' | sort) > attrs.dst
  cmp -s attrs.src attrs.dst
}

# The batch program has the command too; its names that are not partition
# paths are remote files, never directories.
mkdir dst
run tobrend 'incrunzip "tree.000" "dst"'
grep -qx "Error in s.tbr, line 1: Destination path does not exist" out.txt ||
  fail "tobrend: $(grep Error out.txt)"
rm -rf dst

# Applied twice onto a tree that holds other files.
program=pelto
rm -rf dst && mkdir -p dst/a
printf 'kept\n' > dst/untouched.txt
touch -d '2001-01-01 00:00:00' dst/untouched.txt
head -c 300000 /dev/zero > dst/a/big.bin # longer than the stored file
touch -d '2001-01-01 00:00:00' dst/a # a directory that existed keeps its times
run $program 'incrunzip "tree.000" "dst"'
grep -q "Restoring incr archive tree.000 to path dst" out.txt || fail "$program: no start line"
grep -q "Error" out.txt && fail "$program: first run: $(grep Error out.txt)"
diff -r -x untouched.txt src dst > /dev/null || fail "$program: tree differs after the first run"
mv dst/untouched.txt untouched.keep
same_attributes src dst || fail "$program: modes or times differ"
mv untouched.keep dst/untouched.txt
run $program 'incrunzip "tree.000" "dst"'
grep -q "Error" out.txt && fail "$program: second run: $(grep Error out.txt)"
mv dst/untouched.txt untouched.keep
diff -r src dst > /dev/null || fail "$program: tree differs after the second run"
same_attributes src dst || fail "$program: modes or times differ after the second run"
[ "$(cat untouched.keep)" = kept ] || fail "$program: a file absent from the archive changed"
[ "$(stat -c %Y dst/a)" = "$(date -d '2001-01-01 00:00:00' +%s)" ] ||
  fail "$program: an existing directory's times changed"
[ "$(stat -c %Y untouched.keep)" = "$(date -d '2001-01-01 00:00:00' +%s)" ] ||
  fail "$program: a file absent from the archive was touched"

# Another file system's attributes: the tree and contents, not the modes.
$tool describe src fat.desc --id FATx --da 15
$arctool write fat.desc fat.000 1000000
rm -rf dst && mkdir dst
run pelto 'incrunzip "fat.000" "dst"'
grep -q "Error" out.txt && fail "foreign attributes: $(grep Error out.txt)"
diff -r src dst > /dev/null || fail "foreign attributes: tree differs"
[ "$(stat -c %a dst/a/b/c/deep.txt)" != 640 ] || fail "foreign attributes were applied"
[ "$(stat -c %Y dst/top.txt)" != "$(stat -c %Y src/top.txt)" ] || fail "foreign times were applied"

# Damaged and mismatching archives, and targets that refuse an entry. Each
# row: a set-up, run in a fresh scratch directory that holds the archive
# tree.* (three fragments), one.000 (the same archive in one fragment) and
# an empty dst/, and the message the command must fail with. Offsets in
# one.000: archive header at 20 (directory count at 24), tag "CF" at 40,
# the root's record at 42 (subdirectory count at 46, file count at 50).
patch_byte() { # file offset hex-byte: a damaged byte, the CRC left as it was
  printf "\\x$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
flip_byte() { # file offset: the byte with every bit turned, the CRC left as it
  # was. A fixed value is no damage where the byte already holds it: at an
  # offset that depends on the archive's random contents (its CRC, packed
  # data), one run in 256 restored a sound archive there.
  patch_byte "$1" "$2" "$(printf '%02x' $(($(od -An -tu1 -j "$2" -N1 "$1") ^ 255)))"
}
patch_record() { # file offset hex-byte: the same with the CRC made to fit,
  # as a writer that stored a wrong record would leave it
  patch_byte "$@"
  python3 - "$1" "$here/../archive" <<'PY'
import struct, sys
sys.path.insert(0, sys.argv[2])
import arctool
data = bytearray(open(sys.argv[1], "rb").read())
struct.pack_into("<I", data, 16, arctool.crc32(bytes(data[20:])))
open(sys.argv[1], "wb").write(data)
PY
}
$arctool write tree.desc one.000 100000000
sed 's/^ifile 06000000/ifile 07000000/' tree.desc > short.desc
$arctool write short.desc short.000 100000000
printf 'full\nheader %s\nboot \ndirsum %s\ndir %s\nend\n' \
  4558543201000000000000000000000000000000 $(printf '0%.0s' {1..40}) \
  $(printf '0%.0s' {1..48}) > full.desc
$arctool write full.desc full.000 100000000
cases=(
  "rm -rf dst|tree.000|Destination path does not exist"
  "rm -rf dst; printf x > dst|tree.000|Destination path does not exist"
  "rm tree.001|tree.000|Cannot open archive"
  "truncate -s -1 tree.002|tree.000|Cannot open archive"
  "patch_byte tree.000 0 00|tree.000|Cannot open archive"
  "flip_byte one.000 5000|one.000|Cannot open archive"
  "flip_byte one.000 16|one.000|Cannot open archive"
  ":|full.000|Could not read archive"
  "patch_record one.000 42 58|one.000|Could not read directory entry"
  "patch_record one.000 24 09|one.000|Could not read directory entry"
  "patch_record one.000 24 04|one.000|Error closing archive"
  "patch_record one.000 46 03|one.000|Could not read subdir entry"
  "patch_record one.000 50 02|one.000|Could not read file header"
  ":|short.000|Could not read from file"
  "mkdir -p dst/top.txt|one.000|Could not create file"
  "printf x > dst/a|one.000|Could not create subdir entry"
  "printf outside > t; ln -s ../t dst/top.txt|one.000|Could not write to file"
)
for row in "${cases[@]}"; do
  IFS='|' read -r setup archive message <<< "$row"
  rm -rf case && mkdir -p case/dst && cp tree.0* one.000 short.000 full.000 case/
  (cd case && eval "$setup") || { fail "set-up of '$message' failed"; continue; }
  (cd case && run pelto "incrunzip \"$archive\" \"dst\"")
  grep -qx "Error in s.pto, line 1: $message" case/out.txt ||
    { fail "expected '$message', got: $(grep Error case/out.txt)"; shown case; }
done
# The refused symbolic link still points at the unchanged file.
[ "$(cat case/t)" = outside ] || fail "a write went through a symbolic link"
# A CRC error is found before anything is written.
rm -rf case && mkdir -p case/dst && cp one.000 case/ && (cd case && flip_byte one.000 5000 &&
  run pelto 'incrunzip "one.000" "dst"')
grep -q "Archive one.000 is damaged: data damaged: CRC of bytes 20 to .* in fragment one.000" case/out.txt ||
  { fail "no CRC error reported"; shown case; }
[ -z "$(ls case/dst)" ] || fail "a damaged archive was partly restored"

# Hostile archives: names that try to leave the target, trees deeper than
# the restore holds. Nothing may appear outside dst/.
hostile=(
  "slashfile|Could not create file"
  "dotdotfile|Could not create file"
  "dotdotdir|Could not create subdir entry"
  "dotdotrecord|Could not enter directory"
  "slashrecord|Could not enter directory"
  "overpop|Could not enter directory"
  "deep|Could not enter directory"
  "longnames|Could not create subdir entry"
  "linkdir|Could not enter directory"
  "linkfile|Could not write to file"
  "intolink|Could not enter directory"
)
for row in "${hostile[@]}"; do
  IFS='|' read -r kind message <<< "$row"
  rm -rf case && mkdir -p case/in/dst case/outside
  $tool hostile "$kind" case/h.desc && $arctool write case/h.desc case/in/h.000 1000000
  [ "$kind" = intolink ] && ln -s ../../outside case/in/dst/a
  (cd case/in && run pelto 'incrunzip "h.000" "dst"')
  grep -qx "Error in s.pto, line 1: $message" case/in/out.txt ||
    { fail "$kind: expected '$message', got: $(grep Error case/in/out.txt)"; shown case/in; }
  outside=$(cd case && find . -path ./in/dst -prune -o -type f -newer h.desc -print |
    grep -v -e '^./in/\(h.000\|s.pto\|s.tbr\|raw.txt\|out.txt\|status.txt\)$')
  [ -z "$outside" ] || fail "$kind: written outside the target: $outside"
  [ -z "$(find case -name escaped)" ] || fail "$kind: an entry escaped"
  if [ "$kind" = deep ]; then
    # The stack holds the target and 63 levels entered below it.
    levels=$(find case/in/dst -type f | awk -F/ '{print NF - 4}' | sort -n | tail -1)
    [ "$levels" = 63 ] || fail "deep: files down to level $levels, expected 63"
  fi
done

echo "failures: $failures"
[ "$failures" -eq 0 ]
