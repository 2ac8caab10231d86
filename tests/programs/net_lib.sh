# Helpers of the network black-box tests (sourced). Each test makes its own
# two network namespaces joined by a veth pair: the client side is "eth0"
# (10.77.0.2, where Tobrend runs, without -b), the server side "srv0"
# (10.77.0.1, where dnsmasq, in.tftpd and the Python servers run). Every
# process started here and both namespaces are removed at exit.
#
#   BIN   directory of the built programs (first argument of each test)
#   HERE  this directory; WORK the scratch directory
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 sfdisk mkfs.fat mcopy ip ss dnsmasq in.tftpd
set -uo pipefail
BIN=$(cd "$1" && pwd)
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SERVER_PY="$HERE/../net/tftp_server.py"
WORK=$(mktemp -d)
NS_C="vkc$$"
NS_S="vks$$"
CLIENT_MAC=02:00:00:77:00:02
PIDS=()
failures=0

net_cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
    ip netns del "$NS_C" 2>/dev/null
    ip netns del "$NS_S" 2>/dev/null
    rm -rf "$WORK"
}
trap net_cleanup EXIT
trap "exit 1" INT TERM
cd "$WORK"

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

in_client() { ip netns exec "$NS_C" "$@"; }
in_server() { ip netns exec "$NS_S" "$@"; }

# Both namespaces and the link between them; the veth pair is created inside
# the namespaces, so the host's own interfaces are never touched.
net_up() {
    if ! ip netns add "$NS_S" 2>/dev/null; then
        echo "SKIP: network namespaces cannot be made here (needs root)"
        exit 77
    fi
    ip netns add "$NS_C" || exit 1
    ip -n "$NS_C" link add eth0 address "$CLIENT_MAC" type veth peer name srv0 netns "$NS_S" || exit 1
    ip -n "$NS_C" addr add 10.77.0.2/24 dev eth0
    ip -n "$NS_S" addr add 10.77.0.1/24 dev srv0
    ip -n "$NS_C" link set lo up
    ip -n "$NS_S" link set lo up
    ip -n "$NS_C" link set eth0 up
    ip -n "$NS_S" link set srv0 up
    ip -n "$NS_C" route add default dev eth0
    ip -n "$NS_S" route add default dev srv0
}

# start_bg <command...>: runs it in the server namespace in the background
# and remembers its pid (ip netns exec becomes the command).
start_bg() {
    ip netns exec "$NS_S" "$@" &
    PIDS+=($!)
}

# dnsmasq as DHCP server only (no DNS), handing out boot file $1; further
# arguments go to dnsmasq (more options of the reply, its TFTP server).
# DNSMASQ_ADDRESS set: it serves that address only, not every address the
# interface has or gets.
start_dnsmasq() {
    local where=--interface="${DHCP_IF:-srv0}"
    [ -n "${DNSMASQ_ADDRESS:-}" ] && where=--listen-address="$DNSMASQ_ADDRESS"
    start_bg dnsmasq --no-daemon --port=0 --conf-file=/dev/null --user=root \
        "$where" --bind-interfaces --dhcp-broadcast --no-ping \
        --dhcp-range=10.77.0.50,10.77.0.99,255.255.255.0,1h \
        --dhcp-host="$CLIENT_MAC,10.77.0.2" --dhcp-boot="$1,bootsrv,10.77.0.1" \
        --dhcp-option=3,10.77.0.1,10.77.0.3 --dhcp-option=2,-16 \
        --dhcp-leasefile="$WORK/leases" --log-facility="$WORK/dnsmasq.log" "${@:2}" 2>/dev/null
}

# in.tftpd serving directory $1 on port 69.
start_tftpd() {
    start_bg in.tftpd -L -s "$1" -a 10.77.0.1:69
}

# The Python test server: start_pyserver <arguments...>
start_pyserver() {
    start_bg python3 "$SERVER_PY" --address 10.77.0.1 "$@"
}

# tobrend-server serving directory $1 on 10.77.0.1, every port by default;
# further arguments go to it. Its log lines are appended to server.log.
start_server() {
    start_bg "$BIN/tobrend-server" --root "$1" --address 10.77.0.1 --status-port 0 --quiet \
        "${@:2}" 2>>"$WORK/server.log"
    SERVER_PID=${PIDS[-1]}
}

# stop_server [signal]: ends it (TERM by default); it must exit with 0 and
# leave no sanitizer report in its log.
stop_server() {
    kill "-${1:-TERM}" "$SERVER_PID"
    wait "$SERVER_PID"
    local rc=$?
    [ "$rc" = 0 ] || fail "the server exited with $rc"
    grep -qE 'Sanitizer|runtime error' "$WORK/server.log" && fail "sanitizer report in the server log"
}

# wait_port <udp|tcp> <port>: until a server listens in the server namespace.
wait_port() {
    local flag=-uln
    [ "$1" = tcp ] && flag=-tln
    for _ in $(seq 50); do
        in_server ss "$flag" | grep -q ":$2 " && return 0
        sleep 0.1
    done
    # Nothing else in the scenario can work without it: stop now, with the
    # server's own words, rather than let every later step wait out its time.
    fail "no server on $1 port $2"
    [ -s "$WORK/server.log" ] && tail -n 20 "$WORK/server.log"
    exit 1
}

# tobrend <seconds> <options...> <base>: runs Tobrend in the client
# namespace until its script ends (then it is interrupted) or the time is
# up; output lines (without CR) in out.
# The output files are emptied here, before the start: the background job
# truncates them only once it is scheduled, and on a busy machine the wait
# below would otherwise find the previous run's "End of batch file reached"
# and interrupt this run before it began, leaving the previous output.
tobrend() {
    local limit=$1
    shift
    : >raw.out
    : >raw.err
    ip netns exec "$NS_C" timeout -s KILL "$limit" "$BIN/tobrend" "$@" </dev/null >raw.out 2>raw.err &
    local pid=$!
    for _ in $(seq $((limit * 10))); do
        grep -q "End of batch file reached" raw.out 2>/dev/null && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -INT "$pid" 2>/dev/null
    wait "$pid"
    sed -e 's/\r$//' raw.out > out
    grep -q '^Tobrend - ' out || fail "Tobrend printed nothing of its own in this run"
}

expect_out() {
    grep -qxF -- "$1" out || { fail "missing output line: $1"; sed 's/^/    | /' out | tail -40; }
}

expect_grep() {
    grep -qE -- "$1" out || { fail "output does not match: $1"; sed 's/^/    | /' out | tail -40; }
}

# testtftp's line for a file: "TestTFTP: <bytes> bytes read, CRC is <hex>".
crc_line() {
    python3 "$HERE/net_crc.py" "$1"
}

finish() {
    [ "$failures" -eq 0 ] && { echo "PASS"; exit 0; }
    echo "$failures failure(s)"
    exit 1
}

# pelto <image> <script text>: the archiver on host files and one image.
pelto() {
    printf '%s\n' "$2" > p.pto
    timeout 120 "$BIN/pelto" -w -d"$WORK/$1" p < /dev/null > p.out 2>&1
}
fat_offset() {
    echo $(($(sfdisk -d "$1" 2> /dev/null | sed -n "s/^$1""1 : start= *\([0-9]*\).*/\1/p") * 512))
}

# cache_setup: what the cache scenarios restore and check against: a tree
# (tree/), its full archive of a FAT16 partition in at least three
# fragments (root/arc.000, $fragments of them), a blank FAT16 image
# (disk.img, the partition at byte $offset), the traditional hash of
# "secret" made by pelto's crypt ($hash) and a ramdisk (root/rd.img).
cache_setup() {
    mkdir -p root/boot tree/sub
    head -c 700000 /dev/urandom > tree/one.bin
    head -c 600000 /dev/urandom > tree/sub/two.bin
    truncate -s 100M src.img
    pelto src.img 'setpartitions "FAT16:40"
clean 1'
    mcopy -s -i "src.img@@$(fat_offset src.img)" tree/one.bin tree/sub ::/ || fail "cannot fill the source"
    pelto src.img 'set FragmentSize = "512k"
fullzip "{0:1}" "root/arc.000"'
    fragments=$(ls root/arc.* | wc -l)
    [ "$fragments" -ge 3 ] || fail "archive of $fragments fragments"
    truncate -s 100M disk.img
    pelto disk.img 'setpartitions "FAT16:40"
clean 1'
    offset=$(fat_offset disk.img)
    pelto disk.img 'crypt "secret" "ab" hash
echo "${hash}"'
    hash=$(tr -d '\r' < p.out | grep -x 'ab.\{11\}')
    head -c 100000 /dev/urandom > root/rd.img
}

# fat_image: disk.img of 32 MB with one FAT16 partition laid out by pelto and
# formatted by mkfs.fat; the partition's first sector in $start.
fat_image() {
    truncate -s 32M disk.img
    printf 'setpartitions "FAT16:24"\n' > mk.pto
    timeout 30 "$BIN/pelto" -w -d"$WORK/disk.img" mk < /dev/null > /dev/null 2>&1
    read -r start size < <(sfdisk -d disk.img 2> /dev/null |
        sed -n 's/^disk.img1 : start= *\([0-9]*\), size= *\([0-9]*\).*/\1 \2/p')
    mkfs.fat -a -F 16 -R 1 -r 512 --offset "${start:-0}" -h "${start:-0}" disk.img $((${size:-0} / 2)) \
        > /dev/null 2>&1 || fail "mkfs.fat"
}
