#!/usr/bin/env bash
# How long a --reconnect peer takes to link to a tcp-listen: veskd that
# strangers are holding, and what the listener holds meanwhile, for each
# attack mix (tests/e2e/link_relay.py attack):
#   silent  20 silent sources, each holding 8 connections
#   slow    20 slow-talking sources (a right first message, then a byte a
#           second), each holding 8 connections
#   own     5 silent connections from the peer's own address (a shared NAT)
# each over IPv4 (addresses of 127/8) and IPv6 (addresses of one /64 that
# routes to this host).  The whole run takes place in a network namespace
# of its own (unshare -rn), where the /64 can be made; where none can be
# made the IPv4 stages run here and the IPv6 ones fail the run.
#
# Per stage the strangers start, settle for SETTLE_S, and then, until they
# have run ATTACK_S, a near veskd --reconnect is started and the time until
# its socket appears is taken, again and again (the near end is stopped
# between rounds and the listener listens again).  Then the strangers stop
# and one more peer's time to link is taken.  The listener's peak threads
# and descriptors are sampled every 50 ms throughout.
#
#   bash bench/listener.sh [ATTACK_S]      (default 60)
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
SRC_DIR=$(cd "$HERE/.." && pwd)
ATTACK_S=${1:-60}
SETTLE_S=2       # the strangers fill their places before the peer's first try
LINK_LIMIT_S=60  # a round without a link by then counts as this
NET6=fd00:1::    # the /64 of the IPv6 stages, inside the namespace
SOURCES=20       # strangers' addresses in the silent and slow mixes ...
PER_SOURCE=8     # ... and connections each, twice a source's share
export ATTACK_SOURCES=$SOURCES
if [ -z "${VESK_BENCH_NS:-}" ]; then
    # Built and installed once, outside the namespace it runs itself in.
    source "$HERE/common.sh"
    bench_build veskd
    bash "$SRC_DIR/scripts/deps.sh" bench || exit 1
    if unshare -rn true 2>/dev/null; then
        exec env VESK_BENCH_NS=1 VESK_BIN="$VESK_BIN" unshare -rn bash "$0" "$@"
    fi
fi
export VESK_BIN=${VESK_BIN:-$SRC_DIR/build/bin}
source "$SRC_DIR/tests/e2e/lib.sh"
set +e
HAVE6=0
if [ -n "${VESK_BENCH_NS:-}" ]; then
    ip link set lo up && ip -6 route add local "$NET6/64" dev lo &&
        sysctl -qw net.ipv6.ip_nonlocal_bind=1 && HAVE6=1
fi

KEY=$T/key
veskd --genkey "$KEY" 2>/dev/null || { echo "veskd --genkey failed" >&2; exit 1; }
RELAY=$SRC_DIR/tests/e2e/link_relay.py
FAILED=0

# Peak threads and descriptors of pid, sampled until the file stop exists.
sample() {
    local threads=0 fds=0 t f
    while [ ! -e "$T/stop" ]; do
        t=$(awk '/^Threads:/ { print $2 }' "/proc/$1/status" 2>/dev/null)
        f=$(ls "/proc/$1/fd" 2>/dev/null | wc -l)
        [ -n "$t" ] && [ "$t" -gt "$threads" ] && threads=$t
        [ "$f" -gt "$fds" ] && fds=$f
        sleep 0.05
    done
    echo "$threads $fds" >"$T/peak"
}

# link_time HOST PORT LOG: starts a peer, prints the seconds until it linked
# (LINK_LIMIT_S when it did not), stops it and waits for the listener to
# listen again.
link_time() {
    local start end near listens
    listens=$(grep -c 'listening on' "$T/far.log")
    rm -f "$NEAR/.vesk/socket"
    start=$(date +%s.%N)
    HOME=$NEAR veskd --reconnect --key "$KEY" --link "tcp:$1:$2" 2>>"$3" &
    near=$!
    if wait_for "the link" $LINK_LIMIT_S test -S "$NEAR/.vesk/socket" 2>/dev/null; then
        end=$(date +%s.%N)
        awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f\n", e - s }'
    else
        echo "$LINK_LIMIT_S"
    fi
    kill $near
    wait $near 2>/dev/null
    wait_for "the listener to listen again" 10 \
        bash -c "[ \$(grep -c 'listening on' '$T/far.log') -gt $listens ]"
}

# stage FAMILY MIX: one row of the table.
stage() {
    local family=$1 mix=$2 host=127.0.0.1 net6="" args port listener sampler attacker
    if [ "$family" = IPv6 ]; then
        if [ $HAVE6 = 0 ]; then
            printf '%-5s %-7s cannot run: no network namespace with an IPv6 /64\n' "$family" "$mix"
            FAILED=1
            return
        fi
        host="[${NET6}1]" net6=$NET6
    fi
    case $mix in
        silent) args="$((SOURCES * PER_SOURCE)) 0 0 1 $T/stats 0 0" ;;
        slow) args="0 0 0 1 $T/stats $((SOURCES * PER_SOURCE)) 0" ;;
        own) args="0 0 0 0 $T/stats 0 5" ;;
    esac
    port=$(free_port)
    rm -f "$T/stop" "$T/far.log"
    (cd "$FAR" && HOME=$FAR exec veskd --key "$KEY" --link "tcp-listen:$host:$port") \
        2>"$T/far.log" &
    listener=$!
    wait_for "the listener" 10 grep -q 'listening on' "$T/far.log" || {
        echo "$family $mix: the listener did not start" >&2
        FAILED=1
        kill $listener
        return
    }
    sample $listener &
    sampler=$!
    # shellcheck disable=SC2086
    python3 "$RELAY" attack "$port" $args $net6 &
    attacker=$!
    local begin=$SECONDS
    sleep $SETTLE_S
    : >"$T/times"
    while [ $((SECONDS - begin)) -lt "$ATTACK_S" ]; do
        link_time "$host" "$port" "$T/near.log" >>"$T/times"
    done
    kill $attacker
    wait $attacker 2>/dev/null
    after=$(link_time "$host" "$port" "$T/near.log")
    touch "$T/stop"
    wait $sampler
    kill $listener
    wait $listener 2>/dev/null
    read -r threads fds <"$T/peak"
    sort -n "$T/times" | awk -v f="$family" -v m="$mix" -v a="$after" -v th="$threads" \
        -v fd="$fds" -v lim="$LINK_LIMIT_S" '
        { t[NR] = $1; if ($1 >= lim) miss++ }
        END { printf "%-5s %-7s %6d %8.2f %8.2f %8.2f %6d %8.2f %8d %6d\n", f, m, NR, t[1],
              t[int((NR + 1) / 2)], t[NR], miss, a, th, fd }'
    awk '$1 == "slow" || $1 == "silent" || $1 == "own" { s += $2 } END { exit !(s > 0) }' \
        "$T/stats" || { echo "$family $mix: the strangers made no connection" >&2; FAILED=1; }
}

echo "strangers for ${ATTACK_S} s per stage; seconds from a --reconnect peer's start to its link"
printf '%-5s %-7s %6s %8s %8s %8s %6s %8s %8s %6s\n' family mix rounds min median max failed \
    after threads fds
for family in IPv4 IPv6; do
    for mix in silent slow own; do stage $family $mix; done
done
echo "(after: the first peer once the strangers stopped; threads, fds: the listener's peak)"
exit $FAILED
