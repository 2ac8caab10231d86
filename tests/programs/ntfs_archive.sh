#!/usr/bin/env bash
# Full archives of NTFS volumes: an NTFS made by mkntfs and filled by
# wimapply from a real tree (part of /usr/share/doc, with hard links,
# symbolic links to files and directories, names beyond ASCII and outside
# the basic plane, set times, files of zeros that are not sparse),
# alternate data streams by ntfscp, and what ntfs_craft makes through
# libntfs-3g (compressed and sparse files, names differing only in case,
# DOS names, distinct security descriptors, a junction and a reparse point of
# another tag, object IDs, more hard links, a path beyond 260 characters) is
# archived by pelto's fullzip and restored by fullunzip onto a smaller and a
# larger partition of another disk, at other starts. Each restored volume is
# clean for ntfsfix, has the source's serial (in the boot sector and its
# backup), label, version and sizes, the partition's start as its hidden
# sectors, and wimlib's capture lists the same files with the same names,
# short names, attributes, security descriptors, times, streams and reparse
# data, and every file the same four times to 100 ns; holes stay holes and
# compressed files are compressed (and a sparse file that ends in a hole is
# initialized to its size). incrzip and incrunzip carry the names, named
# streams and contents onto a fresh volume and over the restored one.
# fullzip leaves its source as it was;
# checkarchive, fulldump and copyarchive take the archive. A partition too
# small is refused before anything is written; dirty and hibernated volumes
# are not archived.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs mkntfs ntfsfix ntfscp ntfscat ntfsls ntfsinfo ntfslabel wimcapture wimapply wimdir cmp od diff
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/disk_lib.sh" "$1"
source "$HERE/ext2_lib.sh"
CRAFT="$BIN/ntfs_craft"
[ -x "$CRAFT" ] || { echo "FAIL: no $CRAFT (build the ntfs_craft target)"; exit 1; }

# part_out <image> <nr> [file]: the partition's bytes into a file
# (part.img); part_in <image> <nr> [file] puts them back.
part_out() {
    dd if="$1" of="${3:-part.img}" bs=1M iflag=skip_bytes,count_bytes \
        skip=$(($(ext2_start "$1" "$2") * 512)) count=$(($(ext2_size "$1" "$2") * 512)) status=none
}
part_in() {
    dd if="${3:-part.img}" of="$1" bs=1M oflag=seek_bytes seek=$(($(ext2_start "$1" "$2") * 512)) \
        conv=notrunc status=none
}
# ntfs_format <image> <nr> <label> [wim]: mkntfs on the partition (its
# start as hidden sectors), then the WIM applied by wimapply.
ntfs_format() {
    rm -f part.img
    truncate -s $(($(ext2_size "$1" "$2") * 512)) part.img
    mkntfs -q -F -Q -L "$3" -p "$(ext2_start "$1" "$2")" -H 64 -S 63 part.img > mkntfs.out 2>&1 ||
        { fail "mkntfs"; cat mkntfs.out; }
    if [ -n "${4:-}" ]; then
        wimapply "$4" part.img > wim.out 2>&1 || { fail "wimapply"; cat wim.out; }
    fi
    part_in "$1" "$2"
}
# u32/u64 <file> <offset>: a little-endian number of the file.
u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }
u64() { od -An -tx8 -j"$2" -N8 "$1" | tr -d ' '; }

# --- The tree ---------------------------------------------------------------
# Packages' documentation in name order up to about 5 MB, as it is.
mkdir -p src/doc
total=0
for d in /usr/share/doc/*/; do
    cp -a "$d" src/doc/ 2> /dev/null || continue
    total=$((total + $(du -sk "$d" | cut -f1)))
    [ "$total" -gt 5000 ] && break
done
mkdir -p src/links src/names
first=$(find src/doc -type f -size +2k | LC_ALL=C sort | head -1)
cp "$first" src/links/one
ln src/links/one src/links/two
ln src/links/one src/names/three
ln -s ../links/one src/links/relative
ln -s /usr/share/doc/absolute src/links/absolute
ln -s ../names src/links/directory
# Files that are not sparse although they hold zeros: a cluster of them
# between data, and two zero bytes at the end of a last, partial cluster.
{ head -c 4096 /dev/urandom; head -c 8192 /dev/zero; head -c 100 /dev/urandom; } > src/names/zeros.bin
{ head -c 4096 /dev/urandom; head -c 2 /dev/zero; } > src/names/tail.bin
printf 'accents\n' > "src/names/café ünï.txt"
printf 'beyond the basic plane\n' > "src/names/smile-$(printf '\xf0\x9f\x98\x80').txt"
touch -d '2001-02-03 04:05:06' src/links/one src/names
touch -h -d '1999-12-31 23:59:58' src/links/relative
wimcapture src tree.wim > wim.out 2>&1 || { fail "wimcapture of the tree"; cat wim.out; }

new_image s.img 160M
pelto -w -ds.img 'setpartitions "NTFS:140"'
ntfs_format s.img 1 SOURCE tree.wim
part_out s.img 1

# Alternate data streams: a large one and small ones.
head -c 300000 /dev/urandom > stream.big
printf 'zone=3\n' > stream.small
for row in "/links/one|Zone.Identifier|stream.small" "/links/one|payload|stream.big" \
    "/names/café ünï.txt|Zone.Identifier|stream.small"; do
    IFS='|' read -r path name file <<< "$row"
    ntfscp -N "$name" part.img "$file" "$path" > ntfscp.out 2>&1 || fail "ntfscp -N $name $path"
done
deep=""
for i in 1 2 3 4 5 6 7 8 9; do deep+="/a directory name of thirty-two $i"; done
{
    cat << 'EOF'
dir|/compressed
attrib|/compressed|810
big|/compressed/text.log|400000
file|/compressed/small.txt|short and compressed
sparse|/sparse.bin|60000000|0:start,20000000:middle,59999997:end
sparse|/compressed/sparse.bin|3000000|4096:inside
sparse|/names/hole at the end.bin|3000000|0:start
dir|/case
file|/case/Name|one
file|/case/NAME|two
file|/case/name|three
file|/A long file name.txt|long
dos|/A long file name.txt|ALONGF~1.TXT
dir|/Program Files
dos|/Program Files|PROGRA~1
sd|/links/one|1
sd|/case|2
sd|/case/NAME|3
sd|/compressed/text.log|4
sd|/Program Files|2
attrib|/case/name|27
attrib|/A long file name.txt|1
dir|/junction
junction|/junction|C:\Users\Public
file|/tagged|data
reparse|/tagged|8000001b|opaque reparse bytes
objid|/links|00112233445566778899aabbccddeeff
objid|/case/Name|ffeeddccbbaa99887766554433221100
link|/compressed/text.log|/case/linked.log
stream|/case|Zone.Identifier|a stream of a directory
ea|/tagged|USER.NOTE|an extended attribute
stream|/junction|notes|a stream of a junction
EOF
    path=""
    for i in 1 2 3 4 5 6 7 8 9; do
        path+="/a directory name of thirty-two $i"
        echo "dir|$path"
    done
    echo "file|$deep/at the end of a long path.txt|deep"
    # A file of 4 GB or more is archived whole (the plain build only: 4 GB
    # through the compressor and back takes minutes under the sanitizers).
    sanitized || echo "sparse|/huge.bin|4294975488|0:start,4294967290:across the 4 GB mark,4294975485:end"
} > craft.txt
"$CRAFT" part.img < craft.txt > craft.out 2>&1 || { fail "ntfs_craft"; cat craft.out; }
[ ${#deep} -gt 260 ] || fail "the long path is only ${#deep} characters"
part_in s.img 1
ntfsfix -n part.img > fix.out 2>&1 || { fail "ntfsfix -n of the source"; cat fix.out; }
grep -q 'Attribute flags:.*0x8000' <<< "$(ntfsinfo -F /sparse.bin part.img 2> /dev/null)" ||
    fail "the source's sparse file is not sparse"

# listing <partition file> <output>: wimlib's capture of the volume, one line
# per field, each led by its file's path (and stream), less what belongs to
# the WIM rather than the volume (the places, compressed sizes and flags of
# its blobs), with the hard-link groups numbered in the order they appear:
# wimlib names a group by the MFT record number of its file, which a restore
# is free to choose.
listing() {
    rm -f x.wim
    wimcapture --compress=none "$1" x.wim > wimcap.out 2>&1 || { fail "wimcapture of $1"; cat wimcap.out; }
    wimdir x.wim --detailed 2> /dev/null |
        grep -v -e '^Offset in WIM' -e '^Part Number' -e '^Compressed size' -e '^Flags ' -e '^---*$' -e '^$' |
        awk '/^Link Group ID/ && $NF != "0x0000000000000000" {
                 if (!($NF in group)) group[$NF] = ++groups
                 $NF = "group-" group[$NF] }
             /^Full Path/ { path = $0; sub(/^Full Path *= /, "", path); stream = ""; next }
             /^\t/ { stream = $0; sub(/^\t/, "", stream); sub(/:$/, "", stream); next }
             { print path ": " (stream == "" ? "" : stream ": ") $0 }' > "$2"
}
# ntfs_times <partition file> <output>: the four times of every file of the
# source's listing, to 100 ns (wimdir shows seconds).
ntfs_times() {
    sed -n 's/^"\(.*\)": Attributes .*/times|\1/p' source.list | "$CRAFT" -r "$1" > "$2" 2> times.err ||
        { fail "the times of $1"; head -3 times.err; }
}
# explain: the differences of two listings (diff's output) file by file: the
# files missing from the second or only there, and the fields that differ
# (long paths shortened to their ends).
explain() {
    awk '/^[<>] / {
             side = substr($0, 1, 1); line = substr($0, 3)
             path = line; sub(/": .*/, "\"", path)
             if (!(path in seen)) { seen[path] = 1; order[++n] = path }
             count[path, side]++; text[path] = text[path] "\n    " side " " substr(line, length(path) + 3)
         }
         END {
             for (i = 1; i <= n; i++) {
                 p = order[i]; shown = length(p) > 90 ? "\"..." substr(p, length(p) - 80) : p
                 if (!count[p, ">"]) print "  missing: " shown
                 else if (!count[p, "<"]) print "  only in the restore: " shown
                 else print "  " shown ":" text[p]
             }
         }'
}
listing part.img source.list
ntfs_times part.img times.source
[ "$(wc -l < times.source)" -gt 300 ] || fail "only $(wc -l < times.source) times of the source"
for f in "/links/one" "/compressed/text.log" "/case/NAME" "/case/name" "/tagged" "/junction" "$deep/at the end of a long path.txt" \
    "/names/smile-$(printf '\xf0\x9f\x98\x80').txt"; do
    grep -qF "\"$f\": Attributes" source.list || fail "the source's listing has no $f"
done
grep -q 'Short Name          = "ALONGF~1.TXT"$' source.list || fail "the source has no DOS name"
grep -q ': Object ID' source.list || fail "the source has no object ID"
[ "$(grep -o 'Security Descriptor = .*' source.list | sort -u | wc -l)" -ge 5 ] ||
    fail "the source has fewer than 5 distinct security descriptors"
grep -q 'Reparse Tag         = 0xa000000c$' source.list || fail "the source has no symbolic link"
[ "$(grep -c ' Named data stream "[^"]*": Hash' source.list)" -ge 4 ] || fail "the source has too few named streams"

# --- Archive, restore onto a smaller and a larger partition ------------------
# Disk t: a partition too small (1), a smaller one than the source's (2), a
# larger one holding an older volume (3).
new_image t.img 400M
pelto -w -dt.img 'setpartitions "NTFS:4 NTFS:70 NTFS:250"'
ntfs_format t.img 3 OLDVOLUME tree.wim
cp s.img s.before
rm -f n.[0-9][0-9][0-9]
pelto -w -ds.img 'fullzip "{0:1}" "n.000"'
grep -q -e ERROR -e "^Error in" out && { fail "fullzip failed"; tail -3 out; }
[ "$(dd if=n.000 bs=1 skip=28 count=4 2> /dev/null)" = "NTFS" ] || fail "the archive is not an NTFS one"
cmp -s s.img s.before || fail "fullzip changed its source"
pelto -w -dt.img 'fullunzip "n.000" 2
fullunzip "n.000" 3'
[ "$(grep -c 'NTFS Unzip: Done' out)" = 2 ] || { fail "not both restores were done"; tail -8 out; }

# info <partition file>: what ntfsinfo tells of the volume that a restore
# keeps (not its size, places or state).
info() {
    ntfsinfo -m "$1" 2> /dev/null | grep -e 'Volume Name' -e 'Volume Flags' -e 'Volume Version' \
        -e 'Sector Size' -e 'Cluster Size' -e 'Index Block Size' -e 'MFT Record Size'
}
part_out s.img 1 source.img
serial=$(u64 source.img $((0x48)))
label=$(ntfslabel source.img 2> /dev/null)
[ "$label" = SOURCE ] || fail "the source's label: $label"
info source.img > info.source
# ea <partition file>: the extended attributes of /tagged as ntfsinfo shows them.
ea() { ntfsinfo -F /tagged "$1" 2> /dev/null | sed -n '/\$EA_INFORMATION/,$p' | grep -e 'EA length' -e 'Data size'; }
ea source.img > ea.source
[ "$(wc -l < ea.source)" -ge 3 ] || fail "the source has no extended attributes"
for target in 2 3; do
    what="restore onto partition $target"
    part_out t.img "$target" target.img
    ntfsfix -n target.img > fix.out 2>&1 || { fail "$what: ntfsfix -n"; sed 's/^/    | /' fix.out; }
    [ "$(u64 target.img $((0x48)))" = "$serial" ] ||
        fail "$what: serial $(u64 target.img $((0x48))) instead of $serial"
    # The backup boot sector ends the volume (the sector after its last one).
    backup=$((0x$(u64 target.img $((0x28))) * 512))
    [ "$(u64 target.img $((backup + 0x48)))" = "$serial" ] ||
        fail "$what: the backup boot sector's serial $(u64 target.img $((backup + 0x48)))"
    [ "$(u32 target.img $((0x1C)))" = "$(ext2_start t.img "$target")" ] ||
        fail "$what: hidden sectors $(u32 target.img $((0x1C))), not the partition's start $(ext2_start t.img "$target")"
    [ "$(ntfslabel target.img 2> /dev/null)" = "$label" ] || fail "$what: label $(ntfslabel target.img 2>&1)"
    info target.img > info.target
    diff info.source info.target > info.diff || { fail "$what: volume information differs"; cat info.diff; }
    listing target.img target.list
    diff source.list target.list > list.diff ||
        { fail "$what: wimlib's listings differ"; explain < list.diff | head -60; }
    ntfs_times target.img times.target
    # The first three (creation, data change, access) and the MFT record's
    # change time apart, so that a failure says which.
    diff <(awk '{ $NF = ""; print }' times.source) <(awk '{ $NF = ""; print }' times.target) > times.diff ||
        { fail "$what: creation, data change or access times differ"; cut -c1-160 times.diff | head -6; }
    diff times.source times.target > times.diff ||
        { fail "$what: MFT record change times differ"; cut -c1-160 times.diff | head -6; }
    ea target.img | diff ea.source - > ea.diff || { fail "$what: extended attributes of /tagged"; cat ea.diff; }
    # The file name attributes carry the standard information's times.
    [ "$(ntfsinfo -F /links/one target.img 2> /dev/null | grep -c 'Creation Time:.* 2001 ')" -ge 2 ] ||
        fail "$what: the file name times of /links/one are not the file's"
    # A sparse file that ends in a hole is initialized to its size.
    initialized=$(ntfsinfo -F "/names/hole at the end.bin" target.img 2> /dev/null | sed -n 's/.*Initialized size:[[:space:]]*\([0-9]*\).*/\1/p')
    [ "$initialized" = 3000000 ] || fail "$what: the file ending in a hole is initialized to ${initialized:-?} bytes"
    compressed=$(ntfsinfo -F /sparse.bin target.img 2> /dev/null | sed -n 's/.*Compressed size:[[:space:]]*\([0-9]*\).*/\1/p')
    [ -n "$compressed" ] && [ "$compressed" -lt 1000000 ] ||
        fail "$what: the sparse file takes ${compressed:-?} bytes"
    log=$(ntfsinfo -F /compressed/text.log target.img 2> /dev/null)
    packed=$(sed -n 's/.*Compressed size:[[:space:]]*\([0-9]*\).*/\1/p' <<< "$log")
    grep -q 'Attribute flags:.*0x0001' <<< "$log" && [ "${packed:-400000}" -lt 400000 ] ||
        fail "$what: /compressed/text.log is not compressed (${packed:-?} bytes)"
done

# --- Incremental archive onto NTFS ------------------------------------------
# incrzip carries the volume's names and named streams; incrunzip makes them
# on a fresh volume, and over the restored one rewrites each name (those
# that differ only in case apart): the same names, streams and contents as
# the source. The file of 4 GB is left out (incremental restores refuse it),
# and so are reparse points, restored as plain files and directories.
new_image i.img 200M
pelto -w -di.img 'setpartitions "NTFS:180"'
ntfs_format i.img 1 FRESH
pelto -w -ds.img 'filter - "huge.bin"
incrzip "{0:1}/" "i.000"'
grep -q -e ERROR -e "^Error in" out && { fail "incrzip of the source failed"; tail -3 out; }
{ grep 'Reparse Tag' source.list | sed 's/: Reparse Tag.*/:/'; echo '"/huge.bin":'; } > left.out
contents() { grep -e ': Hash ' -e ': Uncompressed size ' "$1" | grep -vF -f left.out; }
contents source.list > contents.source
[ "$(grep -c ' Named data stream ".*": Hash' contents.source)" -ge 4 ] || fail "too few named streams to compare"
for row in "i.img|1|a fresh volume" "t.img|3|the restored volume"; do
    IFS='|' read -r image nr what <<< "$row"
    pelto -w -d"$image" "incrunzip \"i.000\" \"{0:$nr}/\""
    grep -q -e ERROR -e "^Error in" out && { fail "incrunzip onto $what"; grep -e ERROR -e "^Error" out | head -5; }
    part_out "$image" "$nr" target.img
    ntfsfix -n target.img > fix.out 2>&1 || { fail "incrunzip onto $what: ntfsfix -n"; sed 's/^/    | /' fix.out; }
    listing target.img incr.list
    contents incr.list | diff contents.source - > incr.diff ||
        { fail "incrunzip onto $what: names, streams or contents differ"; explain < incr.diff | head -40; }
done
# An incremental archive of a host tree keeps the code page's names: one
# that stands in another case is rewritten, not made again beside it.
mkdir -p hsrc/links && printf 'from the host\n' > hsrc/links/ONE
pelto -w -di.img 'incrzip "hsrc" "h.000"
incrunzip "h.000" "{0:1}/"'
grep -q -e ERROR -e "^Error in" out && { fail "incrunzip of a host tree"; grep -e ERROR -e "^Error" out | head -5; }
part_out i.img 1 target.img
[ "$(ntfsls -p /links target.img 2> /dev/null | grep -ci '^one$')" = 1 ] || fail "a host tree's ONE made beside /links/one"
[ "$(ntfscat target.img /links/one 2> /dev/null)" = "from the host" ] || fail "a host tree's ONE did not rewrite /links/one"
rm -f i.img

# --- Check, dump and copy ---------------------------------------------------------------
pelto -w -ds.img 'checkarchive "n.000"
set DumpFormat = "hbsSD"
fulldump "n.000"
source archive "n.000"
destination archive "copy.000"
copyarchive'
grep -q "^Archive n.000 is sound: " out || { fail "checkarchive of the NTFS archive"; grep -i error out; }
grep -q "^Filesystem identifier     : NTFS$" out || fail "fulldump: no NTFS identifier"
grep -qF "at the end of a long path.txt" out || fail "fulldump: no file at the end of the long path"
grep -q ": extended attributes 0x" out || fail "fulldump: no extended attributes"
grep -qF "serial $serial" out || fail "fulldump: no serial $serial"
grep -qF "label \"$label\", version 3.1" out || fail "fulldump: no label and version"
grep -q "attributes=0x.*record=.*created=[0-9]*\.[0-9]\{7\}" out || fail "fulldump: no NTFS attributes as text"
cmp -s n.000 copy.000 || fail "copyarchive changed the NTFS archive"

# --- Refusals -----------------------------------------------------------------
# A partition too small: refused before anything is written.
cp t.img t.before
pelto -w -dt.img 'fullunzip "n.000" 1'
grep -q "NTFS Unzip: the archive does not fit" out || { fail "no fit refusal"; tail -5 out; }
cmp -s t.img t.before || fail "the refused restore wrote to the disk"

# Volumes fullzip refuses leave no archive.
# name (of the function that makes the source's copy so) | message
# Windows' hibernation file in use, as Windows leaves it hibernated.
{ printf 'HIBR'; head -c 8188 /dev/zero; } > hiberfil.sys
hibernated() { ntfscp part.img hiberfil.sys hiberfil.sys; }
dirty() { echo dirty | "$CRAFT" part.img; }
refusals=(
    "dirty|it is marked dirty"
    "hibernated|Windows left it hibernated or with Fast Startup"
)
for row in "${refusals[@]}"; do
    IFS='|' read -r name message <<< "$row"
    cp source.img part.img
    "$name" > how.out 2>&1 || { fail "$name: not made so"; cat how.out; }
    cp s.img r.img
    part_in r.img 1
    rm -f r.000
    pelto -w -dr.img 'fullzip "{0:1}" "r.000"'
    grep -qF "NTFS ERROR: Volume refused: $message" out || fail "$name: not refused: $(grep ERROR out)"
    [ -s r.000 ] && fail "$name: an archive of a refused volume was made"
done
rm -f r.img

finish
