#!/usr/bin/env bash
# The remote-file cache against tobrend-server, in the test's own namespaces:
# for the enhanced (59) and the broadcast (99) flavour, two boots restore a
# three-fragment full archive through the cache partition onto a FAT
# partition blanked before each. The first downloads every fragment, the
# second finds them unchanged. checkuser asks the server's security port
# (89) by both methods, once right and once wrong. The restored files are
# read by mtools, the cache by the independent cache reader.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mtype
source "$(dirname "$0")/net_lib.sh"
CACHETOOL="python3 $HERE/../fs/cachetool.py"
export MTOOLS_SKIP_CHECK=1

net_up
cache_setup
{
    echo "bob:$hash:getpasswd"
    # SHA-512 crypt of "other" with the salt "saltsalt", as the system's crypt(3) makes it.
    echo 'eve:$6$saltsalt$r4j7z8gOqxO9zYH/VSQ4MPgAu/GTg0.tIK5o0K3dXowoILt/JRmXmiqFa26mKioMH3Fwhg6qaU0XTibPpoJ8z.'
} > users

start_dnsmasq boot/start.tbr
start_server "$WORK/root" --users "$WORK/users" --gather 0.2
wait_port udp 59
wait_port udp 89
wait_port tcp 99

for via in "" "10.77.0.1@99:"; do
    cat > root/boot/start.tbr <<SCRIPT
loadramdisk "${via}rd.img"
fullunzip "${via}arc.000" 1
checkuser "bob" "secret" "unix"
echo "unix right \${Security-Check}"
checkuser "bob" "wrong" "unix"
echo "unix wrong \${Security-Check}"
checkuser "eve" "other" "server"
echo "server right \${Security-Check}"
checkuser "eve" "wrong" "server"
echo "server wrong \${Security-Check}"
SCRIPT
    pelto disk.img 'clean 1'
    for boot in first second; do
        name="$boot boot${via:+ by broadcast}"
        pelto disk.img 'clean 1'
        tobrend 120 -w -d"$WORK/disk.img"
        cp out "$boot.out"
        refute=$(grep -c 'Error in' out)
        [ "$refute" = 0 ] || { fail "$name: $(grep 'Error in' out)"; tail -20 out; }
        for f in one.bin sub/two.bin; do
            mtype -i "disk.img@@$offset" "::$f" > got.bin 2> /dev/null && cmp -s got.bin "tree/$f" ||
                fail "$name: restored $f differs"
        done
        $CACHETOOL list disk.img > cache.list || fail "$name: the cache reader found damage"
        [ "$(grep -c "^${via/:/%}arc\." cache.list)" = "$fragments" ] || fail "$name: $(cat cache.list)"
        expect_out 'unix right PASSED'
        expect_out 'unix wrong FAILED'
        expect_out 'server right PASSED'
        expect_out 'server wrong FAILED'
        expect_out '97 Kb loaded to the ramdisk'
    done
    [ "$(grep -c '^Downloading "arc' first.out)" = "$fragments" ] || fail "first boot ($via) did not fetch every fragment"
    grep -q 'Downloading' second.out && fail "second boot ($via) fetched again"
    [ "$(grep -c 'found in the disk cache' second.out)" -ge "$fragments" ] ||
        fail "second boot ($via): $(grep -c 'found in the disk cache' second.out) found in the cache"
done
grep -qE 'broadcast session [0-9]+: "arc.002" done' server.log || fail "no broadcast session of arc.002"
# The security port's log shows checkuser requests with the password masked.
grep -qE '"checkuser/server/eve/\*" 31 bytes' server.log || fail "no masked checkuser line"
grep -qE 'checkuser/[^"]*/[0-9A-F]{32}' server.log && fail "password digits in the log"
stop_server
[ "$failures" -gt 0 ] && sed 's/^/    server: /' server.log
finish
