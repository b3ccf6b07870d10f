#!/usr/bin/env bash
# veskd link benchmark, in one run:
#   1. throughput of one '5' stream across a local pair, next to a direct
#      loopback copy and a socat relay over loopback;
#   2. round-trip time of small far requests, idle and while a bulk stream runs.
# Usage: bench/link.sh [MiB]   (default 512; data comes from /dev/shm)
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
bash "$SRC/scripts/deps.sh" bench
source "$SRC/bench/common.sh"
bench_build veskd vesk_probe bench_link_rtt
BIN=$VESK_BIN
MIB=${1:-512}
command -v socat >/dev/null || { echo "socat is needed" >&2; exit 1; }
T=$(mktemp -d /dev/shm/vesk-bench.XXXXXX)
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$T"; }
trap cleanup EXIT
mkdir -p "$T/near" "$T/far" && chmod 700 "$T/near" "$T/far"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
head -c $((MIB * 1024 * 1024)) /dev/urandom >"$T/data"

HOME=$T/near "$BIN/veskd" --link "exec:cd '$T/far' && exec env HOME='$T/far' '$BIN/veskd' --link stdio" \
    2>"$T/pair.log" &
PIDS+=($!)
for _ in $(seq 100); do [ -S "$T/near/.vesk/socket" ] && break; sleep 0.1; done

# A sink on the far side that counts what arrives.
sink() {
    local port=$1
    socat -u "TCP-LISTEN:$port,reuseaddr" OPEN:/dev/null &
    PIDS+=($!)
    sleep 0.3
}
rate() {  # name seconds
    python3 -c "import sys; print('%-28s %8.1f MiB/s' % (sys.argv[1], $MIB / float(sys.argv[2])))" "$1" "$2"
}
# One '5' stream of the data through the pair (the probe's output is the
# sink's nothing).
stream() { HOME="$T/near" "$BIN/vesk_probe" -s "$@" <"$T/data" >/dev/null; }
timed() { local t0 t1; t0=$(date +%s.%N); "$@"; t1=$(date +%s.%N); python3 -c "print($t1 - $t0)"; }

echo "== one stream, $MIB MiB"
p=$(free_port); sink "$p"
s=$(timed socat -u "OPEN:$T/data" "TCP:127.0.0.1:$p"); rate "direct loopback" "$s"
p=$(free_port); sink "$p"
r=$(free_port)
socat "TCP-LISTEN:$r,reuseaddr" "TCP:127.0.0.1:$p" &
PIDS+=($!)
sleep 0.3
s=$(timed socat -u "OPEN:$T/data" "TCP:127.0.0.1:$r"); rate "socat relay" "$s"
p=$(free_port); sink "$p"
s=$(timed stream '>' A "$p"); rate "veskd pair ('5' stream)" "$s"
p=$(free_port); sink "$p"
s=$(timed stream '?' C 1 '>' C 1 '>' A "$p")
rate "veskd pair, compressed" "$s"

echo "== small far requests"
printf '%-28s ' "idle:"; HOME=$T/near "$BIN/bench_link_rtt" 500
p=$(free_port); sink "$p"
(HOME=$T/near "$BIN/vesk_probe" -s '>' A "$p" <"$T/data" >/dev/null) &
bulk=$!
sleep 0.2
printf '%-28s ' "during a bulk stream:"; HOME=$T/near "$BIN/bench_link_rtt" 500
wait $bulk || true

# A long link: 50 ms each way through a user-space delay relay.  A fixed
# 256 KiB window would cap one stream at 2.5 MiB/s; the window grows.
DELAY_MS=${DELAY_MS:-50}
kill "${PIDS[0]}" 2>/dev/null || true
sleep 0.5
rm -rf "$T/near/.vesk" "$T/far/.vesk"
HOME=$T/near "$BIN/veskd" --link "exec:cd '$T/far' && exec python3 '$SRC/bench/delay_relay.py' $DELAY_MS env HOME='$T/far' '$BIN/veskd' --link stdio" \
    2>"$T/delay.log" &
PIDS+=($!)
for _ in $(seq 100); do [ -S "$T/near/.vesk/socket" ] && break; sleep 0.1; done
head -c $((64 * 1024 * 1024)) "$T/data" >"$T/data64"
p=$(free_port); sink "$p"
t0=$(date +%s.%N)
HOME="$T/near" "$BIN/vesk_probe" -s '>' A "$p" <"$T/data64" >/dev/null
t1=$(date +%s.%N)
python3 -c "print('%-28s %8.1f MiB/s' % ('64 MiB, %d ms round trip' % (2 * $DELAY_MS), 64 / ($t1 - $t0)))"
printf '%-28s ' "requests, long link:"; HOME=$T/near "$BIN/bench_link_rtt" 20
