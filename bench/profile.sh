#!/usr/bin/env bash
# Where a local pair spends its CPU for an upload, a download and a '5'
# stream: CPU seconds per GiB of each process (an untraced run), system calls
# per MiB of each (strace -c, a second run) and the hottest functions of both
# veskd (perf record, a third run, when perf works here).
#
#   bash bench/profile.sh [MiB]     (default 256)
#
# Needs root for perf and strace on the servers; prints a report.  The
# findings in docs/performance.md come from it.
set -u
MIB=${1:-256}
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/common.sh"
bench_build veskd upload download vesk_probe
export TMPDIR=/dev/shm
source "$HERE/../tests/e2e/lib.sh"
set +e
for tool in strace socat; do
    command -v $tool >/dev/null || { echo "profile.sh: $tool is not installed" >&2; exit 1; }
done
PERF=1
perf record -q -o /dev/null -e cpu-clock -- true 2>/dev/null || PERF=0

DATA=$T/data.bin
head -c $((MIB * 1024 * 1024)) /dev/urandom >"$DATA"
GIB=$(awk -v m="$MIB" 'BEGIN { print m / 1024 }')
mkdir -p "$T/back"
start_pair
NEARD=$VESKD_PID
FARD=$FAR_PID
SINK=$(free_port)
socat -u "TCP-LISTEN:$SINK,reuseaddr,fork" OPEN:/dev/null 2>/dev/null &
track $!
wait_for "sink" 10 bash -c "ss -Hltn 'sport = :$SINK' | grep -q ."

# run WHAT [WRAPPER...]: one transfer of the data, the client run under
# WRAPPER (time, strace).
run() {
    local what=$1
    shift
    case $what in
        upload) "$@" env HOME="$NEAR" upload -q "$DATA" >/dev/null 2>&1 ;;
        download) "$@" env HOME="$NEAR" download -q data.bin "$T/back" >/dev/null 2>&1 ;;
        stream) "$@" env HOME="$NEAR" vesk_probe -s '>' A "$SINK" <"$DATA" >/dev/null 2>&1 ;;
    esac
}
# A fresh start for each run; the download's source is in place before any
# measurement.
prepare() {
    rm -f "$FAR/data.bin" "$T/back/data.bin"
    [ "$1" = download ] && cp "$DATA" "$FAR/data.bin"
}

for what in upload download stream; do
    echo "==== $what, $MIB MiB"
    prepare $what
    n0=$(cpu_of $NEARD)
    f0=$(cpu_of $FARD)
    start=$(date +%s.%N)
    run $what /usr/bin/time -o "$T/client.time" -f '%U %S' 
    end=$(date +%s.%N)
    n1=$(cpu_of $NEARD)
    f1=$(cpu_of $FARD)
    awk -v s="$start" -v e="$end" -v m="$MIB" -v g="$GIB" -v n0="$n0" -v n1="$n1" -v f0="$f0" \
        -v f1="$f1" -v c="$(tail -n1 "$T/client.time")" 'BEGIN {
        split(c, x, " ");
        printf "wall %.2f s (%.0f MiB/s); CPU s/GiB: client %.2f, near veskd %.2f, far veskd %.2f\n",
            e - s, m / (e - s), (x[1] + x[2]) / g, (n1 - n0) / g, (f1 - f0) / g }'

    prepare $what
    strace -f -c -o "$T/near.strace" -p "$NEARD" 2>/dev/null &
    sn=$!
    strace -f -c -o "$T/far.strace" -p "$FARD" 2>/dev/null &
    sf=$!
    sleep 0.5
    rm -f "$T/client.strace"
    run $what strace -f -c -o "$T/client.strace"
    kill -INT $sn $sf
    wait $sn $sf 2>/dev/null
    for who in client near far; do
        # The "calls" column of strace -c, per MiB.
        awk -v who="$who" -v m="$MIB" '
            $1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" { name = $NF; calls = $4; total += calls;
                if (calls / m >= 1) list = list sprintf(" %s %.0f,", name, calls / m) }
            END { printf "syscalls per MiB, %-6s %6.0f:%s\n", who, total / m, list }' \
            "$T/$who.strace"
    done

    if [ $PERF = 1 ]; then
        prepare $what
        perf record -q -e cpu-clock -F 2000 -g -o "$T/perf.data" -p "$NEARD,$FARD" \
            >/dev/null 2>&1 &
        pp=$!
        sleep 0.5
        run $what
        kill -INT $pp
        wait $pp 2>/dev/null
        echo "hottest in both veskd (self time, perf cpu-clock):"
        perf report -q -i "$T/perf.data" --no-children --sort sym --stdio -g none 2>/dev/null |
            grep -v '^$' | head -n 14
    fi
done
stop_pair
finish
