#!/usr/bin/env bash
# The remote-file cache over the network: in the test's own namespaces, two
# boots restore a three-fragment full archive fetched by enhanced TFTP onto
# a FAT partition, blanked before each. The first downloads every fragment
# into the cache partition, the second finds them unchanged (the server
# counts far fewer blocks sent). Before them, a boot whose ramdisk download
# the server breaks off with an error packet must stop and keep no copy. The
# restored files are read by mtools, the cache by the independent cache
# reader. checkuser asks the security server (in.tftpd on port 89 of the
# boot server) for a user's password.
# A second argument names the server of the two boots: "windows" (the test
# server agreeing options and windows), "dnsmasq" or "tftpd" (their TFTP on
# port 69, agreeing blksize); without it, the test server's plain enhanced
# flavour.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mtype dnsmasq in.tftpd
source "$(dirname "$0")/net_lib.sh"
SERVER=${2:-}
CACHETOOL="python3 $HERE/../fs/cachetool.py"
export MTOOLS_SKIP_CHECK=1

net_up
cache_setup
mkdir -p sec/getpasswd
echo "set Security-Passwd = \"$hash\"" > sec/getpasswd/bob
echo 'loadramdisk "rd.img"' > root/boot/start.tbr
remote=
case "$SERVER" in dnsmasq | tftpd) remote="10.77.0.1@69:" ;; esac
cat > start.tbr <<SCRIPT
loadramdisk "${remote}rd.img"
fullunzip "${remote}arc.000" 1
checkuser "bob" "secret" "unix"
echo "first check \${Security-Check}"
checkuser "bob" "wrong" "unix"
echo "second check \${Security-Check}"
SCRIPT

case "$SERVER" in
    dnsmasq) start_dnsmasq boot/start.tbr --enable-tftp --tftp-root="$WORK/root" ;;
    tftpd) start_dnsmasq boot/start.tbr && start_tftpd "$WORK/root" ;;
    *) start_dnsmasq boot/start.tbr ;;
esac
options=()
[ "$SERVER" = windows ] && options=(--options accept)
start_pyserver --root "$WORK/root" --log "$WORK/served.log" --error-at 40 "${options[@]}"
start_bg in.tftpd -L -s "$WORK/sec" -a 10.77.0.1:89
wait_port udp 59
wait_port udp 89

tobrend 120 -w -d"$WORK/disk.img"
expect_grep 'TFTP: error 3 \('
expect_out 'ERROR: Cannot cache remote file'
$CACHETOOL list disk.img | grep -q '^rd\.img' && fail "the copy cut short stayed in the cache"
mv start.tbr root/boot/start.tbr

for boot in first second; do
    pelto disk.img 'clean 1'
    : > served.log
    tobrend 120 -w -d"$WORK/disk.img"
    cp out "$boot.out"
    grep -c '^ACK' served.log > "$boot.acks"
    refute=$(grep -c 'Error in' out)
    [ "$refute" = 0 ] || { fail "$boot boot: $(grep 'Error in' out)"; tail -20 out; }
    for f in one.bin sub/two.bin; do
        mtype -i "disk.img@@$offset" "::$f" > got.bin 2> /dev/null && cmp -s got.bin "tree/$f" ||
            fail "$boot boot: restored $f differs"
    done
    $CACHETOOL list disk.img > cache.list || fail "$boot boot: the cache reader found damage"
    [ "$(grep -c "^${remote/:/%}arc\\." cache.list)" = "$fragments" ] || fail "$boot boot: $(cat cache.list)"
    expect_out 'first check PASSED'
    expect_out 'second check FAILED'
    expect_out '97 Kb loaded to the ramdisk'
done
[ "$SERVER" != windows ] || grep -q '^OACK' served.log || fail "no windows agreed"
grep -q 'Downloading "rd.img"' first.out || fail "first boot did not fetch the ramdisk again"
[ "$(grep -c '^Downloading "arc' first.out)" = "$fragments" ] || fail "first boot did not fetch every fragment"
grep -q 'Downloading' second.out && fail "second boot fetched again"
[ "$(grep -c 'found in the disk cache' second.out)" = $((3 * fragments + 1)) ] ||
    fail "second boot: $(grep -c 'found in the disk cache' second.out) fragments found"
# The comparison reads a few blocks of each fragment; a download all of them.
[ -n "$SERVER" ] || [ $(($(cat second.acks) * 10)) -lt "$(cat first.acks)" ] ||
    fail "blocks served: first boot $(cat first.acks), second $(cat second.acks)"

# Without the cache a remote archive is read once only: the log says before
# the first write that its fragments are checked as they are restored.
printf 'set CacheNever = "ON"\nfullunzip "arc.000" 1\n' > root/boot/start.tbr
pelto disk.img 'clean 1'
tobrend 120 -w -d"$WORK/disk.img"
expect_out 'WARNING: Remote archive read without the disk cache: its fragments are checked only as they are restored'
grep -q 'Error in' out && fail "restore without the cache: $(grep 'Error in' out)"
mtype -i "disk.img@@$offset" "::sub/two.bin" > got.bin 2> /dev/null && cmp -s got.bin tree/sub/two.bin ||
    fail "restore without the cache differs"
finish
