#!/usr/bin/env bash
# The help command with the help script that comes with the programs: the
# index by group, one command, an unknown topic, every topic of the script
# through the real programs (a failing help line would end the program),
# and the fallback to the installed copy when HelpFile is not there.
#   help.sh <bin dir> <help script>
HERE=$(cd "$(dirname "$0")" && pwd)
HELP=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
source "$HERE/disk_lib.sh" "$1"

# No pelto.hlp here: the copy beside the programs answers.
pelto -d $'help\nhelp copy\nhelp COPY\nhelp nosuch\nhelp "two words"\necho "end"'
expect_out "Pelto help: type help <command> or help <topic>."
expect_out "Archives (Pelto):"
refute_out "Network (Tobrend):"
[ "$(grep -c '^copy "source" "target"$' out)" -eq 2 ] || fail "help copy (either case)"
expect_out '  Fails with: "Could not copy the file (invalid filename ?)"'
expect_out 'No help on "nosuch". Type help alone for the list of commands and topics.'
expect_out 'No help on "two words". Type help alone for the list of commands and topics.'
expect_out "end"

# Every topic of the script, in both programs: none fails, each says something.
topics=$(sed -n 's/^if ci "$HelpTopic" in "\([^"]*\)".*/\1/p' "$HELP")
script=$(for t in $topics; do echo "help $t"; echo 'echo "--"'; done; echo 'echo "all topics"')
pelto -d "$script"
expect_out "all topics"
grep -q "Error in" out && fail "a help topic failed: $(grep -A1 'Error in' out | head -3)"
awk 'p == "--" && $0 == "--" { bad = 1 } { p = $0 } END { exit !bad }' out &&
    fail "a help topic printed nothing"
printf '%s\nhelp testtftp\nhelp\necho "tobrend done"\nexit\n' "$script" > t.tbr
timeout -s KILL 60 "$BIN/tobrend" -b -d t < /dev/null | sed -e 's/\r$//' > out
expect_out "tobrend done"
expect_out "Tobrend help: type help <command> or help <topic>."
expect_out "Network (Tobrend):"
expect_out 'testtftp "remote file" bytes    (Tobrend only)'
refute_out "TFTP Open failed"
[ "$(grep -c 'Error in' out)" -eq 1 ] || fail "tobrend: a help topic failed"

# A help file in the current directory wins over the installed one.
printf 'echo "own help on $HelpTopic"\n' > pelto.hlp
pelto -d 'help copy'
expect_out "own help on copy"
# --help and --version answer on standard output with status 0 before
# anything starts (no console, no disk probe, no DHCP).
for program in pelto tobrend; do
  for option in --help --version; do
    timeout 5 "$BIN/$program" -w "$option" > info.out 2> info.err < /dev/null
    [ $? -eq 0 ] || fail "$program $option: status $?"
    [ -s info.err ] && fail "$program $option wrote to standard error"
    grep -q 'v1.1$' info.out || fail "$program $option: no version line"
  done
  grep -q "^Usage: $program \[options\] \[basename\]$" info.out && fail "--version printed the usage"
done
timeout 5 "$BIN/tobrend" --help | grep -q '^  -b ' || fail "tobrend --help lacks -b"
finish
