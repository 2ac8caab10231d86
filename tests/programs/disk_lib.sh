# Helpers of the disk black-box tests (sourced). Every test works in a
# scratch directory on sparse image files; nothing under /dev is opened.
#
#   BIN     directory of the built programs (first argument of each test)
#   WORK    the scratch directory, removed at exit
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs sfdisk
set -uo pipefail
BIN=$(cd "$1" && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Image geometry: 64 heads, 63 sectors per track.
HEADS=64
SECTORS=63
CYL=$((HEADS * SECTORS))

# Sector of a cylinder/head/sector location.
lba() { echo $(($1 * CYL + $2 * SECTORS + $3 - 1)); }

# Last cylinder of a partition laid out as setpartitions does: from start
# cylinder $1 and head $2, the first cylinder at which the sectors from the
# start, plus 1024 and divided by 2048, reach $3 MB, but at most $4.
end_cylinder() {
    local c=$1 h=$2 mb=$3 last=$4 end=$1
    while :; do
        local n=$(((HEADS - h) * SECTORS + (end - c) * CYL))
        if (((n + 1024) / 2048 >= mb)) || ((end >= last)); then break; fi
        end=$((end + 1))
    done
    echo "$end"
}

# new_image <name> <size>: a blank sparse image.
new_image() {
    rm -f "$1"
    truncate -s "$2" "$1"
}

# pelto <options...> <script text>: writes the script to t.pto and runs
# pelto headless on it, for at most PELTO_SECONDS (120); its output is in
# out (line ends stripped).
pelto() {
    local script=${*: -1}
    local options=("${@:1:$#-1}")
    printf '%s\n' "$script" > t.pto
    timeout -s KILL "${PELTO_SECONDS:-120}" "$BIN/pelto" "${options[@]}" t < /dev/null > raw.out 2> raw.err
    local status=$?
    sed -e 's/\r$//' raw.out > out
    [ "$status" -eq 255 ] || fail "pelto exit status $status (expected 255)"
}

# expect_out <text>: the output holds this line (exactly).
expect_out() {
    grep -qxF -- "$1" out || { fail "missing output line: $1"; sed 's/^/    | /' out; }
}

# refute_out <text>: no output line contains this text.
refute_out() {
    if grep -qF -- "$1" out; then fail "unexpected output: $1"; fi
}

# sfdisk_entries <image>: the partition lines of sfdisk --dump, image name
# removed ("1 : start=..., size=..., type=...").
sfdisk_entries() {
    sfdisk --dump "$1" 2> /dev/null | sed -n "s|^$1||p" | tr -s ' '
}

# entry_line <nr> <start> <size> <type hex> [bootable]
entry_line() {
    local line="$1 : start= $2, size= $3, type=$4"
    [ -n "${5:-}" ] && line="$line, bootable"
    echo "$line"
}

finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks passed"
    exit 0
}
