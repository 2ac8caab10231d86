#!/usr/bin/env bash
# Runs one black-box case: copies the case directory to a scratch directory,
# runs the program there headless (standard output is a file), and compares
# what it printed with the case's expectation.
#
#   run_case.sh <bin dir> <case dir>
#
# A case directory holds:
#   cmd       the command line, e.g. "pelto -ddisk.img script" (required)
#   expect    the expected output, line ends "\r\n" written as "\n"; the
#             build date of the banner reads "(DATE)"
#   stdin     optional standard input (default: none, /dev/null)
#   setup.sh  optional, run in the scratch directory before the program
#   check.sh  optional, run in the scratch directory afterwards; non-zero fails
#   *         any other files, copied along (scripts, data)
set -uo pipefail
bindir=$(cd "$1" && pwd)
case_dir=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$case_dir"/. "$work"/
cd "$work"
[ -x setup.sh ] && { ./setup.sh || { echo "setup failed"; exit 1; }; }

read -r -a words < cmd
# Tests never let a program probe this machine's disks: every command line
# names its disks with -d<image>, or asks for none with a bare -d.
case " ${words[*]} " in
  *" -d"*) ;;
  *) echo "cmd lacks a -d option: $(cat cmd)"; exit 1 ;;
esac
program="$bindir/${words[0]}"
input=/dev/null
[ -f stdin ] && input=stdin
timeout -s KILL 60 "$program" "${words[@]:1}" <"$input" >raw.out 2>raw.err
status=$?
if [ "$status" -ne 255 ]; then
  echo "exit status $status, expected 255"
  cat raw.err
  exit 1
fi
# Output lines must end in "\r\n"; compare them as lines.
sed -e 's/\r$//' -e 's/ ([A-Z][a-z][a-z] [ 0-9][0-9] [0-9]\{4\})$/ (DATE)/' raw.out > actual
if [ -f expect ] && ! diff -u expect actual; then
  echo "output differs from the expectation"
  exit 1
fi
if [ -x check.sh ] && ! ./check.sh; then
  echo "check.sh failed"
  exit 1
fi
exit 0
