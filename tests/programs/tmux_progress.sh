#!/usr/bin/env bash
# The progress line on a real terminal (tmux): during a fullunzip of a big
# enough archive the bottom row shows the label, percent and MB/s; when the
# restore has ended the row is gone. Headless, the same restore prints no
# progress line at all.
#   tmux_progress.sh <bin dir>
# Exits 77 (skipped) when tmux is not installed.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs tmux
set -uo pipefail
command -v tmux > /dev/null || { echo "tmux not installed"; exit 77; }
bindir=$(cd "$1" && pwd)
work=$(mktemp -d)
T() { tmux -S "$work/tmux.socket" "$@"; }
cleanup() { T kill-server 2> /dev/null; rm -rf "$work"; }
trap cleanup EXIT
cd "$work"
fail() {
  echo "FAIL: $*"
  T capture-pane -p -t run 2> /dev/null
  exit 1
}

# A FAT32 partition with 160 MB of files that do not compress, archived.
truncate -s 600M disk.img
mkdir src
for i in 1 2 3 4; do head -c 40000000 /dev/urandom > "src/f$i.bin"; done
printf 'setpartitions "FAT32:500"\nclean 1\nxcopy "src" "{0:1}/"\nfullzip "{0:1}/" "big.000"\n' > prep.pto
"$bindir/pelto" -w -ddisk.img prep < /dev/null > prep.out 2>&1
[ -f big.001 ] || fail "archive not made: $(tail -3 prep.out)"

# Headless: the output has no progress line.
printf 'fullunzip "big.000" 1\n' > rest.pto
"$bindir/pelto" -w -ddisk.img rest < /dev/null > plain.out 2>&1
grep -q "MB/s" plain.out && fail "progress line in headless output"
grep -q "FAT Unzip: Done !" plain.out || fail "headless restore: $(tail -3 plain.out)"

term=screen-256color
infocmp "$term" > /dev/null 2>&1 || term=screen
printf 'fullunzip "big.000" 1\nshowlog\necho "restore finished"\ndelay 30\n' > rest.pto
T new-session -d -s run -x 80 -y 25 "env LANG=C.UTF-8 TERM=$term '$bindir/pelto' -w -ddisk.img rest"
seen=""
for _ in $(seq 400); do
  row=$(T capture-pane -p -t run | sed -n 25p)
  if grep -q "Restoring files .*%.*MB/s.*left" <<< "$row"; then seen=$row; break; fi
  sleep 0.02
done
[ -n "$seen" ] || fail "no progress line during the restore"
for _ in $(seq 300); do
  T capture-pane -p -t run | grep -q "restore finished" && break
  sleep 0.1
done
T capture-pane -p -t run | grep -q "restore finished" || fail "the restore did not finish"
T capture-pane -p -t run | grep -q "MB/s" && fail "progress line left after the restore"
echo "progress line seen: $seen"
exit 0
