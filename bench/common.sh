# Helpers the benchmark scripts share; source it after tests/e2e/lib.sh
# (bench_build may be called before that).
#
#   bench_build TARGET...        unless VESK_BIN is set, configures build/ with the
#                                bench tools on (whatever it was configured with
#                                before: the tour leaves them off) and builds
#                                TARGETs; sets VESK_BIN to its bin/.  Then stops
#                                the script (status 1) when a TARGET is missing.
#   hole WHAT                    WHAT should have been measured and was not: a
#                                failed check (the run ends non-zero), counted
#                                in HOLES so that no committed figures are
#                                rewritten from the run
#   cpu_of PID...                CPU seconds of processes and their reaped children
#   timed NAME PIDS -- CMD...    runs CMD once (at most TIMED_LIMIT_S, 900 s); sets
#                                SECS (wall) and CPU (CMD's own user+system plus
#                                what PIDS used meanwhile)
#   private_sshd DIR [NETNS]     a private sshd on 127.0.0.1 (inside NETNS when
#                                given); sets SSHD_PORT, SSH_OPTS (an array) and
#                                SSHD_MASTER, or returns 1 when it cannot
#   in_ns NETNS CMD...           runs CMD in the namespace ("" runs it here)
#   tree_same [--no-times] SRC COPY
#                                whether COPY is SRC exactly: every entry's type,
#                                mode, modification time (nanoseconds; not with
#                                --no-times) and link text, and every file's
#                                bytes; prints the first differences when not

TICKS=$(getconf CLK_TCK)

HOLES=0
hole() {
    fail "not measured: $1"
    HOLES=$((HOLES + 1))
}

bench_build() {
    local src t me
    src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    me=$(basename "$0")
    if [ -z "${VESK_BIN:-}" ]; then
        echo "== building $* in $src/build"
        cmake -S "$src" -B "$src/build" -DVESK_BUILD_BENCH=ON >/dev/null &&
            cmake --build "$src/build" -j2 --target "$@" >/dev/null ||
            { echo "$me: the build failed" >&2; exit 1; }
        export VESK_BIN=$src/build/bin
    fi
    for t in "$@"; do
        [ -x "$VESK_BIN/$t" ] || { echo "$me: $VESK_BIN/$t is missing" >&2; exit 1; }
    done
}

cpu_of() {
    local total=0 p t
    for p in "$@"; do
        [ -r "/proc/$p/stat" ] || continue
        t=$(sed 's/^.*) //' "/proc/$p/stat" | awk '{ print $12 + $13 + $14 + $15 }')
        total=$((total + t))
    done
    awk -v t="$total" -v k="$TICKS" 'BEGIN { printf "%.3f", t / k }'
}

timed() {
    local pids=$2
    shift 3
    local before after start end own
    before=$(cpu_of $pids)
    start=$(date +%s.%N)
    /usr/bin/time -o "$T/time.out" -f '%U %S' timeout "${TIMED_LIMIT_S:-900}" "$@" \
        >/dev/null 2>"$T/timed.err"
    local rc=$?
    end=$(date +%s.%N)
    after=$(cpu_of $pids)
    own=$(tail -n1 "$T/time.out")
    SECS=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }')
    CPU=$(awk -v t="$own" -v b="$before" -v a="$after" \
        'BEGIN { split(t, c, " "); printf "%.3f", c[1] + c[2] + a - b }')
    return $rc
}

in_ns() {
    local ns=$1
    shift
    if [ -n "$ns" ]; then ip netns exec "$ns" "$@"; else "$@"; fi
}

private_sshd() {
    local d=$1 ns=${2:-}
    local sshd=/usr/sbin/sshd
    SSHD_MASTER=
    [ -x "$sshd" ] && command -v unshare >/dev/null || return 1
    mkdir -p "$d" && chmod 700 "$d"
    ssh-keygen -q -t ed25519 -N '' -f "$d/host" && ssh-keygen -q -t ed25519 -N '' -f "$d/id" ||
        return 1
    cp "$d/id.pub" "$d/authorized_keys"
    SSHD_PORT=$(in_ns "$ns" python3 -c \
        'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    cat >"$d/sshd_config" <<EOF
Port $SSHD_PORT
ListenAddress 127.0.0.1
HostKey $d/host
AuthorizedKeysFile $d/authorized_keys
PidFile $d/sshd.pid
PermitRootLogin yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
AllowTcpForwarding yes
MaxStartups 1000
Subsystem sftp internal-sftp
EOF
    # sshd wants /run/sshd: a private mount namespace gives it one.
    # Called directly, not through in_ns, so that $! is sshd itself.
    local start=(unshare -m sh -c "mount -t tmpfs none /run && mkdir -p /run/sshd &&
        exec $sshd -D -f '$d/sshd_config' -E '$d/sshd.log'")
    if [ -n "$ns" ]; then ip netns exec "$ns" "${start[@]}" & else "${start[@]}" & fi
    local pid=$!
    track "$pid"
    SSH_OPTS=(-i "$d/id" -o BatchMode=yes -o StrictHostKeyChecking=no
        -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR)
    wait_for "sshd" 10 in_ns "$ns" ssh "${SSH_OPTS[@]}" -p "$SSHD_PORT" \
        "$(id -un)@127.0.0.1" true || return 1
    # The master sshd reaps every session, so its child CPU covers them.
    SSHD_MASTER=$(cat "$d/sshd.pid" 2>/dev/null || echo "$pid")
    return 0
}

# tree_entries DIR: one sorted line an entry (link times their own: find
# does not follow links); tree_digests DIR: each file's digest.  Sizes are
# left out: a directory's differs between file systems, a file's shows in
# its digest.
tree_entries() { (cd "$1" && find . -printf "%P %y %m ${TREE_TIME-%T@ }%l\\n" | LC_ALL=C sort); }
tree_digests() {
    (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum)
}
tree_same() {
    local TREE_TIME='%T@ '
    [ "$1" = --no-times ] && { TREE_TIME=; shift; }
    [ -d "$1" ] && [ -d "$2" ] || { echo "   (no tree at ${2})"; return 1; }
    local e c
    e=$(diff <(tree_entries "$1") <(tree_entries "$2"))
    c=$(diff <(tree_digests "$1") <(tree_digests "$2"))
    [ -z "$e$c" ] && return 0
    echo "   $2 is not the source: $(grep -c '^<' <<<"$e") of $(tree_entries "$1" | wc -l)" \
        "entries differ in name, type, mode, time or link text, and" \
        "$(grep -c '^<' <<<"$c") files in content; the first (source <, copy >):"
    e+=$'\n'$c
    { grep '^<' <<<"$e" | head -n 3; grep '^>' <<<"$e" | head -n 3; } | sed 's/^/     /'
    return 1
}
