#!/usr/bin/env bash
# The security commands run by the built archiver, headless, in a scratch
# directory that also plays the security server: the archiver's remote names
# are host files, so the default gateway "@89" names the answer directories
# "@89:getpasswd" and "@89:checkuser".
#
#   security_scripts.sh <bin dir>
set -uo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
truncate -s $((64 * 63 * 512)) disk.img # so that no device of this machine is looked at
passed=0 failed=0

# run <name> <stdin> [options]: pelto on <name>.pto, output (CR removed) in <name>.out
run() {
    local name=$1 input=$2
    shift 2
    timeout -s KILL 60 "$bin/pelto" -ddisk.img "$@" "$name" <"$input" >"$name.raw" 2>"$name.err"
    local status=$?
    [ "$status" -eq 255 ] || { echo "FAIL: $name: exit status $status"; failed=$((failed + 1)); }
    sed -e 's/\r$//' "$name.raw" >"$name.out"
}
check() { # check <description> <command...>
    local what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else echo "FAIL: $what"; failed=$((failed + 1)); fi
}
has() { check "$1 has line: $2" grep -qxF -- "$2" "$1"; }
lacks() { check "$1 lacks: $2" bash -c '! grep -qF -- "$2" "$1"' _ "$1" "$2"; }
md5() { printf '%s' "$1" | md5sum | cut -c1-32 | tr a-f A-F; }

# A round trip through substitution, and a failure that names its line.
cat >des.pto <<'PTO'
descrypt "nine99999" "key" e
desdecrypt "$e" "key" d
echo "back=$d"
desdecrypt "0123456789ABCDEG" "key" d
PTO
run des /dev/null
has des.out "back=nine99999"
has des.out "Error in des.pto, line 4: Invalid DES code"

# getpasswd: nothing typed is shown, logged or captured.
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
has pass.out "typed=$(md5 s3cret-Word)"
has pass.out "short=$(md5 abc)"
has pass.out "done"
for f in pass.raw pass.err capture.txt; do
    for typed in s3cret abcdef ignored; do lacks "$f" "$typed"; done
done

# checkuser: answers, the literal names of hostile users, and what a
# substituted, split or escaping name would fetch instead.
mkdir -p '@89:getpasswd' '@89:checkuser/radius/bob' '@89:checkuser/m$x/bob' getpasswd
right='set Security-Passwd = "abJnggxhB/yWI"' # crypt of "password"
evil='crypt "evil" "ev" Security-Passwd'
for f in bob 'a$Security-Passwd' 'x" echo "owned'; do echo "$right" >"@89:getpasswd/$f"; done
for f in a x; do echo "$evil" >"@89:getpasswd/$f"; done
echo "$right" >x
echo "$right" >getpasswd/x
# The password "secret" as sent: two DES blocks under the security key.
secret=864C8DA05E7D7BA6B169C2377B7EE13A
echo 'set Security-Check = "PASSED"' >"@89:checkuser/radius/bob/$secret"
echo 'set Security-Check = "PASSED"' >"@89:checkuser/m\$x/bob/$secret"
mkdir -p "@89:checkuser/m/bob" && echo 'set owned = "yes"' >"@89:checkuser/m/bob/$secret"

# Interactive mode goes on after a failed line (a missing answer is one);
# the user names are typed, as at a login prompt.
cat >check.in <<'IN'
checkuser "bob" "password" "unix"
echo "bob=${Security-Check}"
checkuser "bob" "Password" "UNIX"
echo "bob-wrong=${Security-Check}"
checkuser "bob" "password" "unix"
checkuser "carol" "password" "unix"
echo "carol=${Security-Check}"
input user
a$Security-Passwd
checkuser "$user" "evil" "unix"
echo "dollar-evil=${Security-Check}"
checkuser "$user" "password" "unix"
echo "dollar=${Security-Check}"
input user
x" echo "owned
checkuser "$user" "password" "unix"
echo "quote=${Security-Check}"
input user
..\x
checkuser "$user" "password" "unix"
echo "backslash=${Security-Check}"
input user
../x
checkuser "$user" "password" "unix"
echo "slash=${Security-Check}"
checkuser "bob" "secret" "radius"
echo "radius=${Security-Check}"
checkuser "bob" "Secret" "radius"
echo "radius-wrong=${Security-Check}"
input method
m$x
checkuser "bob" "secret" "$method"
echo "method=${Security-Check} owned=$owned"
exit
IN
run check check.in -i
for expect in bob=PASSED bob-wrong=FAILED carol=FAILED dollar-evil=FAILED dollar=PASSED \
    quote=PASSED backslash=FAILED slash=FAILED radius=PASSED radius-wrong=FAILED \
    "method=PASSED owned="; do
    has check.out "$expect"
done
check "a quote in a user name ran no command" bash -c '! grep -qx owned check.out'

echo "security: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
