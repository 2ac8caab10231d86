#!/usr/bin/env bash
# tobrend-server over bad links: three Tobrend clients on a bridge behind the
# delay-and-loss relay (1 ms each way, 5 % loss each way, duplicates and
# reordering) fetch the same files on the broadcast (99), enhanced (59) and
# standard (69) ports. Every copy is byte-identical (testtftp's count and CRC
# computed here, and the copies each client wrote to its FAT image, read back
# by mtools), nothing waits out the client's one-second timeouts for long (the
# whole run is bounded), and the server counted its resends and repaired
# lost broadcast packets one by one. A hostile member joins the first
# broadcast session before them (tests/net/btftp_client.py --hostile: it
# asks for the window before the first over and over, and floods repair
# requests): the server drops it with its reason, and the others go on.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 mtype ip
source "$(dirname "$0")/net_lib.sh"
source "$HERE/relay_lib.sh"
export MTOOLS_SKIP_CHECK=1
[ -x "$BIN/tobrend-server" ] || { echo "SKIP: tobrend-server is not built"; exit 77; }

CLIENTS=3
relay_lab "$CLIENTS" --delay-ms 1 --loss 0.05 --dup 0.01 --reorder 0.01 --seed 19
mkdir -p root
head -c 1 /dev/urandom > root/one
head -c $((1408 * 32)) /dev/urandom > root/w32
head -c $((1048576 + 77)) /dev/urandom > root/big

S=10.77.0.1
files=(one w32 big)
{
    # The broadcast flavour first, while all clients ask at once: its
    # sessions gather all three (two sessions at once on one subnet would
    # reach each other's clients, which cannot tell them apart).
    for f in "${files[@]}"; do echo "testtftp \"$S@99:$f\" 99999999"; done
    echo "copy \"$S@99:big\" \"{0:1}/BIG99\""
    for f in "${files[@]}"; do echo "testtftp \"$S:$f\" 99999999"; done
    for f in "${files[@]}"; do echo "testtftp \"$S@69:$f\" 99999999"; done
    for port in 59 69; do echo "copy \"$S@$port:big\" \"{0:1}/BIG$port\""; done
} > root/start.tbr

# Each client writes to a FAT16 partition of its own, laid out by pelto and
# formatted by mkfs.fat.
fat_image
for i in $(seq "$CLIENTS"); do cp disk.img "disk$i.img"; done

# DHCP names the script; it comes from the server's enhanced port.
start_dnsmasq start.tbr
start_bg "$BIN/tobrend-server" --root "$WORK/root" --security-port 0 --quiet \
    --expect $((CLIENTS + 1)) --gather 10 --status-port 8099 2> server.log
wait_port udp 69
wait_port udp 59
wait_port tcp 99
in_lab 1 timeout -s KILL 90 python3 "$HERE/../net/btftp_client.py" "$S" one --hostile > hostile.out 2>&1 &
hostile=$!
PIDS+=($hostile)

# Each client ends its script and then waits: it is interrupted once its
# last line is there, or killed when the time is up.
pids=()
for i in $(seq "$CLIENTS"); do
    ip netns exec "${LAB_NS[$((i - 1))]}" timeout -s KILL 150 "$BIN/tobrend" -w -d"$WORK/disk$i.img" < /dev/null > "c$i.raw" 2>&1 &
    pids+=($!)
    PIDS+=($!)
done
for _ in $(seq 1500); do
    ended=0
    for i in $(seq "$CLIENTS"); do grep -qE "End of batch file|Error in" "c$i.raw" && ended=$((ended + 1)); done
    [ "$ended" -eq "$CLIENTS" ] && break
    sleep 0.1
done
for p in "${pids[@]}"; do kill -INT "$p" 2>/dev/null; wait "$p"; done
wait "$hostile" || fail "the hostile member was not dropped: $(cat hostile.out)"
grep -qE '#[0-9]+ dropped: 8 requests in a row that moved nothing' server.log ||
    fail "no drop of the hostile member in the log"
status=$(ip netns exec "$NS_S" python3 -c \
    'import urllib.request; print(urllib.request.urlopen("http://127.0.0.1:8099/status.json", timeout=5).read().decode())' \
    2> /dev/null)
relay_stop

for i in $(seq "$CLIENTS"); do
    tr -d '\r' < "c$i.raw" > out
    grep -q "End of batch file" out || fail "client $i did not end its script"
    for f in "${files[@]}"; do
        n=$(grep -cxF "$(crc_line "root/$f")" out)
        [ "$n" -eq 3 ] || { fail "client $i: $f intact on $n of 3 ports"; grep TestTFTP out | sed 's/^/    | /'; }
    done
done
for i in $(seq "$CLIENTS"); do
    for port in 99 59 69; do
        mtype -i "disk$i.img@@$((start * 512))" "::BIG$port" > got.bin 2> /dev/null ||
            fail "client $i: mtype cannot read BIG$port"
        cmp -s root/big got.bin || fail "client $i: BIG$port differs from the served file"
    done
done

# The links lost frames both ways, and the server made up for them.
for way in 'a->b' 'b->a'; do
    [ "$(relay_count "$way" dropped)" -gt 0 ] || fail "the relay dropped nothing $way"
done
resends=$(printf '%s' "$status" | python3 -c 'import json, sys; print(json.load(sys.stdin)["counters"]["resends"])' 2> /dev/null)
[ "${resends:-0}" -gt 0 ] || { fail "no resends counted by the server: ${status:-no status}"; tail -20 server.log; }
# Lost broadcast packets came back one by one, as the clients asked.
grep -qE '"big" done, .* [1-9][0-9]* packets repaired' server.log ||
    { fail "no broadcast packets repaired"; grep 'broadcast session' server.log | tail -5; }
echo "relay: $(printf '%s' "$RELAY_COUNTERS" | tr '\n' ' ')"
echo "server resends: ${resends:-?}"
[ -n "${LINKS_KEEP:-}" ] && cp c*.raw server.log "$LINKS_KEEP"/
finish
