# Links with delay and loss for the network scenarios and benchmarks
# (sourced after net_lib.sh). The delay-and-loss relay (netrelay, built with
# the tests) runs in a namespace of its own between the server's namespace
# and the clients' side:
#
#   relay_up [relay options]      one client, the addresses of net_up:
#     NS_S srv0 10.77.0.1 -- rs0 [NS_R: netrelay] rc0 -- eth0 10.77.0.2 NS_C
#   relay_lab N [relay options]   N clients on a bridge:
#     NS_S srv0 10.77.0.1 -- rs0 [NS_R] rb0 -- up0 br0 [NS_B] p<i> --
#     eth0 10.77.0.<100+i> in namespace ${LAB_NS[i-1]}, one per client
#
# The relay's "a" side faces the server, so its "ab" options act on what the
# server sends. Every namespace name carries $$, the veth pairs are made
# inside the namespaces, and everything (the relay included) is removed at
# exit together with what net_lib.sh made.
#
#   relay_restart [relay options] new faults on the same links
#   relay_stop                    ends the relay; its counters land in
#                                 $WORK/relay.log (RELAY_COUNTERS: the lines)
#   in_lab <i> <command...>       runs a command in client i's namespace
#                                 (in the background, use ip netns exec
#                                 "${LAB_NS[i-1]}" directly, so that $! is
#                                 the command's pid)
source "$(dirname "${BASH_SOURCE[0]}")/needs.sh"
needs ip
RELAY_BIN="$BIN/netrelay"
NS_R="vkr$$"
NS_B="vkn$$"
LAB_NS=()
RELAY_PID=""
RELAY_IFS=()
RELAY_COUNTERS=""

relay_cleanup() {
    local ns
    [ -n "$RELAY_PID" ] && kill "$RELAY_PID" 2>/dev/null && wait "$RELAY_PID" 2>/dev/null
    for ns in "${LAB_NS[@]}"; do ip netns del "$ns" 2>/dev/null; done
    ip netns del "$NS_B" 2>/dev/null
    ip netns del "$NS_R" 2>/dev/null
}
# The processes of net_lib.sh end first (they may run in these namespaces).
trap 'net_cleanup; relay_cleanup' EXIT

# A namespace that only forwards: no IPv6 chatter of its own on the links.
quiet_ns() {
    ip netns add "$1" || return 1
    ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
        net.ipv6.conf.default.disable_ipv6=1 2>/dev/null
    ip -n "$1" link set lo up
}

# The server's namespace and the relay's, joined by srv0 -- rs0.
relay_server_side() {
    [ -x "$RELAY_BIN" ] || { echo "SKIP: $RELAY_BIN is not built"; exit 77; }
    if ! ip netns add "$NS_S" 2>/dev/null; then
        echo "SKIP: network namespaces cannot be made here (needs root)"
        exit 77
    fi
    quiet_ns "$NS_R" || exit 1
    ip -n "$NS_S" link add srv0 type veth peer name rs0 netns "$NS_R" || exit 1
    ip -n "$NS_S" addr add 10.77.0.1/24 brd + dev srv0
    ip -n "$NS_S" link set lo up
    ip -n "$NS_S" link set srv0 up
    ip -n "$NS_S" route add default dev srv0
    ip -n "$NS_R" link set rs0 up
}

relay_up() {
    relay_server_side
    ip netns add "$NS_C" || exit 1
    ip -n "$NS_C" link add eth0 address "$CLIENT_MAC" type veth peer name rc0 netns "$NS_R" || exit 1
    ip -n "$NS_C" addr add 10.77.0.2/24 brd + dev eth0
    ip -n "$NS_C" link set lo up
    ip -n "$NS_C" link set eth0 up
    ip -n "$NS_C" route add default dev eth0
    ip -n "$NS_R" link set rc0 up
    RELAY_IFS=(rs0 rc0)
    relay_start "$@"
}

relay_lab() {
    local n=$1 i ns
    shift
    relay_server_side
    quiet_ns "$NS_B" || exit 1
    ip -n "$NS_R" link add rb0 type veth peer name up0 netns "$NS_B" || exit 1
    ip -n "$NS_B" link add br0 type bridge forward_delay 0 || exit 1
    ip -n "$NS_B" link set up0 master br0
    ip -n "$NS_B" link set up0 up
    ip -n "$NS_B" link set br0 up
    ip -n "$NS_R" link set rb0 up
    for i in $(seq "$n"); do
        ns="vkl$$-$i"
        # Remembered before it exists, so that no namespace outlives a stop.
        LAB_NS+=("$ns")
        ip netns add "$ns" || exit 1
        ip -n "$ns" link add eth0 address "$(printf '02:00:00:77:01:%02x' "$i")" \
            type veth peer name "p$i" netns "$NS_B" || exit 1
        ip -n "$ns" addr add "10.77.0.$((100 + i))/24" brd + dev eth0
        ip -n "$ns" link set lo up
        ip -n "$ns" link set eth0 up
        ip -n "$ns" route add default dev eth0
        ip -n "$NS_B" link set "p$i" master br0
        ip -n "$NS_B" link set "p$i" up
    done
    RELAY_IFS=(rs0 rb0)
    relay_start "$@"
}

in_lab() {
    local i=$1
    shift
    ip netns exec "${LAB_NS[$((i - 1))]}" "$@"
}

# relay_start [options]: the relay between the two ends, until it says it
# is ready. It ends by itself after an hour at most.
relay_start() {
    ip netns exec "$NS_R" "$RELAY_BIN" --a "${RELAY_IFS[0]}" --b "${RELAY_IFS[1]}" \
        --max-seconds 3600 "$@" > "$WORK/relay.out" 2>&1 &
    RELAY_PID=$!
    for _ in $(seq 50); do
        grep -q "^netrelay: ready" "$WORK/relay.out" && return 0
        kill -0 "$RELAY_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "the relay did not start:"
    cat "$WORK/relay.out"
    exit 1
}

relay_stop() {
    [ -n "$RELAY_PID" ] || return 0
    kill "$RELAY_PID" 2>/dev/null
    wait "$RELAY_PID" 2>/dev/null
    RELAY_PID=""
    cat "$WORK/relay.out" >> "$WORK/relay.log"
    RELAY_COUNTERS=$(grep -E '^netrelay: (a->b|b->a) ' "$WORK/relay.out")
}

relay_restart() {
    relay_stop
    relay_start "$@"
}

# relay_count <a->b|b->a> <counter>: a counter of the last relay_stop.
relay_count() {
    printf '%s\n' "$RELAY_COUNTERS" | grep -F "netrelay: $1 " |
        sed -n "s/.*[ ,]$2 \([0-9]*\).*/\1/p"
}
