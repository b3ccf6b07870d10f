#!/usr/bin/env bash
# What encryption costs the TCP link, in one run: one '5' stream and an
# upload of one file through
#   1. an exec: pair (a socketpair, nothing encrypted),
#   2. an encrypted TCP pair on loopback (tcp-listen: / tcp: with a key made
#      by veskd --genkey),
# and the same file copied with scp to a private sshd on loopback.  Each line
# gives the rate and the CPU seconds per GiB of the client and both veskd
# (of scp and sshd for scp).
#
#   bash bench/crypto.sh [MiB]      (default 1024; the data lives in /dev/shm)
#
# The scp line needs root (sshd's private /run comes from a mount namespace);
# without it the run fails.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
SRC_DIR=$(cd "$HERE/.." && pwd)
MIB=${1:-1024}
bash "$SRC_DIR/scripts/deps.sh" bench || exit 1
source "$HERE/common.sh"
bench_build veskd vesk_probe upload
export TMPDIR=/dev/shm
source "$SRC_DIR/tests/e2e/lib.sh"
set +e

mkdir -p "$T/src"
DATA=$T/src/data
head -c $((MIB * 1024 * 1024)) /dev/urandom >"$DATA"
KEY=$T/key
veskd --genkey "$KEY" 2>/dev/null || { echo "veskd --genkey failed" >&2; exit 1; }
SINK=$(free_port)
socat -u "TCP-LISTEN:$SINK,reuseaddr,fork" OPEN:/dev/null &
track $!
wait_for "the sink" 10 bash -c "ss -Hltn 'sport = :$SINK' | grep -q ."

# row NAME PIDS -- CMD...: one line of rate, seconds and CPU per GiB.
row() {
    local name=$1 pids=$2
    shift 3
    if timed "$name" "$pids" -- "$@"; then
        awk -v n="$name" -v m="$MIB" -v s="$SECS" -v c="$CPU" \
            'BEGIN { printf "%-32s %8.1f MiB/s %7.2f s   CPU %5.2f s/GiB\n", n, m / s, s, c * 1024 / m }'
    else
        echo "$name: FAILED ($(head -c 200 "$T/timed.err"))"
    fi
}
# measure LABEL NEAR_PID FAR_PID: the stream and the upload through the pair
# whose near socket is $NEAR/.vesk/socket and whose far end works in $FAR.
measure() {
    local pids="$2 $3"
    row "$1, '5' stream" "$pids" -- \
        sh -c "HOME='$NEAR' exec '$VESK_BIN/vesk_probe' -s '>' A $SINK <'$DATA'"
    rm -f "$FAR/data"
    row "$1, upload" "$pids" -- sh -c "cd '$T/src' && HOME='$NEAR' exec '$VESK_BIN/upload' data"
    cmp -s "$DATA" "$FAR/data" || echo "$1, upload: the far copy differs"
    rm -f "$FAR/data"
}

echo "== $MIB MiB of random data"
start_pair
measure "exec: pair" "$VESKD_PID" "$FAR_PID"
stop_pair

port=$(free_port)
(cd "$FAR" && HOME=$FAR exec veskd --key "$KEY" --link "tcp-listen:127.0.0.1:$port") \
    2>>"$T/far.log" &
far_tcp=$!
track $far_tcp
HOME=$NEAR veskd --key "$KEY" --link "tcp:127.0.0.1:$port" 2>>"$T/near.log" &
near_tcp=$!
track $near_tcp
if wait_for "the TCP pair" 10 test -S "$NEAR/.vesk/socket"; then
    measure "encrypted TCP pair" "$near_tcp" "$far_tcp"
fi
# The tcp-listen: end serves until it is stopped: stop both ends.
kill "$near_tcp" "$far_tcp" 2>/dev/null
wait_for "the TCP pair to end" 10 bash -c "! kill -0 $near_tcp && ! kill -0 $far_tcp"

if [ "$(id -u)" = 0 ] && private_sshd "$T/ssh"; then
    row "scp over loopback" "$SSHD_MASTER" -- scp -q -P "$SSHD_PORT" "${SSH_OPTS[@]}" "$DATA" \
        "$(id -un)@127.0.0.1:$T/scp.copy"
    rm -f "$T/scp.copy"
else
    fail "scp over loopback not measured (needs root and sshd)"
fi
finish
