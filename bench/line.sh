#!/usr/bin/env bash
# vesk over a noisy serial line, beside ZMODEM (lrzsz's sz and rz), both
# through bench_line with the same rates and seeds:
#
#   bash bench/line.sh [--quick]
#
# 1. The table: goodput and success rate of one upload at 9,600, 115,200 and
#    1,000,000 bits/s and bit error rates 0, 1e-6, 1e-5, 1e-4, and 1e-4 with
#    error bursts of 16 bytes (one every 1/BURST_RATE bytes).  File sizes take
#    about 15 s on a clean line; SEEDS seeds a point (default 3).
# 2. Stages: (a) 256 KiB upload and download at 115,200 bits/s and 1e-5, over
#    20 seeds, against the same line without errors; (b) 1e-4 with bursts:
#    identical, or the link ends with its message and the copy stays partial;
#    (c) a 4 MiB stream through portlink at 1,000,000 bits/s and 1e-5;
#    (d) the reply time of a far request while an upload fills a clean
#    115,200 bits/s line, against the idle round trip plus two frame times.
#
# Every run is bounded by timeout; one that runs out counts as a hang.  Two
# runs go side by side (JOBS).  SEEDS and STAGE_SEEDS (stage a; b takes a
# quarter of it) override the counts.  The full run prints its results and
# writes them to docs/line.md; --quick takes a few small runs and only prints.
# It builds what it needs into build/ and installs its packages first.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/.." && pwd)
QUICK=0
[ "${1:-}" = --quick ] && QUICK=1
bash "$SRC/scripts/deps.sh" build bench || exit 1
source "$HERE/common.sh"
bench_build veskd upload download portlink bench_line bench_link_rtt
for b in sz rz socat sha256sum timeout; do
    command -v "$b" >/dev/null || { echo "line.sh: $b is missing" >&2; exit 1; }
done
export TMPDIR=/dev/shm
source "$SRC/tests/e2e/lib.sh"
set +e

JOBS=${JOBS:-2}
RATES=(9600 115200 1000000)
ROWS=("0" "1e-6" "1e-5" "1e-4" "1e-4+burst")
BURST=16               # bytes randomised by one burst
BURST_RATE=${BURST_RATE:-1e-5}  # bursts per byte
# The file for each rate, KiB: about 15 s on the clean line (17, 14 and 16 s).
declare -A KIB=([9600]=16 [115200]=160 [1000000]=1536)
if [ $QUICK = 1 ]; then
    SEEDS=${SEEDS:-1} STAGE_SEEDS=${STAGE_SEEDS:-2} SCALE=8
else
    SEEDS=${SEEDS:-3} STAGE_SEEDS=${STAGE_SEEDS:-20} SCALE=1
fi
LINE=$VESK_BIN/bench_line
# The pids of every pair's processes, so that the end can stop them all.
PIDS_FILE=$T/pids
: >"$PIDS_FILE"
trap 'while read -r p; do kill -9 "$p" 2>/dev/null; done <"$PIDS_FILE"; cleanup' EXIT

size_of() { echo $((KIB[$1] * 1024 / SCALE)); }  # size_of RATE: the file's bytes
# limit_of RATE BYTES: seconds a run may take: four clean runs and a margin.
limit_of() { echo $(($2 * 10 * 4 / $1 + 20)); }
# opts_of ROW: bench_line's damage options for a row of the table.
opts_of() {
    case $1 in
        *+burst) echo "--ber ${1%+burst} --burst $BURST --burst-rate $BURST_RATE" ;;
        *) echo "--ber $1" ;;
    esac
}
data() {  # data BYTES: a file of random bytes, made once
    local f=$T/data.$1
    [ -f "$f" ] || head -c "$1" /dev/urandom >"$f"
    echo "$f"
}
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

# pair DIR LINE_OPTS [VESKD_OPTS...]: a veskd pair in DIR (homes near, far,
# both ends with VESKD_OPTS) joined through bench_line; sets PAIR_PID,
# returns 1 when no link came up.
pair() {
    local d=$1 lopts=$2
    shift 2
    mkdir -p "$d/near" "$d/far" "$d/work" && chmod 700 "$d/near" "$d/far"
    HOME=$d/near "$VESK_BIN/veskd" "$@" --link "exec:cd '$d/far' && exec env HOME='$d/far' \
'$LINE' $lopts -- '$VESK_BIN/veskd' $* --link stdio 2>>'$d/far.log'" 2>>"$d/near.log" &
    PAIR_PID=$!
    echo "$PAIR_PID" >>"$PIDS_FILE"
    wait_for "a link" 30 test -S "$d/near/.vesk/socket" 2>/dev/null || return 1
    local p
    for p in $(pgrep -P "$PAIR_PID") $(pgrep -P "$(pgrep -P "$PAIR_PID" | head -n1)"); do
        echo "$p" >>"$PIDS_FILE"
    done
}
unpair() {
    kill "$PAIR_PID" 2>/dev/null
    wait_for "veskd to end" 10 bash -c "! kill -0 $PAIR_PID" 2>/dev/null || kill -9 "$PAIR_PID"
}
# outcome RC FILE COPY SECS: one result line, "ok SECS", "hang" or "fail".
outcome() {
    if [ "$1" = 124 ]; then echo hang
    elif cmp -s "$2" "$3"; then echo "ok $4"
    else echo fail; fi
}
# vesk_up DIR FILE LINE_OPTS LIMIT: one upload through a fresh pair.
vesk_up() {
    local t0 rc
    pair "$1" "$3" || { echo fail; return; }
    t0=$(now)
    (cd "$1/work" && HOME=$1/near timeout "$4" "$VESK_BIN/upload" -q "$2") >>"$1/client.log" 2>&1
    rc=$?
    outcome $rc "$2" "$1/far/$(basename "$2")" "$(since "$t0")"
    unpair
}
# zmodem DIR FILE LINE_OPTS LIMIT: sz to rz, all of it timed.
zmodem() {
    local t0 rc
    mkdir -p "$1/rx"
    t0=$(now)
    (cd "$1/rx" && timeout "$4" socat EXEC:"sz -q -b $2" EXEC:"$LINE $3 -- rz -q -b -y") \
        >>"$1/z.log" 2>&1
    rc=$?
    outcome $rc "$2" "$1/rx/$(basename "$2")" "$(since "$t0")"
}
# job RESULT_FILE CMD...: CMD in the background, at most JOBS at once.
job() {
    local out=$1
    shift
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n; done
    "$@" >"$out" &
}
# summary FILE...: "successes/runs hangs goodput_B/s" over the result files.
summary() {
    cat "$@" | awk -v n=$# -v bytes="$BYTES" '
        $1 == "ok" { ok++; rate += bytes / $2 } $1 == "hang" { hang++ }
        END { printf "%d/%d %d %s\n", ok, n, hang, ok ? sprintf("%.0f", rate / ok) : "-" }'
}

R=$T/results
mkdir -p "$R"
run=0
echo "== the table: $SEEDS seed(s) a point, $JOBS runs side by side"
for rate in "${RATES[@]}"; do
    BYTES=$(size_of "$rate")
    f=$(data "$BYTES")
    lim=$(limit_of "$rate" "$BYTES")
    for row in "${ROWS[@]}"; do
        for seed in $(seq "$SEEDS"); do
            o="--rate $rate $(opts_of "$row") --seed $seed"
            run=$((run + 1))
            job "$R/vesk.$rate.$row.$seed" vesk_up "$T/run$run" "$f" "$o" "$lim"
            run=$((run + 1))
            job "$R/zmodem.$rate.$row.$seed" zmodem "$T/run$run" "$f" "$o" "$lim"
        done
    done
done
wait
TABLE=$T/table.md
{
    echo "| bits/s | bit errors | file | vesk ok | vesk hangs | vesk B/s | ZMODEM ok | ZMODEM hangs | ZMODEM B/s |"
    echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|"
    for rate in "${RATES[@]}"; do
        BYTES=$(size_of "$rate")
        for row in "${ROWS[@]}"; do
            read -r vok vhang vrate <<<"$(summary "$R"/vesk."$rate.$row".*)"
            read -r zok zhang zrate <<<"$(summary "$R"/zmodem."$rate.$row".*)"
            label=$row
            [ "$row" != "${row%+burst}" ] && label="${row%+burst}, bursts of $BURST"
            echo "| $rate | $label | $((BYTES / 1024)) KiB | $vok | $vhang | $vrate | $zok | $zhang | $zrate |"
        done
    done
} >"$TABLE"
cat "$TABLE"

# ---- stage (a): 256 KiB both ways at 115,200 bits/s and 1e-5, many seeds ----
STAGES=$T/stages.md
: >"$STAGES"
A_BYTES=$((256 * 1024 / SCALE))
A_FILE=$(data "$A_BYTES")
A_LIM=$(limit_of 115200 "$A_BYTES")
# both DIR LINE_OPTS: upload, then download of a copy placed on the far side.
both() {
    local t0 rc
    pair "$1" "$2" || { echo "up fail"; echo "down fail"; return; }
    cp "$A_FILE" "$1/far/down.bin"
    t0=$(now)
    (cd "$1/work" && HOME=$1/near timeout "$A_LIM" "$VESK_BIN/upload" -q "$A_FILE") \
        >>"$1/client.log" 2>&1
    rc=$?
    echo "up $(outcome $rc "$A_FILE" "$1/far/$(basename "$A_FILE")" "$(since "$t0")")"
    t0=$(now)
    (cd "$1/work" && HOME=$1/near timeout "$A_LIM" "$VESK_BIN/download" -q down.bin -as \
        "$1/work/down.bin") >>"$1/client.log" 2>&1
    rc=$?
    echo "down $(outcome $rc "$A_FILE" "$1/work/down.bin" "$(since "$t0")")"
    unpair
}
echo "== (a) $((A_BYTES / 1024)) KiB up and down, 115200 bits/s, 1e-5, $STAGE_SEEDS seeds"
job "$R/a.clean" both "$T/a.clean" "--rate 115200"
for seed in $(seq "$STAGE_SEEDS"); do
    job "$R/a.$seed" both "$T/a.$seed" "--rate 115200 --ber 1e-5 --seed $seed"
done
wait
BYTES=$A_BYTES
for dir in up down; do
    grep -h "^$dir " "$R/a.clean" | cut -d' ' -f2- >"$R/a.clean.$dir"
    for seed in $(seq "$STAGE_SEEDS"); do grep -h "^$dir " "$R/a.$seed" | cut -d' ' -f2- >"$R/a.$seed.$dir"; done
    read -r ok hang noisy <<<"$(summary "$R"/a.[0-9]*."$dir")"
    read -r _ _ clean <<<"$(summary "$R/a.clean.$dir")"
    pct=$(awk -v a="$noisy" -v b="$clean" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.0f%%", 100 * a / b; else print "-" }')
    echo "- (a) $((A_BYTES / 1024)) KiB $dir, 115200 bits/s, 1e-5: identical in $ok seeds, $hang hangs; $noisy B/s against $clean B/s clean ($pct)" |
        tee -a "$STAGES"
done

# ---- stage (b): 1e-4 with bursts: identical, or ended with the message ----
B_BYTES=$(size_of 115200)
B_FILE=$(data "$B_BYTES")
B_ALIVE=10  # seconds: --alive on both ends, so that a line too bad ends well within the bound
B_LIM=$(limit_of 115200 "$B_BYTES")
[ "$B_LIM" -ge $((B_ALIVE * 6)) ] || B_LIM=$((B_ALIVE * 6))
B_SEEDS=$(((STAGE_SEEDS + 3) / 4))
# bursty DIR SEED: one upload; its class: identical, ended, hang or damaged.
bursty() {
    local d=$1 rc copy
    pair "$d" "--rate 115200 $(opts_of 1e-4+burst) --seed $2" --alive $B_ALIVE ||
        { echo "no-link"; return; }
    (cd "$d/work" && HOME=$d/near timeout "$B_LIM" "$VESK_BIN/upload" -q "$B_FILE") \
        >>"$d/client.log" 2>&1
    rc=$?
    copy=$d/far/$(basename "$B_FILE")
    if cmp -s "$B_FILE" "$copy"; then echo identical
    elif [ -f "$copy" ] && [ "$(stat -c %a "$copy")" != 400 ]; then echo damaged
    elif [ $rc = 124 ]; then echo hang
    elif grep -q "link lost" "$d/near.log"; then echo ended
    else echo failed; fi
    unpair
}
echo "== (b) $((B_BYTES / 1024)) KiB at 115200 bits/s, $(opts_of 1e-4+burst), --alive $B_ALIVE, $B_SEEDS seeds"
for seed in $(seq "$B_SEEDS"); do job "$R/b.$seed" bursty "$T/b.$seed" "$seed"; done
wait
echo "- (b) $((B_BYTES / 1024)) KiB, 115200 bits/s, 1e-4 with bursts, --alive $B_ALIVE:" \
    "$(cat "$R"/b.* | sort | uniq -c | awk '{ s = s (NR > 1 ? ", " : "") $2 " " $1 } END { print s }')" \
    "of $B_SEEDS (ended: the link lost with its message, the copy partial; damaged: a" \
    "finished copy that differs)" | tee -a "$STAGES"

# ---- stage (c): a 4 MiB stream through portlink, 1,000,000 bits/s, 1e-5 ----
C_BYTES=$((4 * 1024 * 1024 / SCALE))
C_FILE=$(data "$C_BYTES")
d=$T/c
if pair "$d" "--rate 1000000 --ber 1e-5 --seed 1"; then
    read -r LP FP <<<"$(free_ports 2)"
    timeout 300 socat -u "TCP-LISTEN:$FP,bind=127.0.0.1,reuseaddr" "OPEN:$d/sink.bin,creat,trunc" &
    sink=$!
    track $sink
    HOME=$d/near "$VESK_BIN/portlink" "$LP" "$FP" 2>"$d/portlink.err" &
    track $!
    wait_for "portlink" 10 listening "$LP"
    t0=$(now)
    timeout 300 socat -u "OPEN:$C_FILE" "TCP:127.0.0.1:$LP"
    wait_for "the stream's end" 120 bash -c "! kill -0 $sink"
    secs=$(since "$t0")
    if [ "$(sha256sum <"$C_FILE")" = "$(sha256sum <"$d/sink.bin")" ]; then c=identical; else c=differs; fi
    kill $sink 2>/dev/null
    unpair
else
    c="no link" secs=-
    hole "(c): no link"
fi
echo "- (c) $((C_BYTES / 1024)) KiB through portlink, 1000000 bits/s, 1e-5: sha256 $c, $secs s" |
    tee -a "$STAGES"

# ---- stage (d): a far request while an upload fills a clean line ----
FRAME=1024  # bytes: the frame size of the serial-line recipe, set on both ends
d=$T/d
if pair "$d" "--rate 115200" --frame $FRAME; then
    idle=$(HOME=$d/near timeout 60 "$VESK_BIN/bench_link_rtt" 10)
    [ -n "$idle" ] || idle="no answer to 10 requests within 60 s"
    D_FILE=$(data $((512 * 1024)))
    (cd "$d/work" && HOME=$d/near timeout 120 "$VESK_BIN/upload" -q "$D_FILE") >/dev/null 2>&1 &
    up=$!
    sleep 3
    busy=$(HOME=$d/near timeout 60 "$VESK_BIN/bench_link_rtt" 10)
    [ -n "$busy" ] || busy="no answer to 10 requests within 60 s"
    kill $up 2>/dev/null
    unpair
    # The bound: the idle median plus two frame times (10 bits a byte).
    bound=$(awk -v m="$(echo "$idle" | sed -E 's/.*median ([0-9]+) us.*/\1/')" -v f=$FRAME \
        'BEGIN { printf "%.0f", m / 1000 + 2 * f * 10 * 1000 / 115200 }')
    echo "- (d) idle: $idle; during an upload: $busy; bound ${bound} ms" | tee -a "$STAGES"
else
    echo "- (d) no link" | tee -a "$STAGES"
    hole "(d): no link"
fi

[ $QUICK = 1 ] && exit 0
# Only a run that measured every stage stands for the committed figures.
if [ $HOLES -gt 0 ]; then
    echo "line.sh: $HOLES stages not measured; docs/line.md left as it is" >&2
    exit 1
fi
{
    cat <<EOF
# vesk over a noisy line, beside ZMODEM

Measured by \`bash bench/line.sh\` on $(uname -m), $(nproc) cores, $(date -u +%Y-%m-%d).

Method: both run through \`bench_line\` (bench/line.cpp), an emulated serial
line in each direction: 10 bits a byte, a transmit queue of 4 KiB that holds
the writer back, independent bit flips at the given rate, and for the burst
rows a 16-byte burst of random bytes starting at any byte with probability
$BURST_RATE.  Each point runs seeds 1 to $SEEDS, the same for both; two runs
go side by side.  vesk: a near veskd whose \`exec:\` link runs
\`bench_line OPTIONS -- veskd --link stdio\`, then one \`upload\` of the file,
timed from the client's start (the link is already up).  ZMODEM: \`socat
EXEC:'sz -q -b FILE' EXEC:'bench_line OPTIONS -- rz -q -b -y'\`, timed whole.
A run succeeds when the copy is identical; every run is bounded by four clean
line times plus 20 s, and one that runs out is a hang.  Goodput is file bytes
over seconds, averaged over the successful runs.  File sizes take 14 to 17 s
on the clean line.

$(cat "$TABLE")

Stages (the script's header says what each checks):

$(cat "$STAGES")
EOF
} >"$SRC/docs/line.md"
echo "written to docs/line.md"
