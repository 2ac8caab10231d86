#!/usr/bin/env bash
# The archiver's interactive mode on a real terminal (tmux): the prompt,
# hiding and showing the log, ESC revealing the hidden log, the pause of a
# long log, arrow-key history, full-screen fills, a small terminal, and the
# last screen left visible after the program ends.
#
#   tmux_console.sh <bin dir>
#
# Exits 77 (skipped) when tmux is not installed.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs tmux
set -uo pipefail
command -v tmux >/dev/null || { echo "tmux not installed"; exit 77; }
bindir=$(cd "$1" && pwd)
work=$(mktemp -d)
# A private server whose socket lives (and goes) with the scratch directory.
T() { tmux -S "$work/tmux.socket" "$@"; }
cleanup() { T kill-server 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
cd "$work"

fail() {
  echo "FAIL: $*"
  echo "--- screen:"
  T capture-pane -p -t "$session" 2>/dev/null
  exit 1
}
screen() { T capture-pane -p -t "$session"; }
# Waits until the screen contains the text (fixed string), at most 10 s.
wait_for() {
  for _ in $(seq 100); do
    screen | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  fail "timed out waiting for '$1'"
}
absent() { screen | grep -qF -- "$1" && fail "'$1' should not be on the screen"; return 0; }
type_line() { T send-keys -t "$session" -l -- "$1"; T send-keys -t "$session" Enter; }
# The last non-empty line of the screen.
last_line() { screen | sed -e '/^$/d' | tail -n 1; }
# Waits until the last line is an empty prompt (the pane drops trailing blanks).
wait_prompt() {
  for _ in $(seq 100); do
    [ "$(last_line)" = ">" ] && return 0
    sleep 0.1
  done
  fail "timed out waiting for the prompt"
}

# A terminal type that tmux can play and this machine describes.
term=screen-256color
infocmp "$term" >/dev/null 2>&1 || term=screen

start() {  # start <session> <columns> <rows>
  session=$1
  T new-session -d -s "$session" -x "$2" -y "$3" \
    "env LANG=C.UTF-8 TERM=$term '$bindir/pelto' -d -x -i; echo \"[exit \$?]\"; sleep 60"
  T set-option -t "$session" remain-on-exit on >/dev/null
}

for i in $(seq 1 30); do echo "echo \"line $i\""; done > long.pto

start main 80 25
wait_for "Entering interactive mode"
wait_prompt

# Ordinary commands and their log output.
type_line 'echo "hello there"'
wait_for "hello there"

# The PC character set appears as its glyphs; a tab goes to the next stop.
type_line 'echo "\311\315\273 caf\202\tend"'
wait_for "╔═╗ café        end"

# A hidden log stays off the screen until showlog.
type_line 'hidelog'
type_line 'echo "hidden-one"'
sleep 0.5
absent "hidden-one"
type_line 'showlog'
wait_for "hidden-one"

# ESC brings the hidden log back by itself.
type_line 'hidelog'
type_line 'echo "hidden-two"'
sleep 0.5
absent "hidden-two"
T send-keys -t "$session" Escape
wait_for "hidden-two"

# A long log stops every screenful with a prompt on the bottom row.
type_line 'include "long.pto"'
wait_for "Press any key..."
[ "$(screen | tail -n 1 | sed 's/ *$//')" = "Press any key..." ] || fail "prompt not on the bottom row"
absent "line 30"
T send-keys -t "$session" x
wait_for "line 30"
absent "Press any key..."
# The key that ended the pause is not typed into the next line.
type_line 'echo "after-pause"'
wait_for "after-pause"
screen | grep -qF '> echo "after-pause"' || fail "pause key leaked into the next line"

# Up and Down walk the history; editing keys work on the recalled line.
type_line 'echo "first"'
wait_for "first"
type_line 'echo "second"'
wait_for "second"
T send-keys -t "$session" Up Up
sleep 0.3
[ "$(last_line)" = '> echo "first"' ] || fail "Up Up did not recall the older line"
T send-keys -t "$session" Down
sleep 0.3
[ "$(last_line)" = '> echo "second"' ] || fail "Down did not go to the newer line"
T send-keys -t "$session" Left BSpace
T send-keys -t "$session" -l 'D'
T send-keys -t "$session" Home Right Right Right Right DC
T send-keys -t "$session" -l 'X'
T send-keys -t "$session" Enter
wait_for "seconD"
screen | grep -qF '> echoX"seconD"' || fail "editing keys did not act where expected"

# A full-screen fill reaches the bottom-right cell without scrolling.
type_line 'clear blue'
sleep 0.5
rows=$(screen | grep -c '^████████████████████████████████████████████████████████████████████████████████$')
[ "$rows" -ge 23 ] || fail "clear blue filled only $rows full rows"
screen | tail -n 1 | grep -qF '████████' || fail "the bottom row was not filled"

# Ending the program leaves its last screen on the terminal.
type_line 'clear'
type_line 'echo "goodbye"'
wait_for "goodbye"
type_line 'exit'
wait_for "[exit 255]"
screen | grep -qF "goodbye" || fail "the last screen was not kept after the end"

# Waiting at the prompt sleeps; the break key (Ctrl-C) ends a long delay in
# order with status 255.
start brk 80 25
wait_for "Entering interactive mode"
wait_prompt
shell=$(T display-message -p -t brk '#{pane_pid}')
pid=$(pgrep -P "$shell" | head -n 1)
[ -n "$pid" ] || fail "program process not found"
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
before=$(ticks)
sleep 2
used=$(($(ticks) - before))
[ "$used" -le 20 ] || fail "waiting at the prompt used $used ticks of CPU in 2 s"
type_line 'delay 60'
sleep 0.5
T send-keys -t brk C-c
wait_for "[exit 255]"

# A terminal smaller than 80x25 shows the part of the screen that fits.
start small 60 15
wait_for "Entering interactive mode"
type_line 'echo "small terminal"'
wait_for "small terminal"
type_line 'exit'
wait_for "[exit 255]"

echo "tmux console checks passed"
exit 0
