#!/usr/bin/env bash
# What encryption costs the TCP link, in one run: one '5' stream and an
# upload of one file through
#   1. an encrypted TCP pair on loopback (tcp-listen: / tcp: with a key),
#   2. an exec: pair (a socketpair, no encryption),
# and the same file copied with scp to a private sshd on loopback.
# Usage: bench/crypto.sh [MiB]   (default 1024; data lives in /dev/shm)
# scp needs /usr/sbin/sshd (and, run as root, its /run/sshd directory);
# without them that line is skipped.
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BIN=${VESK_BIN:-$SRC/build/bin}
MIB=${1:-1024}
for t in veskd vesk_probe upload; do
    [ -x "$BIN/$t" ] || { echo "build first: $BIN/$t missing" >&2; exit 1; }
done
command -v socat >/dev/null || { echo "socat is needed" >&2; exit 1; }
T=$(mktemp -d /dev/shm/vesk-crypto.XXXXXX)
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    sleep 0.2
    rm -rf "$T"
}
trap cleanup EXIT
mkdir -p "$T/near" "$T/far" "$T/src" && chmod 700 "$T/near" "$T/far"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_socket() { for _ in $(seq 100); do [ -S "$T/near/.vesk/socket" ] && return 0; sleep 0.1; done; return 1; }
# timed COMMAND...: its wall seconds; fails when the command fails.
timed() { local t0 t1; t0=$(date +%s.%N); "$@" || return 1; t1=$(date +%s.%N); python3 -c "print($t1 - $t0)"; }
# report NAME COMMAND...: one line of MiB/s, or a failure.
report() {
    local name=$1 s
    shift
    if s=$(timed "$@"); then rate "$name" "$s"; else echo "$name: FAILED"; fi
}
rate() {  # name seconds
    python3 -c "import sys; print('%-34s %8.1f MiB/s  (%.2f s)' % (sys.argv[1], $MIB / float(sys.argv[2]), float(sys.argv[2])))" "$1" "$2"
}
head -c $((MIB * 1024 * 1024)) /dev/urandom >"$T/src/data"
"$BIN/veskd" --genkey "$T/key" 2>/dev/null

# A sink on the far side that swallows one stream.
sink() {
    socat -u "TCP-LISTEN:$1,reuseaddr" OPEN:/dev/null &
    PIDS+=($!)
    sleep 0.3
}
stream() {
    local p
    p=$(free_port)
    sink "$p"
    HOME="$T/near" "$BIN/vesk_probe" -s '>' A "$p" <"$T/src/data" >/dev/null
}
upload() {
    (cd "$T/src" && HOME="$T/near" "$BIN/upload" data 2>/dev/null)
    cmp -s "$T/src/data" "$T/far/data" || { echo "upload: copy differs" >&2; return 1; }
    rm -f "$T/far/data"
}
stop_pair() {
    kill "$NEAR_PID" 2>/dev/null || true
    wait "$NEAR_PID" 2>/dev/null || true
    sleep 0.3
    rm -rf "$T/near/.vesk" "$T/far/.vesk"
}
measure() {  # label
    report "$1, '5' stream" stream
    report "$1, upload" upload
}

echo "== $MIB MiB, random data"
HOME=$T/near "$BIN/veskd" --link "exec:cd '$T/far' && exec env HOME='$T/far' '$BIN/veskd' --link stdio" \
    2>"$T/exec.log" &
NEAR_PID=$!
PIDS+=($NEAR_PID)
wait_socket
measure "exec: pair"
stop_pair

port=$(free_port)
(cd "$T/far" && HOME=$T/far exec "$BIN/veskd" --key "$T/key" --link "tcp-listen:127.0.0.1:$port") \
    2>"$T/far_tcp.log" &
PIDS+=($!)
HOME=$T/near "$BIN/veskd" --key "$T/key" --link "tcp:127.0.0.1:$port" 2>"$T/near_tcp.log" &
NEAR_PID=$!
PIDS+=($NEAR_PID)
wait_socket
measure "encrypted TCP pair"
stop_pair

# scp to an sshd of our own on loopback, with throw-away keys.
if [ -x /usr/sbin/sshd ] && { [ "$(id -u)" != 0 ] || [ -d /run/sshd ]; }; then
    mkdir -p "$T/ssh" && chmod 700 "$T/ssh"
    ssh-keygen -q -t ed25519 -N '' -f "$T/ssh/host"
    ssh-keygen -q -t ed25519 -N '' -f "$T/ssh/user"
    cp "$T/ssh/user.pub" "$T/ssh/authorized_keys"
    sport=$(free_port)
    cat >"$T/ssh/sshd_config" <<EOF
Port $sport
ListenAddress 127.0.0.1
HostKey $T/ssh/host
AuthorizedKeysFile $T/ssh/authorized_keys
PidFile $T/ssh/sshd.pid
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
Subsystem sftp internal-sftp
EOF
    /usr/sbin/sshd -D -e -f "$T/ssh/sshd_config" 2>"$T/ssh/sshd.log" &
    PIDS+=($!)
    sleep 0.5
    scp_once() {
        scp -q -P "$sport" -i "$T/ssh/user" -o BatchMode=yes -o StrictHostKeyChecking=no \
            -o UserKnownHostsFile=/dev/null "$T/src/data" "127.0.0.1:$T/scp.copy" || return 1
        rm -f "$T/scp.copy"
    }
    report "scp over loopback" scp_once
else
    echo "scp skipped: no sshd, or (as root) no /run/sshd"
fi
