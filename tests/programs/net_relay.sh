#!/usr/bin/env bash
# The delay-and-loss relay seen from both ends: numbered UDP datagrams
# echoed by the server side come back after both delays, and what the client
# counts as lost, duplicated and reordered equals the relay's own counters.
# One fault per direction in each case, static neighbours and no IPv6, so
# that every frame on the link is one of the datagrams.
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs python3 ip
source "$(dirname "$0")/net_lib.sh"
source "$HERE/relay_lib.sh"

relay_up
for ns in "$NS_C" "$NS_S"; do ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1; done
mac() { ip -n "$1" -o link show "$2" | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p'; }
in_client ip neigh replace 10.77.0.1 lladdr "$(mac "$NS_S" srv0)" dev eth0 nud permanent
in_server ip neigh replace 10.77.0.2 lladdr "$(mac "$NS_C" eth0)" dev srv0 nud permanent
start_bg python3 "$HERE/relay_echo.py" server 10.77.0.1 7777
wait_port udp 7777

# value <name>: a figure of the client's line.
value() { sed -n "s/.*\b$1 \([0-9.]*\).*/\1/p" echo.out; }
# check <what> <got> <wanted>
check() { [ "$2" = "$3" ] || fail "$case: $1 is $2, wanted $3"; }

# relay options | datagrams | gap in ms
while IFS='|' read -r case count gap; do
    relay_restart $case
    in_client python3 "$HERE/relay_echo.py" client 10.77.0.1 7777 "$count" "$gap" > echo.out
    relay_stop
    unique=$(value unique)
    check "requests passed" "$(relay_count 'b->a' passed)" \
        "$((count - $(relay_count 'b->a' dropped) + $(relay_count 'b->a' duplicated)))"
    lost=$(($(relay_count 'a->b' dropped) + $(relay_count 'b->a' dropped)))
    check "echoes" "$unique" "$((count - lost))"
    check "duplicates" "$(value duplicates)" \
        "$(($(relay_count 'a->b' duplicated) + $(relay_count 'b->a' duplicated)))"
    check "reordered echoes" "$(value reordered)" "$(relay_count 'a->b' reordered)"
    for c in overflow oversize 'send errors' 'socket drops'; do
        check "$c" "$(relay_count 'a->b' "$c")$(relay_count 'b->a' "$c")" 00
    done
    case $case in
    *0.3*)
        # Both ways held 0.3 ms: no echo comes back sooner than 0.6 ms.
        awk -v m="$(value min_ms)" 'BEGIN { exit !(m >= 0.6) }' || fail "$case: round trip $(value min_ms) ms"
        echo "round trip through the relay: min $(value min_ms) ms, median $(value median_ms) ms" ;;
    *loss*)
        [ "$lost" -ge $((count / 50)) ] && [ "$lost" -le $((count / 4)) ] ||
            fail "$case: $lost of $count lost" ;;
    *reorder*)
        [ "$(value reordered)" -gt 0 ] || fail "$case: nothing reordered" ;;
    esac
done <<'CASES'
--delay-ms 0.3|300|2
--loss-ab 0.1 --seed 3|400|0.2
--loss-ba 0.1 --dup-ab 0.1 --seed 4|400|0.2
--dup-ba 0.1 --seed 5|400|0.2
--reorder-ab 0.1 --seed 6|200|0
CASES
finish
