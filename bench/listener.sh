#!/usr/bin/env bash
# How long a --reconnect peer takes to link to a tcp-listen: veskd that
# strangers are holding, and what the listener holds meanwhile.  The
# strangers (tests/e2e/link_relay.py attack) keep 20 silent and 20 garbage
# connections open, each from its own loopback address, and run a wrong-key
# flood; after they have settled, a near veskd --reconnect is started and the
# time until its socket appears is taken, ROUNDS times (the near end is
# stopped between rounds and the listener listens again).  The listener's
# peak threads and resident memory are sampled every 50 ms throughout.
#
#   bash bench/listener.sh [ROUNDS]      (default 10)
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
SRC_DIR=$(cd "$HERE/.." && pwd)
ROUNDS=${1:-10}
SILENT=20
GARBAGE=20
SETTLE_S=2 # the strangers fill their places before the peer's first try
source "$HERE/common.sh"
bench_build veskd
source "$SRC_DIR/tests/e2e/lib.sh"
set +e

KEY=$T/key
veskd --genkey "$KEY" 2>/dev/null || { echo "veskd --genkey failed" >&2; exit 1; }
PORT=$(free_port)
(cd "$FAR" && HOME=$FAR exec veskd --key "$KEY" --link "tcp-listen:127.0.0.1:$PORT") \
    2>"$T/far.log" &
LISTENER=$!
track $LISTENER
wait_for "the listener" 10 bash -c "ss -Hltn 'sport = :$PORT' | grep -q ."

# Peak threads and VmHWM of the listener, sampled until the file stop exists.
sample() {
    local threads=0 t
    while [ ! -e "$T/stop" ]; do
        t=$(awk '/^Threads:/ { print $2 }' "/proc/$LISTENER/status" 2>/dev/null)
        [ -n "$t" ] && [ "$t" -gt "$threads" ] && threads=$t
        sleep 0.05
    done
    echo "$threads $(awk '/^VmHWM:/ { print $2 }' "/proc/$LISTENER/status")" >"$T/peak"
}
sample &
SAMPLER=$!
python3 "$SRC_DIR/tests/e2e/link_relay.py" attack "$PORT" $SILENT $GARBAGE 1 1 "$T/attack.stats" &
ATTACKER=$!
track $ATTACKER
START_ATTACK=$(date +%s.%N)
sleep $SETTLE_S

: >"$T/times"
for i in $(seq "$ROUNDS"); do
    rm -f "$NEAR/.vesk/socket"
    start=$(date +%s.%N)
    HOME=$NEAR veskd --reconnect --key "$KEY" --link "tcp:127.0.0.1:$PORT" 2>"$T/near$i.log" &
    near=$!
    if wait_for "the link" 60 test -S "$NEAR/.vesk/socket"; then
        end=$(date +%s.%N)
        awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }' >>"$T/times"
    else
        echo "round $i: no link within 60 s" >&2
        echo 60 >>"$T/times"
    fi
    kill $near
    wait $near 2>/dev/null
    wait_for "the listener to listen again" 10 \
        bash -c "[ \$(grep -c 'listening on' '$T/far.log') -gt $i ]"
done
END_ATTACK=$(date +%s.%N)
kill $ATTACKER
wait $ATTACKER 2>/dev/null
touch "$T/stop"
wait $SAMPLER

secs=$(awk -v s="$START_ATTACK" -v e="$END_ATTACK" 'BEGIN { printf "%.1f", e - s }')
echo "strangers: $SILENT silent and $GARBAGE garbage held open, each from its own address, and a wrong-key flood"
awk -v s="$secs" '{ printf "  %-8s %6d connections in %s s (%.0f/s)\n", $1, $2, s, $2 / s }' \
    "$T/attack.stats"
sort -n "$T/times" | awk -v n="$ROUNDS" '
    { t[NR] = $1 }
    END { printf "peer linked, %d rounds: min %.2f s, median %.2f s, max %.2f s\n",
          n, t[1], t[int((n + 1) / 2)], t[n] }'
read -r threads hwm <"$T/peak"
echo "listener: at most $threads threads, peak resident memory $((hwm / 1024)) MiB"
exit 0
