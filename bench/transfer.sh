#!/usr/bin/env bash
# Throughput and CPU cost of upload and download through a local veskd pair,
# beside cp, scp and rsync over ssh to localhost, all on tmpfs in one run.
#
#   bash bench/transfer.sh [MiB]        (default 256; the documented run is 1024)
#
# VESK_BIN names a build's bin directory (default: build/bin beside this,
# built with what the script needs).  The ssh figures come from a private sshd
# on a free loopback port, with its own host key and authorized_keys in the
# run's temp dir, started in a private mount namespace (sshd wants /run/sshd);
# without them the run fails.  CPU seconds per GiB count the client and the
# servers on both ends (the two veskd, or sshd with its session).
set -u
MIB=${1:-256}
HERE=$(cd "$(dirname "$0")" && pwd)
bash "$HERE/../scripts/deps.sh" bench || exit 1
source "$HERE/common.sh"
bench_build veskd upload download
export TMPDIR=/dev/shm
source "$HERE/../tests/e2e/lib.sh"
set +e

SRC=$T/src.bin
echo "== generating $MIB MiB of random data on tmpfs"
head -c $((MIB * 1024 * 1024)) /dev/urandom >"$SRC"
GIB=$(awk -v m="$MIB" 'BEGIN { print m / 1024 }')

# measure NAME SERVER_PIDS -- CMD...: one timed run, one result row.
printf '%-22s %10s %12s %14s %14s\n' "method" "seconds" "MiB/s" "client CPU/GiB" "total CPU/GiB"
measure() {
    local name=$1
    timed "$@"
    awk -v n="$name" -v s="$SECS" -v total="$CPU" -v t="$(tail -n1 "$T/time.out")" \
        -v m="$MIB" -v g="$GIB" 'BEGIN { split(t, c, " "); client = c[1] + c[2];
            printf "%-22s %10.2f %12.1f %14.2f %14.2f\n", n, s, m / s, client / g, total / g }'
}

mkdir -p "$T/cp" "$T/back"
measure "cp" "" -- cp "$SRC" "$T/cp/copy.bin"

start_pair
NEARD=$VESKD_PID
FARD=$(pgrep -P "$NEARD" -x veskd | head -n1)
measure "vesk upload" "$NEARD $FARD" -- env HOME="$NEAR" upload -q "$SRC"
cmp -s "$SRC" "$FAR/src.bin" || echo "   (upload copy differs!)"
measure "vesk download" "$NEARD $FARD" -- env HOME="$NEAR" download -q src.bin -as "$T/back/vesk.bin"
cmp -s "$SRC" "$T/back/vesk.bin" || echo "   (download copy differs!)"
stop_pair

# A private sshd for scp and rsync.
if private_sshd "$T/ssh"; then
    U=$(id -un)@127.0.0.1
    measure "scp upload" "$SSHD_MASTER" -- scp -q -P "$SSHD_PORT" "${SSH_OPTS[@]}" \
        "$SRC" "$U:$T/cp/scp.bin"
    measure "scp download" "$SSHD_MASTER" -- scp -q -P "$SSHD_PORT" "${SSH_OPTS[@]}" \
        "$U:$T/cp/scp.bin" "$T/back/scp.bin"
    RSH="ssh -p $SSHD_PORT ${SSH_OPTS[*]}"
    measure "rsync upload" "$SSHD_MASTER" -- rsync -e "$RSH" "$SRC" "$U:$T/cp/rsync.bin"
    measure "rsync download" "$SSHD_MASTER" -- rsync -e "$RSH" "$U:$T/cp/rsync.bin" \
        "$T/back/rsync.bin"
else
    fail "scp, rsync not measured (a private sshd could not be started)"
fi
echo "== $(uname -m), $(nproc) cores, $MIB MiB, files on tmpfs"
finish
