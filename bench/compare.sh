#!/usr/bin/env bash
# vesk against the protocol's floor and the tools users would pick, in one
# run, with ratios taken within that run (absolute figures drift on a shared
# machine):
#   1. upload and download through a local pair against bench_protolimit
#      (best of 3), and a large file against scp and rsync over ssh;
#   2. iperf3 through portlink against a direct connection, socat and ssh -L;
#   3. a long link (100 ms round trip, 1 Gbit/s): one upload and one '5'
#      stream (iperf3 through portlink) against scp and ssh -L on the same
#      path: steady rate as a share of the link and time to reach 80% of it;
#   4. a busy slow link (20 ms, 10 Mbit/s): 64-byte echoes through portlink
#      while an upload fills the link, against ssh -L while scp fills it;
#   5. many files over a 50 ms round trip (1,000 of 4 KiB, 100 of 1 MiB):
#      upload and download of a file list, one at a time and with -j, against
#      scp -r and rsync -a over ssh on the same delayed path.
#   6. a deep tree shaped like /usr/share/doc (bench/tree.sh, "tree" in
#      --only): upload -R and download -R against rsync -a and scp -r at no
#      delay and a 50 ms round trip, and a re-run after one file changed.
# Writes the table into docs/performance.md (between its results markers)
# and the chart into docs/performance.png.
#
#   bash bench/compare.sh [--quick]
#
# --quick uses smaller files and shorter runs (for trying things out; the
# documented figures come from a full run).  --only runs the named stages.
# Both print their figures without touching docs/, which only a full run that
# measured every stage rewrites.  A stage that cannot run (no namespaces, no
# sshd, a copy that failed) fails the run with status 1; so does a target
# missed: the closing "N checks" line counts the targets judged.  Before it
# measures anything it checks that the report step can run (bench/report.py
# --check).  Installs what it needs (as root, apt-get) and builds the
# programs it runs with the bench tools on (bench_build in common.sh).  The
# emulated links live in two network namespaces made for the run and joined
# by a veth pair (tbf shapes the rate, bench_delay_link adds the delay);
# every namespace, process and file it made is gone when it ends, and every
# wait is bounded.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
SRC_DIR=$(cd "$HERE/.." && pwd)
QUICK=0
ONLY=
while [ $# -gt 0 ]; do
    case $1 in
        --quick) QUICK=1 ;;
        --only) ONLY=${2:-}; shift ;;
        *) echo "usage: bash bench/compare.sh [--quick] [--only transfers,forward,long,busy,many,tree]" >&2
            exit 2 ;;
    esac
    shift
done
# want STAGE: whether this run measures it.
want() { [ -z "$ONLY" ] || [[ ",$ONLY," == *",$1,"* ]]; }

if [ $QUICK = 1 ]; then
    FLOOR_MIB=64 BIG_MIB=256 IPERF_S=3 LONG_S=10 LONG_MIB=256 ECHOES=100 RUNS=2
    MANY_SMALL_N=200 MANY_LARGE_N=20
else
    FLOOR_MIB=256 BIG_MIB=1024 IPERF_S=5 LONG_S=20 LONG_MIB=1024 ECHOES=200 RUNS=3
    MANY_SMALL_N=1000 MANY_LARGE_N=100
fi
MANY_RTT_MS=50
MANY_JOBS=128    # files in flight for the -j runs
LONG_RTT_MS=100 LONG_RATE_BPS=1000000000
BUSY_RTT_MS=20 BUSY_RATE_BPS=10000000
# More than passes at 10 Mbit/s while the echoes run (each may wait half a
# second behind the bulk): the bulk transfer is ended after them.
BUSY_MIB=192
ECHO_GAP_MS=50   # between echo probes
WARM_S=3         # a bulk transfer runs this long before the echoes start

# ---- what it needs ----
if [ -f "$SRC_DIR/scripts/deps.sh" ]; then
    bash "$SRC_DIR/scripts/deps.sh" build bench || exit 1
else
    need=(cmake make g++ libssl-dev libzstd-dev iperf3 rsync openssh-client openssh-server
        gnuplot-nox socat python3 time procps iproute2 linux-perf strace)
    missing=()
    for p in "${need[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing ${missing[*]}"
        SUDO=
        [ "$(id -u)" -ne 0 ] && SUDO=sudo
        $SUDO apt-get update -qq || true
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null || exit 1
    fi
fi
source "$HERE/common.sh"
bench_build veskd upload download portlink bench_protolimit bench_delay_link
if [ "$(id -u)" -ne 0 ]; then
    echo "compare.sh needs root for the network namespaces of the emulated links" >&2
    exit 1
fi
# A file the report reads that has moved must stop the run now, not after it.
python3 "$HERE/report.py" --check || exit 1

export TMPDIR=/dev/shm
source "$SRC_DIR/tests/e2e/lib.sh"
set +e
PROBES=$HERE/probes.py
RESULTS=$T/results
: >"$RESULTS"
NS_NEAR=vesk-near-$$
NS_FAR=vesk-far-$$
VETH_NEAR=vkn$$
VETH_FAR=vkf$$
# The veth pair's addresses exist only inside the two namespaces this run makes.
ADDR_NEAR=10.213.47.1
ADDR_FAR=10.213.47.2
declare -a STAGE_PIDS=()
SSHD_MASTER=

bench_cleanup() {
    local p ns
    for p in "${STAGE_PIDS[@]}"; do kill "$p" 2>/dev/null; done
    for ns in "$NS_NEAR" "$NS_FAR"; do
        ip netns list 2>/dev/null | grep -qw "$ns" || continue
        # Only this run's processes live in its namespaces.
        for p in $(ip netns pids "$ns" 2>/dev/null); do kill "$p" 2>/dev/null; done
        sleep 0.2
        for p in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$p" 2>/dev/null; done
        ip netns del "$ns" 2>/dev/null
    done
    cleanup
}
trap bench_cleanup EXIT
trap 'exit 130' INT TERM

note() { echo "$1 $2" >>"$RESULTS"; }
say() { echo "== $*"; }
listening() { in_ns "${2:-}" ss -Hltn "sport = :$1" | grep -q .; }
stage_bg() { STAGE_PIDS+=("$1"); }
stage_end() {
    local p
    for p in "${STAGE_PIDS[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${STAGE_PIDS[@]}"; do
        wait_for "process $p to end" 5 bash -c "! kill -0 $p" || kill -9 "$p" 2>/dev/null
    done
    STAGE_PIDS=()
}
# min FILE: the smallest number in the file.
min_of() { sort -g "$1" | head -n1; }

# ---- 1. transfers on a local pair ----
SMALL=$T/small.bin
BIG=$T/big.bin
mkdir -p "$T/back"
if want transfers || want long || want busy; then
    say "data: $FLOOR_MIB MiB and $BIG_MIB MiB of random bytes on tmpfs"
    head -c $((BIG_MIB * 1024 * 1024)) /dev/urandom >"$BIG"
    head -c $((FLOOR_MIB * 1024 * 1024)) "$BIG" >"$SMALL"
fi

if want transfers; then
start_pair
NEARD=$VESKD_PID
FARD=$FAR_PID
say "transfers of $FLOOR_MIB MiB against the floor, best of $RUNS"
for i in $(seq "$RUNS"); do
    rm -f "$T/floor.out" "$FAR/small.bin" "$T/back/small.bin"
    timed floor "" -- "$VESK_BIN/bench_protolimit" up "$SMALL" "$T/floor.out"
    echo "$SECS" >>"$T/floor_up"
    timed upload "$NEARD $FARD" -- env HOME="$NEAR" upload -q "$SMALL"
    echo "$SECS" >>"$T/vesk_up"
    cmp -s "$SMALL" "$FAR/small.bin" || hole "upload: the copy differs"
    rm -f "$T/floor.out"
    timed floor "" -- "$VESK_BIN/bench_protolimit" down "$SMALL" "$T/floor.out"
    echo "$SECS" >>"$T/floor_down"
    timed download "$NEARD $FARD" -- env HOME="$NEAR" download -q small.bin "$T/back"
    echo "$SECS" >>"$T/vesk_down"
    cmp -s "$SMALL" "$T/back/small.bin" || hole "download: the copy differs"
done
for k in floor_up vesk_up floor_down vesk_down; do note "$k" "$(min_of "$T/$k")"; done
rm -f "$T/floor.out" "$FAR/small.bin" "$T/back/small.bin"

say "transfers of $BIG_MIB MiB: vesk"
timed upload "$NEARD $FARD" -- env HOME="$NEAR" upload -q "$BIG"
note big_vesk_up_s "$SECS"
note big_vesk_up_cpu "$CPU"
cmp -s "$BIG" "$FAR/big.bin" || hole "big upload: the copy differs"
timed download "$NEARD $FARD" -- env HOME="$NEAR" download -q big.bin "$T/back"
note big_vesk_down_s "$SECS"
note big_vesk_down_cpu "$CPU"
cmp -s "$BIG" "$T/back/big.bin" || hole "big download: the copy differs"
rm -f "$FAR/big.bin" "$T/back/big.bin"
stop_pair

if private_sshd "$T/ssh"; then
    U="$(id -un)@127.0.0.1"
    say "transfers of $BIG_MIB MiB: scp and rsync"
    timed scp "$SSHD_MASTER" -- scp -q -P "$SSHD_PORT" "${SSH_OPTS[@]}" "$BIG" "$U:$T/back/s.bin"
    note big_scp_up_s "$SECS"
    note big_scp_up_cpu "$CPU"
    timed scp "$SSHD_MASTER" -- scp -q -P "$SSHD_PORT" "${SSH_OPTS[@]}" "$U:$T/back/s.bin" \
        "$T/back/s2.bin"
    note big_scp_down_s "$SECS"
    note big_scp_down_cpu "$CPU"
    rm -f "$T/back/s.bin" "$T/back/s2.bin"
    RSH="ssh -p $SSHD_PORT ${SSH_OPTS[*]}"
    timed rsync "$SSHD_MASTER" -- rsync -e "$RSH" "$BIG" "$U:$T/back/r.bin"
    note big_rsync_up_s "$SECS"
    note big_rsync_up_cpu "$CPU"
    timed rsync "$SSHD_MASTER" -- rsync -e "$RSH" "$U:$T/back/r.bin" "$T/back/r2.bin"
    note big_rsync_down_s "$SECS"
    note big_rsync_down_cpu "$CPU"
    rm -f "$T/back/r.bin" "$T/back/r2.bin"
else
    hole "transfers with scp and rsync (no private sshd)"
fi
fi

# ---- 2. forwarding ----
if want forward; then
[ -n "$SSHD_MASTER" ] || private_sshd "$T/ssh-fwd"
say "iperf3 through portlink, socat and ssh -L, ${IPERF_S}s each way"
IPERF=$(free_port)
iperf3 -s -p "$IPERF" -B 127.0.0.1 >/dev/null 2>&1 &
track $!
wait_for "iperf3 server" 10 listening "$IPERF"
# fwd NAME PORT: both directions through PORT, Gbit/s.
fwd() {
    local dir flag
    for dir in send receive; do
        flag=
        [ $dir = receive ] && flag=-R
        timeout $((IPERF_S + 20)) iperf3 -c 127.0.0.1 -p "$2" -t "$IPERF_S" -J $flag \
            >"$T/iperf.json" 2>/dev/null
        note "fwd_${1}_$dir" "$(python3 "$PROBES" iperf-sum "$T/iperf.json")"
    done
}
fwd direct "$IPERF"
SOCAT=$(free_port)
socat "TCP-LISTEN:$SOCAT,bind=127.0.0.1,reuseaddr,fork" "TCP:127.0.0.1:$IPERF" 2>/dev/null &
track $!
wait_for "socat" 10 listening "$SOCAT" && fwd socat "$SOCAT"
start_pair
PL=$(free_port)
HOME=$NEAR portlink "$PL" "127.0.0.1:$IPERF" 2>"$T/portlink.err" &
PLPID=$!
track $PLPID
wait_for "portlink" 10 listening "$PL" && fwd portlink "$PL"
kill $PLPID 2>/dev/null
stop_pair
if [ -n "$SSHD_MASTER" ]; then
    SL=$(free_port)
    ssh -p "$SSHD_PORT" "${SSH_OPTS[@]}" -N -L "127.0.0.1:$SL:127.0.0.1:$IPERF" \
        "$(id -un)@127.0.0.1" &
    SLPID=$!
    track $SLPID
    wait_for "ssh -L" 10 listening "$SL" && fwd sshL "$SL"
    kill $SLPID 2>/dev/null
fi
fi

# ---- the emulated links ----
LINKS_OK=0
if want long || want busy; then
    ip netns add "$NS_NEAR" && ip netns add "$NS_FAR" &&
        ip link add "$VETH_NEAR" type veth peer name "$VETH_FAR" &&
        ip link set "$VETH_NEAR" netns "$NS_NEAR" && ip link set "$VETH_FAR" netns "$NS_FAR" &&
        ip -n "$NS_NEAR" addr add "$ADDR_NEAR/30" dev "$VETH_NEAR" &&
        ip -n "$NS_FAR" addr add "$ADDR_FAR/30" dev "$VETH_FAR" &&
        ip -n "$NS_NEAR" link set lo up && ip -n "$NS_FAR" link set lo up &&
        ip -n "$NS_NEAR" link set "$VETH_NEAR" up && ip -n "$NS_FAR" link set "$VETH_FAR" up &&
        LINKS_OK=1 ||
        echo "cannot make the network namespaces; the emulated links are skipped" >&2
fi
LN_NEAR=$T/ln-near
LN_FAR=$T/ln-far
mkdir -p "$LN_NEAR" "$LN_FAR" && chmod 700 "$LN_NEAR" "$LN_FAR"
head -c 32 /dev/urandom >"$T/link.key" && chmod 600 "$T/link.key"

# shape RATE_BPS: tbf on both ends of the veth.  The bucket holds 2 ms of the
# rate (at least 16 KiB) and the queue 5 ms: the bottleneck's own queue adds
# little, so what a test sees is what the senders queue.
shape() {
    local burst=$(($1 / 8 / 500))
    [ $burst -lt 16384 ] && burst=16384
    tc -n "$NS_NEAR" qdisc replace dev "$VETH_NEAR" root tbf rate "$1bit" burst "$burst" \
        latency 5ms &&
        tc -n "$NS_FAR" qdisc replace dev "$VETH_FAR" root tbf rate "$1bit" burst "$burst" \
            latency 5ms
}

# link_up RTT_MS: a veskd pair over TCP through the delay relay, an ssh
# connection (a master, for scp to share) through another; portlink and
# ssh -L lead to the far iperf3 and echo servers.
link_up() {
    local d=$(($1 / 2))
    rm -rf "$LN_NEAR/.vesk" "$LN_FAR/.vesk"
    local lp rp sp
    lp=$(free_port)
    rp=$(free_port)
    sp=$(free_port)
    ip netns exec "$NS_FAR" sh -c "cd '$LN_FAR' && exec env HOME='$LN_FAR' '$VESK_BIN/veskd' \
        --key '$T/link.key' --link 'tcp-listen:127.0.0.1:$lp'" 2>>"$T/ln-far.log" &
    stage_bg $!
    wait_for "far veskd" 10 listening "$lp" "$NS_FAR"
    ip netns exec "$NS_FAR" "$VESK_BIN/bench_delay_link" "$ADDR_FAR" "$rp" 127.0.0.1 "$lp" "$d" &
    stage_bg $!
    ip netns exec "$NS_FAR" "$VESK_BIN/bench_delay_link" "$ADDR_FAR" "$sp" 127.0.0.1 "$FSSHD_PORT" "$d" &
    stage_bg $!
    wait_for "delay relays" 10 listening "$sp" "$NS_FAR"
    ip netns exec "$NS_NEAR" env HOME="$LN_NEAR" "$VESK_BIN/veskd" --key "$T/link.key" \
        --link "tcp:$ADDR_FAR:$rp" 2>>"$T/ln-near.log" &
    stage_bg $!
    wait_for "the near socket" 20 test -S "$LN_NEAR/.vesk/socket" || return 1
    LN_PL=$(free_port)
    LN_ECHO_PL=$(free_port)
    ip netns exec "$NS_NEAR" env HOME="$LN_NEAR" "$VESK_BIN/portlink" "$LN_PL" "127.0.0.1:$FIPERF" \
        "$LN_ECHO_PL" "127.0.0.1:$FECHO" 2>>"$T/ln-portlink.log" &
    stage_bg $!
    # A fresh control socket per link: scp shares this connection, so the
    # echoes wait behind its bytes as portlink's wait behind the upload's.
    SSH_CTL=$T/ssh-ctl-$rp
    rm -f "$SSH_CTL"
    LN_SL=$(free_port)
    LN_ECHO_SL=$(free_port)
    ip netns exec "$NS_NEAR" ssh -p "$sp" "${SSH_OPTS[@]}" -M -S "$SSH_CTL" -N \
        -L "127.0.0.1:$LN_SL:127.0.0.1:$FIPERF" -L "127.0.0.1:$LN_ECHO_SL:127.0.0.1:$FECHO" \
        "$(id -un)@$ADDR_FAR" &
    stage_bg $!
    LN_SSH_PORT=$sp
    wait_for "portlink" 10 listening "$LN_ECHO_PL" "$NS_NEAR" &&
        wait_for "ssh -L" 20 listening "$LN_ECHO_SL" "$NS_NEAR"
}
# Both run in the background only: exec makes $! the transfer itself, so
# that killing it ends the transfer, not a subshell.
near_ln() { exec ip netns exec "$NS_NEAR" env HOME="$LN_NEAR" timeout "$1" "${@:2}"; }
scp_ln() {
    exec ip netns exec "$NS_NEAR" timeout "$1" scp -q -o ControlPath="$SSH_CTL" -P "$LN_SSH_PORT" \
        "${SSH_OPTS[@]}" "$2" "$(id -un)@$ADDR_FAR:$3"
}

if [ $LINKS_OK = 1 ]; then
    FIPERF=5201
    FECHO=7007
    ip netns exec "$NS_FAR" iperf3 -s -p "$FIPERF" -B 127.0.0.1 -i 0.5 >/dev/null 2>&1 &
    track $!
    ip netns exec "$NS_FAR" python3 "$PROBES" echo-serve "$FECHO" &
    track $!
    private_sshd "$T/fssh" "$NS_FAR" && FSSHD_PORT=$SSHD_PORT || FSSHD_PORT=
fi

# ---- 3. the long link ----
if want long && [ $LINKS_OK = 1 ] && [ -n "$FSSHD_PORT" ] && shape $LONG_RATE_BPS && link_up $LONG_RTT_MS; then
    say "long link: ${LONG_RTT_MS} ms, $((LONG_RATE_BPS / 1000000)) Mbit/s"
    # series NAME PORT: iperf3 through PORT for LONG_S, receiver's figures.
    series() {
        in_ns "$NS_NEAR" timeout $((LONG_S + 30)) iperf3 -c 127.0.0.1 -p "$2" -t "$LONG_S" \
            -J --get-server-output >"$T/long.json" 2>/dev/null
        note "long_$1" "$(python3 "$PROBES" iperf "$T/long.json" $LONG_RATE_BPS)"
    }
    series stream "$LN_PL"
    series sshL "$LN_SL"
    head -c $((LONG_MIB * 1024 * 1024)) "$BIG" >"$T/long.bin" 2>/dev/null
    [ "$(stat -c %s "$T/long.bin")" -lt $((LONG_MIB * 1024 * 1024)) ] &&
        head -c $((LONG_MIB * 1024 * 1024)) /dev/urandom >"$T/long.bin"
    grow_secs=$((LONG_MIB * 8 * 1024 * 1024 / LONG_RATE_BPS * 4 + 60))
    near_ln $grow_secs upload -q "$T/long.bin" >/dev/null 2>&1 &
    up=$!
    note long_upload "$(python3 "$PROBES" grow "$LN_FAR/long.bin" $((LONG_MIB * 1048576)) \
        $grow_secs $LONG_RATE_BPS)"
    wait $up
    rm -f "$LN_FAR/long.bin"
    scp_ln $grow_secs "$T/long.bin" "$LN_FAR/scp.bin" >/dev/null 2>&1 &
    up=$!
    note long_scp "$(python3 "$PROBES" grow "$LN_FAR/scp.bin" $((LONG_MIB * 1048576)) \
        $grow_secs $LONG_RATE_BPS)"
    wait $up
    rm -f "$LN_FAR/scp.bin" "$T/long.bin"
elif want long; then
    hole "the long link (no namespaces, sshd or emulated link)"
fi
stage_end

# ---- 4. the busy slow link ----
if want busy && [ $LINKS_OK = 1 ] && [ -n "$FSSHD_PORT" ] && shape $BUSY_RATE_BPS && link_up $BUSY_RTT_MS; then
    say "busy link: ${BUSY_RTT_MS} ms, $((BUSY_RATE_BPS / 1000000)) Mbit/s, $ECHOES echoes"
    head -c $((BUSY_MIB * 1024 * 1024)) "$BIG" >"$T/busy.bin"
    probe_secs=$((ECHOES * (ECHO_GAP_MS + 1000) / 1000 + 30))
    echoes() {
        in_ns "$NS_NEAR" timeout $probe_secs python3 "$PROBES" echo-probe "$1" "$2" $ECHO_GAP_MS
    }
    note busy_idle_pl "$(echoes "$LN_ECHO_PL" $((ECHOES / 3)))"
    note busy_idle_sshL "$(echoes "$LN_ECHO_SL" $((ECHOES / 3)))"
    # under_bulk KEY ECHO_PORT COMMAND...: echo times noted while COMMAND fills the link.
    under_bulk() {
        local key=$1 port=$2 bulk
        shift 2
        "$@" >/dev/null 2>&1 &
        bulk=$!
        sleep $WARM_S
        note "$key" "$(echoes "$port" $ECHOES)"
        kill $bulk 2>/dev/null
        wait $bulk 2>/dev/null
    }
    bulk_s=$((probe_secs + WARM_S + 10))
    under_bulk busy_pl "$LN_ECHO_PL" near_ln $bulk_s upload -q "$T/busy.bin"
    rm -f "$LN_FAR/busy.bin"
    under_bulk busy_sshL "$LN_ECHO_SL" scp_ln $bulk_s "$T/busy.bin" "$LN_FAR/scp.bin"
    rm -f "$T/busy.bin" "$LN_FAR/busy.bin" "$LN_FAR/scp.bin"
elif want busy; then
    hole "the busy link (no namespaces, sshd or emulated link)"
fi
stage_end

# ---- 5. many files over a long round trip ----
# many_copy TOOL SET DIR COPY -- CMD...: one timed copy of the set (small or
# large), noted as many_SET_TOOL_DIR; COPY is compared with the set, then
# removed.
many_copy() {
    local key="many_$2_$1_$3" set=$2 copy=$4
    shift 5
    if ! timed "$key" "" -- "$@"; then
        hole "$key (failed: $(head -c 200 "$T/timed.err"))"
    elif ! diff -rq "$MANY/$set" "$copy" >/dev/null; then
        hole "$key (the copy differs)"
    else
        note "$key" "$SECS"
    fi
    rm -rf "$copy"
}
if want many; then
    MANY=$T/many
    MN=$T/many-near
    MF=$T/many-far
    mkdir -p "$MANY" "$MN" "$MF" && chmod 700 "$MN" "$MF"
    say "many files: $MANY_SMALL_N of 4 KiB, $MANY_LARGE_N of 1 MiB, ${MANY_RTT_MS} ms round trip"
    python3 -c '
import os, sys
root, small, large = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for name, n, size in (("small", small, 4096), ("large", large, 1 << 20)):
    os.makedirs(os.path.join(root, name))
    for i in range(n):
        with open(os.path.join(root, name, "f%05d" % i), "wb") as f:
            f.write(os.urandom(size))
' "$MANY" "$MANY_SMALL_N" "$MANY_LARGE_N"
    cp -r "$MANY/small" "$MANY/large" "$MF/"
    head -c 32 /dev/urandom >"$T/many.key" && chmod 600 "$T/many.key"
    # many_pair DELAY_MS: a veskd pair over tcp: through the delay relay.
    many_pair() {
        local lp rp
        lp=$(free_port)
        rp=$(free_port)
        rm -rf "$MN/.vesk" "$MF/.vesk"
        (cd "$MF" && HOME=$MF exec "$VESK_BIN/veskd" --key "$T/many.key" \
            --link "tcp-listen:127.0.0.1:$lp") 2>>"$T/many-far.log" &
        stage_bg $!
        wait_for "far veskd" 10 listening "$lp"
        "$VESK_BIN/bench_delay_link" 127.0.0.1 "$rp" 127.0.0.1 "$lp" "$1" &
        stage_bg $!
        HOME=$MN "$VESK_BIN/veskd" --key "$T/many.key" --link "tcp:127.0.0.1:$rp" \
            2>>"$T/many-near.log" &
        stage_bg $!
        wait_for "the near socket" 20 test -S "$MN/.vesk/socket"
    }
    # many_one TOOL SET: the set one file at a time, both ways.
    many_one() {
        local names
        names=$(cd "$MANY/$2" && echo *)
        mkdir -p "$MF/up-$1" "$T/down-$1"
        many_copy $1 $2 up "$MF/up-$1" -- sh -c "cd '$MANY/$2' && \
            HOME='$MN' exec '$VESK_BIN/upload' -q $names up-$1"
        many_copy $1 $2 down "$T/down-$1" -- sh -c "cd '$T' && \
            HOME='$MN' exec '$VESK_BIN/download' -q $(sed "s|[^ ]*|$2/&|g" <<<"$names") down-$1"
    }
    # The relay's own round trip, as a 64-byte echo sees it: a CPU idle
    # between its bytes wakes late, and that is no wait of vesk's.
    ep=$(free_port)
    dp=$(free_port)
    python3 "$PROBES" echo-serve "$ep" &
    stage_bg $!
    "$VESK_BIN/bench_delay_link" 127.0.0.1 "$dp" 127.0.0.1 "$ep" $((MANY_RTT_MS / 2)) &
    stage_bg $!
    wait_for "the echo relay" 10 listening "$dp" &&
        note many_path_rtt "$(timeout 60 python3 "$PROBES" echo-probe "$dp" 40 $MANY_RTT_MS)"
    stage_end
    # What a file costs with no delay at all (veskd, the relay, the disk):
    # the waits a file is the rest, in round trips.
    if many_pair 0; then
        many_one vesknear small
    fi
    stage_end
    if many_pair $((MANY_RTT_MS / 2)); then
        for set in small large; do
            names=$(cd "$MANY/$set" && echo *)
            many_one vesk $set
            mkdir -p "$MF/up-veskj" "$T/down-veskj"
            many_copy veskj $set up "$MF/up-veskj" -- sh -c "cd '$MANY/$set' && \
                HOME='$MN' exec '$VESK_BIN/upload' -q -j $MANY_JOBS $names up-veskj"
            many_copy veskj $set down "$T/down-veskj" -- sh -c "cd '$T' && \
                HOME='$MN' exec '$VESK_BIN/download' -q -j $MANY_JOBS \
                $(sed "s|[^ ]*|$set/&|g" <<<"$names") down-veskj"
            # The set as one tree (-R, its default files in flight).
            many_copy vesktree $set up "$MF/up-vesktree" -- sh -c "cd '$MANY' && \
                HOME='$MN' exec '$VESK_BIN/upload' -q -R $set -as up-vesktree"
            many_copy vesktree $set down "$T/down-vesktree" -- sh -c "cd '$T' && \
                HOME='$MN' exec '$VESK_BIN/download' -q -R $set -as down-vesktree"
        done
    fi
    stage_end
    if private_sshd "$T/ssh-many"; then
        sp=$(free_port)
        "$VESK_BIN/bench_delay_link" 127.0.0.1 "$sp" 127.0.0.1 "$SSHD_PORT" $((MANY_RTT_MS / 2)) &
        stage_bg $!
        wait_for "the ssh relay" 10 listening "$sp"
        U="$(id -un)@127.0.0.1"
        RSH="ssh -p $sp ${SSH_OPTS[*]}"
        for set in small large; do
            many_copy scp $set up "$T/scp-up" -- scp -q -r -P "$sp" "${SSH_OPTS[@]}" \
                "$MANY/$set" "$U:$T/scp-up"
            many_copy scp $set down "$T/scp-down" -- scp -q -r -P "$sp" "${SSH_OPTS[@]}" \
                "$U:$MF/$set" "$T/scp-down"
            many_copy rsync $set up "$T/rs-up" -- rsync -a -e "$RSH" "$MANY/$set/" "$U:$T/rs-up/"
            many_copy rsync $set down "$T/rs-down" -- rsync -a -e "$RSH" "$U:$MF/$set/" \
                "$T/rs-down/"
        done
    else
        hole "many files with scp and rsync (no private sshd)"
    fi
    stage_end
    rm -rf "$MANY" "$MF"
fi

# ---- 6. a deep tree ----
# tree.sh adds its figures and its checks to the results; its judged targets
# count in this run's closing line.
if want tree; then
    say "deep tree (bench/tree.sh)"
    bash "$HERE/tree.sh" $([ $QUICK = 1 ] && echo --quick) --results "$RESULTS"
    tree_rc=$?
    tree_checks=$(awk '$1 == "tree_checks" { print $2 }' "$RESULTS")
    tree_failed=$(awk '$1 == "tree_failed" { print $2 }' "$RESULTS")
    tree_holes=$(awk '$1 == "tree_holes" { print $2 }' "$RESULTS")
    CHECKS=$((CHECKS + ${tree_checks:-0}))
    FAILS=$((FAILS + ${tree_failed:-0}))
    HOLES=$((HOLES + ${tree_holes:-0}))
    [ "$tree_rc" = 0 ] || [ "${tree_failed:-0}" -gt 0 ] || hole "the deep tree (bench/tree.sh did not finish)"
fi

# ---- the report ----
cat >>"$RESULTS" <<EOF
floor_mib $FLOOR_MIB
big_mib $BIG_MIB
runs $RUNS
iperf_s $IPERF_S
long_s $LONG_S
long_mib $LONG_MIB
long_rtt_ms $LONG_RTT_MS
long_rate_bps $LONG_RATE_BPS
busy_rtt_ms $BUSY_RTT_MS
busy_rate_bps $BUSY_RATE_BPS
echoes $ECHOES
many_rtt_ms $MANY_RTT_MS
many_small_n $MANY_SMALL_N
many_large_n $MANY_LARGE_N
many_jobs $MANY_JOBS
quick $QUICK
machine $(uname -m), $(nproc) cores, kernel $(uname -r)
date $(date -u +%Y-%m-%d)
EOF
if [ -n "$ONLY" ]; then
    cat "$RESULTS"
    finish
fi
# Each target the figures decide is one check; one they leave open is a hole.
python3 "$HERE/report.py" --verdicts "$RESULTS" >"$T/verdicts" || hole "the report (report.py failed)"
while IFS=$'\t' read -r v name; do
    # bench/tree.sh judged its own targets above.
    [[ $name == "deep tree,"* ]] && continue
    case $v in
        holds) pass ;;
        misses) fail "target missed: $name" ;;
        *) hole "$name" ;;
    esac
done <"$T/verdicts"
if [ $QUICK = 1 ] || [ $HOLES -gt 0 ]; then
    echo "== docs/ left as they are: $([ $QUICK = 1 ] && echo "a quick run" || echo "$HOLES holes")"
    python3 "$HERE/report.py" --print "$RESULTS"
    finish
fi
cp "$RESULTS" "$SRC_DIR/docs/performance.results"
python3 "$HERE/report.py" "$RESULTS" "$SRC_DIR/docs/performance.md" "$SRC_DIR/docs/performance.png"
finish
