#!/usr/bin/env bash
# The security commands run by the built archiver, headless, on scripts in a
# scratch directory that also plays the security server (the archiver's
# remote names are host files: the default gateway "@89" names the answer
# directories "@89:getpasswd" and "@89:checkuser").
#
#   security_scripts.sh <bin dir>
set -uo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# A blank image, so that no device of this machine is looked at.
truncate -s $((64 * 63 * 512)) disk.img

passed=0
failed=0
ok() { passed=$((passed + 1)); }
bad() {
    echo "FAIL: $*"
    failed=$((failed + 1))
}

# run <name> [stdin file] [pelto options...]: output (CR removed) in <name>.out
run() {
    local name=$1 input=${2:-/dev/null}
    shift 2 || shift $#
    timeout -s KILL 60 "$bin/pelto" -ddisk.img "$@" "$name" <"$input" >"$name.raw" 2>"$name.err"
    local status=$?
    [ "$status" -eq 255 ] || bad "$name: exit status $status"
    sed -e 's/\r$//' "$name.raw" >"$name.out"
}

# has <file> <line>: the output holds exactly this line
has() {
    if grep -qxF -- "$2" "$1"; then ok; else bad "$1 lacks line: $2"; fi
}
# hasnt <file> <text>: the text appears nowhere in the file
hasnt() {
    if grep -qF -- "$2" "$1"; then bad "$1 contains: $2"; else ok; fi
}

# --- Hashing commands and their errors.
cat >hash.pto <<'PTO'
md5 "abc" h
echo "md5=$h"
md5 "" h
echo "md5-empty=$h"
crypt "password" "ab" c
echo "crypt=$c"
crypt "secret" "x" c1
crypt "secret" "x." c2
if "$c1" = "$c2" echo "one-character salt pads with a dot"
set n = @"$c1"
echo "crypt-length=$n"
descrypt "eight888" "key" e
set n = @"$e"
echo "len8=$n"
desdecrypt "$e" "key" d
echo "back8=$d"
descrypt "nine99999" "key" e
set n = @"$e"
echo "len9=$n"
desdecrypt "$e" "key" d
echo "back9=$d"
descrypt "secret" "KoDrAfE!" e
echo "secret-block=$e"
descrypt "" "key" e
echo "empty=[$e]"
if "password" match-passwd "abJnggxhB/yWI" echo "match-passwd"
if "PASSWORD" match-passwd "abJnggxhB/yWI" echo "case-sensitive match: wrong"
if ci "PASSWORD" match-passwd "abJnggxhB/yWI" echo "ci match-passwd"
desdecrypt "0123456789ABCDEG" "key" d
echo "never printed"
PTO
run hash
has hash.out "md5=900150983CD24FB0D6963F7D28E17F72"
has hash.out "md5-empty=D41D8CD98F00B204E9800998ECF8427E"
has hash.out "crypt=abJnggxhB/yWI"
has hash.out "one-character salt pads with a dot"
has hash.out "crypt-length=13"
has hash.out "len8=16"
has hash.out "back8=eight888"
has hash.out "len9=32"
has hash.out "back9=nine99999"
# The first block of the server encoding of "secret" (see below).
has hash.out "secret-block=864C8DA05E7D7BA6"
has hash.out "empty=[]"
has hash.out "match-passwd"
has hash.out "ci match-passwd"
hasnt hash.out "wrong"
has hash.out "Error in hash.pto, line 29: Invalid DES code"
hasnt hash.out "never printed"

long=$(printf 'q%.0s' $(seq 128))
printf 'descrypt "%s"\n' "$long" >long.pto
run long
has long.out "Error in long.pto, line 1: String too long to be DES-encoded"

# --- getpasswd: nothing typed is shown, logged or captured.
cat >pass.pto <<'PTO'
capturelog
getpasswd pw
endcapture "capture.txt"
md5 "$pw" h
echo "typed=$h"
getpasswd short 3
md5 "$short" h
echo "short=$h"
getpasswd
echo "done"
PTO
printf 's3cret-Word\nabcdef\nignored\n' >pass.in
run pass pass.in
has pass.out "typed=$(printf 's3cret-Word' | md5sum | cut -c1-32 | tr a-f A-F)"
has pass.out "short=$(printf 'abc' | md5sum | cut -c1-32 | tr a-f A-F)"
has pass.out "done"
for f in pass.raw pass.err capture.txt; do
    [ -f "$f" ] || { bad "$f missing"; continue; }
    hasnt "$f" "s3cret"
    hasnt "$f" "abcdef"
    hasnt "$f" "ignored"
done

# --- checkuser against answer scripts in the scratch directory.
mkdir -p '@89:getpasswd' '@89:checkuser/radius/bob' getpasswd
echo 'set Security-Passwd = "abJnggxhB/yWI"' >'@89:getpasswd/bob'
# The literal name, and what substituting it would fetch instead.
echo 'set Security-Passwd = "abJnggxhB/yWI"' >'@89:getpasswd/a$Security-Passwd'
printf 'crypt "evil" "ev" Security-Passwd\n' >'@89:getpasswd/a'
echo 'set Security-Passwd = "abJnggxhB/yWI"' >'@89:getpasswd/x" echo "owned'
printf 'crypt "evil" "ev" Security-Passwd\n' >'@89:getpasswd/x'
# Targets of names that try to leave the answer directory.
echo 'set Security-Passwd = "abJnggxhB/yWI"' >x
echo 'set Security-Passwd = "abJnggxhB/yWI"' >getpasswd/x
echo 'set Security-Check = "PASSED"' >'@89:checkuser/radius/bob/864C8DA05E7D7BA6B169C2377B7EE13A'

# Interactive mode goes on after a failed line, as a missing answer is one.
cat >check.in <<'IN'
checkuser "bob" "password" "unix"
echo "bob=${Security-Check}"
checkuser "bob" "wrong" "UNIX"
echo "bob-wrong=${Security-Check}"
checkuser "bob" "password" "unix"
checkuser "carol" "password" "unix"
echo "carol=${Security-Check}"
input user
a$Security-Passwd
checkuser "$user" "evil" "unix"
echo "dollar-evil=${Security-Check}"
checkuser "$user" "password" "unix"
echo "dollar-right=${Security-Check}"
input user
x" echo "owned
checkuser "$user" "password" "unix"
echo "quote=${Security-Check}"
input user
..\x
checkuser "$user" "password" "unix"
echo "backslash=${Security-Check}"
input user
..\..\x
checkuser "$user" "password" "unix"
echo "backslash2=${Security-Check}"
input user
../x
checkuser "$user" "password" "unix"
echo "slash=${Security-Check}"
checkuser "bob" "secret" "radius"
echo "radius=${Security-Check}"
checkuser "bob" "Secret" "radius"
echo "radius-wrong=${Security-Check}"
exit
IN
run check check.in -i
has check.out "bob=PASSED"
has check.out "bob-wrong=FAILED"
has check.out "carol=FAILED"
has check.out "dollar-evil=FAILED"
has check.out "dollar-right=PASSED"
has check.out "quote=PASSED"
has check.out "backslash=FAILED"
has check.out "backslash2=FAILED"
has check.out "slash=FAILED"
has check.out "radius=PASSED"
has check.out "radius-wrong=FAILED"
if grep -qx 'owned' check.out; then bad "a quote in a user name ran a command"; else ok; fi

echo "security: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
