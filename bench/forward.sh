#!/usr/bin/env bash
# Throughput and connection set-up rate of portlink through a local veskd
# pair, beside a direct connection, socat and ssh -L, all in one run.
#
#   bash bench/forward.sh [seconds per iperf3 run] [short connections]
#   (defaults 5 and 2000; the documented run uses the defaults)
#
# VESK_BIN names a build's bin directory (default: build/bin beside this,
# built with what the script needs).  The ssh -L figures come from a private
# sshd on a free loopback port with its own host key and authorized_keys in
# the run's temp dir, started in a private mount namespace (sshd wants
# /run/sshd); without them the run fails.
set -u
SECS=${1:-5}
SHORT=${2:-2000}
HERE=$(cd "$(dirname "$0")" && pwd)
bash "$HERE/../scripts/deps.sh" bench || exit 1
source "$HERE/common.sh"
bench_build veskd portlink
source "$HERE/../tests/e2e/lib.sh"
set +e

for tool in iperf3 socat python3; do
    command -v "$tool" >/dev/null || { echo "forward.sh: $tool is not installed" >&2; exit 1; }
done

IPERF=$(free_port)
iperf3 -s -p "$IPERF" -B 127.0.0.1 >/dev/null 2>&1 &
track $!
# Short-connection service: one byte, then close.
SHORTSRV=$(free_port)
python3 - "$SHORTSRV" <<'PY' &
import asyncio, sys
async def one(reader, writer):
    writer.write(b"x")
    await writer.drain()
    writer.close()
async def main():
    server = await asyncio.start_server(one, "127.0.0.1", int(sys.argv[1]), backlog=1024)
    async with server:
        await server.serve_forever()
asyncio.run(main())
PY
track $!
wait_for "iperf3 server" 10 listening "$IPERF" || exit 1
wait_for "short-connection server" 10 listening "$SHORTSRV" || exit 1

cat >"$T/rate.py" <<'PY'
# rate PORT N CONCURRENCY: N connect-read-close cycles, CONCURRENCY at a time;
# prints connections per second.
import asyncio, sys, time
port, n, conc = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
async def worker(count):
    for _ in range(count):
        r, w = await asyncio.open_connection("127.0.0.1", port)
        assert await r.read(1) == b"x"
        w.close()
async def main():
    start = time.monotonic()
    await asyncio.gather(*(worker(n // conc) for _ in range(conc)))
    return (n // conc) * conc / (time.monotonic() - start)
print("%.0f" % asyncio.run(asyncio.wait_for(main(), 300)))
PY

# iperf_row NAME PORT: one row, both directions, in Gbit/s.
iperf_gbps() {
    iperf3 -c 127.0.0.1 -p "$1" -t "$SECS" -J $2 2>/dev/null | python3 -c '
import json, sys
try:
    print("%.2f" % (json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"] / 1e9))
except Exception:
    print("failed")'
}
printf '%-16s %16s %16s %14s %14s\n' "path" "send Gbit/s" "receive Gbit/s" "conn/s (1)" "conn/s (16)"
row() {
    local name=$1 iperf_port=$2 short_port=$3
    local up down r1 r16
    up=$(iperf_gbps "$iperf_port" "")
    down=$(iperf_gbps "$iperf_port" -R)
    if [ -n "$short_port" ]; then
        r1=$(timeout 300 python3 "$T/rate.py" "$short_port" "$SHORT" 1 2>/dev/null || echo failed)
        r16=$(timeout 300 python3 "$T/rate.py" "$short_port" "$SHORT" 16 2>/dev/null || echo failed)
    else
        r1=-
        r16=-
    fi
    printf '%-16s %16s %16s %14s %14s\n' "$name" "$up" "$down" "$r1" "$r16"
}

row "direct" "$IPERF" "$SHORTSRV"

SOCAT=$(free_port)
socat "TCP-LISTEN:$SOCAT,bind=127.0.0.1,reuseaddr,fork" "TCP:127.0.0.1:$IPERF" 2>/dev/null &
track $!
SOCAT_SHORT=$(free_port)
socat "TCP-LISTEN:$SOCAT_SHORT,bind=127.0.0.1,reuseaddr,fork" "TCP:127.0.0.1:$SHORTSRV" 2>/dev/null &
track $!
wait_for "socat" 10 listening "$SOCAT_SHORT"
row "socat" "$SOCAT" "$SOCAT_SHORT"

start_pair
PL=$(free_port)
PL_SHORT=$(free_port)
HOME=$NEAR portlink "$PL" "127.0.0.1:$IPERF" "$PL_SHORT" "127.0.0.1:$SHORTSRV" 2>"$T/portlink.err" &
track $!
wait_for "portlink" 10 listening "$PL_SHORT"
row "portlink" "$PL" "$PL_SHORT"
grep -c '^Vesk' "$T/portlink.err" | awk '$1 > 0 { print "   (portlink refused " $1 " connections)" }'
stop_pair

# A private sshd for ssh -L.
if private_sshd "$T/ssh"; then
    SL=$(free_port)
    SL_SHORT=$(free_port)
    ssh "${SSH_OPTS[@]}" -p "$SSHD_PORT" -N -L "127.0.0.1:$SL:127.0.0.1:$IPERF" \
        -L "127.0.0.1:$SL_SHORT:127.0.0.1:$SHORTSRV" "$(id -un)@127.0.0.1" &
    track $!
    wait_for "ssh -L" 10 listening "$SL_SHORT"
    row "ssh -L" "$SL" "$SL_SHORT"
else
    fail "ssh -L not measured (a private sshd could not be started)"
fi
echo "== $(uname -m), $(nproc) cores, iperf3 ${SECS}s per direction, $SHORT short connections per rate"
finish
