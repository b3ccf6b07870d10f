#!/usr/bin/env bash
# Throughput and CPU cost of upload and download through a local veskd pair,
# beside cp, scp and rsync over ssh to localhost, all on tmpfs in one run.
#
#   bash bench/transfer.sh [MiB]        (default 256; the documented run is 1024)
#
# VESK_BIN names the build's bin directory (default: build/bin beside this
# script).  The ssh figures come from a private sshd on a free loopback port,
# with its own host key and authorized_keys in the run's temp dir, started in
# a private mount namespace (sshd wants /run/sshd); they are skipped when that
# cannot be done.  CPU seconds per GiB count the client and the servers on
# both ends (the two veskd, or sshd with its session).
set -u
MIB=${1:-256}
HERE=$(cd "$(dirname "$0")" && pwd)
bash "$HERE/../scripts/deps.sh" bench || exit 1
export VESK_BIN=${VESK_BIN:-$HERE/../build/bin}
export TMPDIR=/dev/shm
source "$HERE/../tests/e2e/lib.sh"
set +e

TICKS=$(getconf CLK_TCK)
SRC=$T/src.bin
echo "== generating $MIB MiB of random data on tmpfs"
head -c $((MIB * 1024 * 1024)) /dev/urandom >"$SRC"
GIB=$(awk -v m="$MIB" 'BEGIN { print m / 1024 }')

# cpu_of PID...: user+system seconds of the processes and their reaped children.
cpu_of() {
    local total=0 p t
    for p in "$@"; do
        [ -r "/proc/$p/stat" ] || continue
        t=$(sed 's/^.*) //' "/proc/$p/stat" | awk '{ print $12 + $13 + $14 + $15 }')
        total=$((total + t))
    done
    awk -v t="$total" -v k="$TICKS" 'BEGIN { printf "%.3f", t / k }'
}

# measure NAME SERVER_PIDS -- CMD...: one timed run, one result row.
printf '%-22s %10s %12s %14s %14s\n' "method" "seconds" "MiB/s" "client CPU/GiB" "total CPU/GiB"
measure() {
    local name=$1 pids=$2
    shift 3
    local before after start end cpu
    before=$(cpu_of $pids)
    start=$(date +%s.%N)
    local times
    /usr/bin/time -o "$T/time" -f '%U %S' "$@" >/dev/null 2>&1
    times=$(tail -n1 "$T/time")
    end=$(date +%s.%N)
    after=$(cpu_of $pids)
    awk -v n="$name" -v s="$start" -v e="$end" -v m="$MIB" -v g="$GIB" -v t="$times" \
        -v b="$before" -v a="$after" 'BEGIN {
            split(t, c, " "); secs = e - s; client = c[1] + c[2]; total = client + a - b;
            printf "%-22s %10.2f %12.1f %14.2f %14.2f\n", n, secs, m / secs, client / g, total / g }'
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
SSHD=/usr/sbin/sshd
D=$T/ssh
mkdir -p "$D" && chmod 700 "$D"
SSHD_PID=
if [ -x "$SSHD" ] && command -v unshare >/dev/null &&
    ssh-keygen -q -t ed25519 -N '' -f "$D/host" && ssh-keygen -q -t ed25519 -N '' -f "$D/id"; then
    cp "$D/id.pub" "$D/authorized_keys"
    PORT=$(free_port)
    cat >"$D/sshd_config" <<EOF
Port $PORT
ListenAddress 127.0.0.1
HostKey $D/host
AuthorizedKeysFile $D/authorized_keys
PidFile $D/sshd.pid
PermitRootLogin yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
EOF
    unshare -m sh -c "mount -t tmpfs none /run && mkdir -p /run/sshd && exec $SSHD -D -f '$D/sshd_config' -E '$D/sshd.log'" &
    SSHD_PID=$!
    track "$SSHD_PID"
    SSH_OPTS="-p $PORT -i $D/id -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR"
    wait_for "sshd" 10 ssh $SSH_OPTS "$(id -un)@127.0.0.1" true || SSHD_PID=
fi
if [ -n "$SSHD_PID" ]; then
    # The master sshd reaps every session, so its child CPU covers them.
    MASTER=$(cat "$D/sshd.pid" 2>/dev/null || echo "$SSHD_PID")
    U=$(id -un)@127.0.0.1
    measure "scp upload" "$MASTER" -- scp -q -P "$PORT" -i "$D/id" -o BatchMode=yes \
        -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR \
        "$SRC" "$U:$T/cp/scp.bin"
    measure "scp download" "$MASTER" -- scp -q -P "$PORT" -i "$D/id" -o BatchMode=yes \
        -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR \
        "$U:$T/cp/scp.bin" "$T/back/scp.bin"
    measure "rsync upload" "$MASTER" -- rsync -e "ssh $SSH_OPTS" "$SRC" "$U:$T/cp/rsync.bin"
    measure "rsync download" "$MASTER" -- rsync -e "ssh $SSH_OPTS" "$U:$T/cp/rsync.bin" \
        "$T/back/rsync.bin"
else
    echo "scp, rsync: skipped (a private sshd could not be started)"
fi
echo "== $(uname -m), $(nproc) cores, $MIB MiB, files on tmpfs"
finish
