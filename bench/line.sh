#!/usr/bin/env bash
# vesk over a noisy serial line, beside ZMODEM (lrzsz's sz and rz), both
# through bench_line with the same rates and seeds, and a line one can live
# on: typing, text, hostile bytes and restarts:
#
#   bash bench/line.sh [--quick]
#
# 1. The table: goodput and success rate of one upload at 9,600, 115,200 and
#    1,000,000 bits/s and bit error rates 0, 1e-6, 1e-5, 1e-4, and 1e-4 with
#    error bursts of 16 bytes (one every 1/BURST_RATE bytes).  File sizes take
#    about 15 s on a clean line; SEEDS seeds a point (default 3).  Judged:
#    vesk's successes and goodput at least ZMODEM's at every point.
# 2. Stages: (a) 256 KiB upload and download at 115,200 bits/s and 1e-5, over
#    20 seeds, against the same line without errors; (b) 1e-4 with bursts:
#    identical, or the link ends with its message and the copy stays partial;
#    (c) a 4 MiB stream through portlink at 1,000,000 bits/s and 1e-5;
#    (d) the reply time of a far request while an upload fills a clean
#    115,200 bits/s line, against the idle round trip plus two frame times;
#    (e) keystroke echo: one-byte round trips through portlink to an echo
#    server, a quarter second apart, while an upload fills a clean line at
#    9,600 and 115,200 bits/s, against the idle line; judged: p99 at most
#    400 ms and 60 ms;
#    (f) compressed text: man pages (or log-like text) uploaded with -c and
#    downloaded at 115,200 bits/s; judged: goodput at least twice the line's
#    raw byte rate (bits/s over 10) both ways;
#    (g) a file made of the line's own packets (bench_line --capture-up of a
#    random upload) uploaded at 1,000,000 bits/s and 1e-5 over 20 seeds;
#    judged: identical every time and no "started afresh" in the logs;
#    (h) two veskd on a socat pty pair (--link serial:PTY:115200), one end
#    killed with SIGKILL and restarted, alternately near and far, 10 rounds;
#    judged: a small upload works again within 30 s every round.
#
# Every run is bounded by timeout; one that runs out counts as a hang.  Two
# runs go side by side (JOBS).  SEEDS and STAGE_SEEDS (stage a; b takes a
# quarter of it) override the counts; STAGES=table,a,...,h measures only
# those (and only prints).  Knobs of the later stages, full (quick): E_KEYS
# (round trips a measurement, 40 (10)), E_RATES ("9600 115200"),
# E_VESKD_OPTS (both ends' veskd options, none), F_KIB (256 (32)),
# F_DOWN_OPTS (download's options, none), G_SEEDS (20 (2)), G_KIB (1024
# (128)), G_CONTROL (1: random bytes instead of the recording), H_ROUNDS (10 (2)), H_KIB (16).  A target missed is printed with
# "misses" and counted on the closing line; a stage that could not run is a
# hole and fails the run.
# The full run prints its results and writes them to docs/line.md when it
# measured everything; --quick takes a few small runs and only prints.
# It builds what it needs into build/ and installs its packages first.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/.." && pwd)
QUICK=0
[ "${1:-}" = --quick ] && QUICK=1
ALL_STAGES=table,a,b,c,d,e,f,g,h
STAGES=${STAGES:-$ALL_STAGES}
# want STAGE: whether this run measures it.
want() { [[ ",$STAGES," == *",$1,"* ]]; }
bash "$SRC/scripts/deps.sh" build bench || exit 1
source "$HERE/common.sh"
bench_build veskd upload download portlink bench_line bench_link_rtt
for b in sz rz socat sha256sum timeout python3; do
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
    E_KEYS=${E_KEYS:-10} F_KIB=${F_KIB:-32} G_SEEDS=${G_SEEDS:-2} G_KIB=${G_KIB:-128}
    H_ROUNDS=${H_ROUNDS:-2} H_KIB=${H_KIB:-16}
else
    SEEDS=${SEEDS:-3} STAGE_SEEDS=${STAGE_SEEDS:-20} SCALE=1
    E_KEYS=${E_KEYS:-40} F_KIB=${F_KIB:-256} G_SEEDS=${G_SEEDS:-20} G_KIB=${G_KIB:-1024}
    H_ROUNDS=${H_ROUNDS:-10} H_KIB=${H_KIB:-16}
fi
LINE=$VESK_BIN/bench_line
# The pids of every pair's processes, so that the end can stop them all.
PIDS_FILE=$T/pids
: >"$PIDS_FILE"
trap 'while read -r p; do kill -9 "$p" 2>/dev/null; done <"$PIDS_FILE"; cleanup' EXIT

# judge WHAT HOLDS: one judged target (HOLDS 1 or 0); sets VERDICT to
# "meets" or "misses" and counts it for the closing line (not in a
# subshell, then).  A miss is a finding, not a failed run.
JUDGED=0 MISSED=()
judge() {
    JUDGED=$((JUDGED + 1))
    if [ "$2" = 1 ]; then VERDICT=meets; else MISSED+=("$1"); VERDICT=misses; fi
}

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
# job RESULT_FILE CMD...: CMD in the background, at most JOBS at once;
# jobs_done waits for them.  Only these count, not a forward or server that
# a stage keeps in the background.
JOB_PIDS=()
job() {
    local out=$1 p live
    shift
    while :; do
        live=()
        for p in "${JOB_PIDS[@]}"; do kill -0 "$p" 2>/dev/null && live+=("$p"); done
        JOB_PIDS=("${live[@]}")
        [ ${#JOB_PIDS[@]} -lt "$JOBS" ] && break
        wait -n "${JOB_PIDS[@]}"
    done
    "$@" >"$out" &
    JOB_PIDS+=($!)
}
jobs_done() {
    [ ${#JOB_PIDS[@]} = 0 ] || wait "${JOB_PIDS[@]}"
    JOB_PIDS=()
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
TABLE=$T/table.md
: >"$TABLE"
if want table; then
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
    jobs_done
    # Points where vesk copies fewer times than ZMODEM, or more slowly; a point
    # where ZMODEM never finished is lost only when vesk never did either.
    BEHIND=()
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
                why=
                [ "${vok%/*}" -ge "${zok%/*}" ] || why="ok $vok against $zok"
                if [ "$zrate" != - ] && { [ "$vrate" = - ] || [ "$vrate" -lt "$zrate" ]; }; then
                    why="${why:+$why, }$vrate against $zrate B/s"
                fi
                [ -z "$why" ] || BEHIND+=("$rate bits/s, $label: $why")
            done
        done
    } >"$TABLE"
    judge "vesk at least ZMODEM at every point of the table" $(( ${#BEHIND[@]} == 0 ))
    if [ ${#BEHIND[@]} = 0 ]; then
        echo "vesk ≥ ZMODEM at every point (successes and goodput): yes; $VERDICT" >>"$TABLE"
    else
        {
            echo "vesk ≥ ZMODEM at every point (successes and goodput): no, $VERDICT at ${#BEHIND[@]} points:"
            echo
            printf -- '- %s\n' "${BEHIND[@]}"
        } >>"$TABLE"
    fi
    cat "$TABLE"
fi

STAGE_MD=$T/stages.md
: >"$STAGE_MD"
# ---- stage (a): 256 KiB both ways at 115,200 bits/s and 1e-5, many seeds ----
if want a; then
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
    jobs_done
    BYTES=$A_BYTES
    for dir in up down; do
        grep -h "^$dir " "$R/a.clean" | cut -d' ' -f2- >"$R/a.clean.$dir"
        for seed in $(seq "$STAGE_SEEDS"); do grep -h "^$dir " "$R/a.$seed" | cut -d' ' -f2- >"$R/a.$seed.$dir"; done
        read -r ok hang noisy <<<"$(summary "$R"/a.[0-9]*."$dir")"
        read -r _ _ clean <<<"$(summary "$R/a.clean.$dir")"
        pct=$(awk -v a="$noisy" -v b="$clean" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.0f%%", 100 * a / b; else print "-" }')
        echo "- (a) $((A_BYTES / 1024)) KiB $dir, 115200 bits/s, 1e-5: identical in $ok seeds, $hang hangs; $noisy B/s against $clean B/s clean ($pct)" |
            tee -a "$STAGE_MD"
    done
fi

# ---- stage (b): 1e-4 with bursts: identical, or ended with the message ----
if want b; then
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
    jobs_done
    echo "- (b) $((B_BYTES / 1024)) KiB, 115200 bits/s, 1e-4 with bursts, --alive $B_ALIVE:" \
        "$(cat "$R"/b.* | sort | uniq -c | awk '{ s = s (NR > 1 ? ", " : "") $2 " " $1 } END { print s }')" \
        "of $B_SEEDS (ended: the link lost with its message, the copy partial; damaged: a" \
        "finished copy that differs)" | tee -a "$STAGE_MD"
fi

# ---- stage (c): a 4 MiB stream through portlink, 1,000,000 bits/s, 1e-5 ----
if want c; then
    C_BYTES=$((4 * 1024 * 1024 / SCALE))
    C_FILE=$(data "$C_BYTES")
    d=$T/c
    if pair "$d" "--rate 1000000 --ber 1e-5 --seed 1"; then
        read -r LP FP <<<"$(free_ports 2)"
        timeout 300 socat -u "TCP-LISTEN:$FP,bind=127.0.0.1,reuseaddr" "OPEN:$d/sink.bin,creat,trunc" &
        sink=$!
        track $sink
        HOME=$d/near "$VESK_BIN/portlink" "$LP" "$FP" 2>"$d/portlink.err" &
        portlink=$!
        track $portlink
        wait_for "portlink" 10 listening "$LP"
        t0=$(now)
        timeout 300 socat -u "OPEN:$C_FILE" "TCP:127.0.0.1:$LP"
        wait_for "the stream's end" 120 bash -c "! kill -0 $sink"
        secs=$(since "$t0")
        if [ "$(sha256sum <"$C_FILE")" = "$(sha256sum <"$d/sink.bin")" ]; then c=identical; else c=differs; fi
        kill $sink $portlink 2>/dev/null
        wait $sink $portlink 2>/dev/null
        unpair
    else
        c="no link" secs=-
        hole "(c): no link"
    fi
    echo "- (c) $((C_BYTES / 1024)) KiB through portlink, 1000000 bits/s, 1e-5: sha256 $c, $secs s" |
        tee -a "$STAGE_MD"
fi

# ---- stage (d): a far request while an upload fills a clean line ----
if want d; then
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
        echo "- (d) idle: $idle; during an upload: $busy; bound ${bound} ms" | tee -a "$STAGE_MD"
    else
        echo "- (d) no link" | tee -a "$STAGE_MD"
        hole "(d): no link"
    fi
fi

# ---- stage (e): keystroke echo while an upload fills a clean line ----
if want e; then
    KEYS=$E_KEYS
    GAP_MS=250    # ms between keystrokes: a brisk typist
    KEY_BOUND=30  # s: one echo slower than this is a failed sample
    KEY_TOTAL=180 # s: one measurement; samples it leaves untaken are failed
    E_RATES=(${E_RATES:-9600 115200})
    declare -A E_TARGET=([9600]=400 [115200]=60)  # ms: the p99 each rate must meet
    # The upload must outlast the idle measurement, the 3 s of settling and
    # the busy one at its slowest: 256 KiB at 9,600 bits/s takes 273 s.
    declare -A E_UP_KIB=([9600]=256 [115200]=4096)
    KEYS_PY=$HERE/keystrokes.py
    # echo_ms DIR PORT: "p50 p99 max failed n" of one measurement, or nothing.
    echo_ms() {
        timeout $((KEY_TOTAL + KEY_BOUND + 10)) python3 "$KEYS_PY" probe "$2" "$KEYS" "$GAP_MS" \
            "$KEY_BOUND" "$KEY_TOTAL" 2>>"$1/keys.err"
    }
    # shown MS: a figure of echo_ms for people.
    shown() { if [ "$1" = inf ]; then echo "over $KEY_BOUND s"; else echo "$1 ms"; fi; }
    for rate in "${E_RATES[@]}"; do
        d=$T/e.$rate
        target=${E_TARGET[$rate]:-}
        # shellcheck disable=SC2086 # E_VESKD_OPTS is a list of options
        if ! pair "$d" "--rate $rate" ${E_VESKD_OPTS:-}; then
            hole "(e) at $rate bits/s: no link"
            continue
        fi
        python3 "$KEYS_PY" serve "$d/echo.port" $((4 * KEY_TOTAL)) &
        server=$!
        track $server
        portlink=
        # e_end: the forward, the echo server and the pair gone.
        e_end() {
            kill $server $portlink 2>/dev/null
            wait $server $portlink 2>/dev/null
            unpair
        }
        LP=$(free_ports 1)
        if ! wait_for "the echo server" 10 test -s "$d/echo.port"; then
            hole "(e) at $rate bits/s: no echo server"
            e_end
            continue
        fi
        HOME=$d/near "$VESK_BIN/portlink" "$LP" "$(cat "$d/echo.port")" 2>"$d/portlink.err" &
        portlink=$!
        track $portlink
        if ! wait_for "portlink" 10 listening "$LP"; then
            hole "(e) at $rate bits/s: portlink did not listen ($(tail -n1 "$d/portlink.err"))"
            e_end
            continue
        fi
        read -r ip50 _ _ ifailed _ <<<"$(echo_ms "$d" "$LP")"
        E_FILE=$(data $((${E_UP_KIB[$rate]:-4096} * 1024)))
        (cd "$d/work" && HOME=$d/near timeout 900 "$VESK_BIN/upload" -q "$E_FILE") \
            >>"$d/client.log" 2>&1 &
        up=$!
        sleep 3
        read -r p50 p99 max failed n <<<"$(echo_ms "$d" "$LP")"
        kill -0 $up 2>/dev/null
        busy=$?
        kill $up 2>/dev/null
        wait $up 2>/dev/null
        e_end
        if [ -z "${ip50:-}" ] || [ -z "${p99:-}" ]; then
            hole "(e) at $rate bits/s: the echo measurement printed nothing ($(tail -n1 "$d/keys.err"))"
            continue
        fi
        if [ $busy != 0 ]; then
            hole "(e) at $rate bits/s: the upload ended before the echoes did ($(tail -n1 "$d/client.log"))"
            continue
        fi
        held=0
        [ "$p99" != inf ] && [ -n "$target" ] && [ "$p99" -le "$target" ] && held=1
        judge "(e) keystroke echo p99 at $rate bits/s" $held
        echo "- (e) keystroke echo at $rate bits/s while an upload fills the line: p50 $(shown "$p50")," \
            "p99 $(shown "$p99"), max $(shown "$max") ($failed of $n failed); idle p50 $(shown "$ip50")" \
            "($ifailed failed); target p99 ≤ ${target:-?} ms: $VERDICT" | tee -a "$STAGE_MD"
    done
fi

# ---- stage (f): compressed text both ways at 115,200 bits/s ----
if want f; then
    F_BYTES=$((F_KIB * 1024))
    F_RATE=115200
    F_FILE=$T/text.$F_BYTES
    # Man pages as troff, in a fixed order, or log-like lines where none are;
    # the first line of the output names which.
    python3 - "$F_BYTES" "$F_FILE" >"$T/text.source" <<'PY'
import glob, gzip, random, sys
want, path = int(sys.argv[1]), sys.argv[2]
out = bytearray()
for page in sorted(glob.glob("/usr/share/man/man1/*.gz")):
    if len(out) >= want:
        break
    try:
        with gzip.open(page) as f:
            out += f.read()
    except OSError:
        pass
if len(out) >= want:
    print("man pages from /usr/share/man/man1")
else:
    r = random.Random(1)
    words = "link frame upload stream client accepted closed resumed checked far near".split()
    out = bytearray()
    while len(out) < want:
        out += ("2026-12-%02d %02d:%02d:%02d veskd[%d]: %s\n" % (
            r.randint(1, 28), r.randint(0, 23), r.randint(0, 59), r.randint(0, 59),
            r.randint(100, 9999), " ".join(r.choice(words) for _ in range(r.randint(3, 9))))).encode()
    print("log-like lines")
with open(path, "wb") as f:
    f.write(out[:want])
PY
    F_SOURCE=$(cat "$T/text.source")
    # For scale: what zlib at level 1 makes of the whole text at once.
    F_ZLIB=$(python3 -c 'import sys, zlib; d = open(sys.argv[1], "rb").read()
print("%.0f%%" % (100 * len(zlib.compress(d, 1)) / max(1, len(d))))' "$F_FILE")
    F_LIM=$(limit_of $F_RATE "$F_BYTES")
    d=$T/f
    if [ "$(stat -c %s "$F_FILE")" != "$F_BYTES" ]; then
        hole "(f): could not make $F_KIB KiB of text from $F_SOURCE"
    elif pair "$d" "--rate $F_RATE"; then
        cp "$F_FILE" "$d/far/down.txt"
        t0=$(now)
        (cd "$d/work" && HOME=$d/near timeout "$F_LIM" "$VESK_BIN/upload" -q -c "$F_FILE") \
            >>"$d/client.log" 2>&1
        rc=$?
        read -r upok upsecs <<<"$(outcome $rc "$F_FILE" "$d/far/$(basename "$F_FILE")" "$(since "$t0")")"
        t0=$(now)
        # shellcheck disable=SC2086 # F_DOWN_OPTS is a list of options
        (cd "$d/work" && HOME=$d/near timeout "$F_LIM" "$VESK_BIN/download" -q ${F_DOWN_OPTS:-} down.txt -as \
            "$d/work/down.txt") >>"$d/client.log" 2>&1
        rc=$?
        read -r downok downsecs <<<"$(outcome $rc "$F_FILE" "$d/work/down.txt" "$(since "$t0")")"
        unpair
        raw=$((F_RATE / 10))
        # goodput OK SECS: bytes a second, or the failure.
        goodput() {
            if [ "$1" = ok ]; then
                awk -v b="$F_BYTES" -v s="$2" -v r=$raw 'BEGIN { printf "%.0f B/s (%.1fx)", b / s, b / s / r }'
            else echo "$1 (no identical copy)"; fi
        }
        twice() { [ "$1" = ok ] && awk -v b="$F_BYTES" -v s="$2" -v r=$raw 'BEGIN { exit !(b / s >= 2 * r) }'; }
        held=0
        twice "$upok" "$upsecs" && twice "$downok" "$downsecs" && held=1
        judge "(f) compressed text at least twice the line's byte rate" $held
        echo "- (f) $F_KIB KiB of text ($F_SOURCE; zlib -1 makes it $F_ZLIB) at $F_RATE bits/s, line $raw B/s:" \
            "upload -c $(goodput "$upok" "${upsecs:-}"), download${F_DOWN_OPTS:+ $F_DOWN_OPTS} $(goodput "$downok" "${downsecs:-}");" \
            "target at least 2x both ways: $VERDICT" | tee -a "$STAGE_MD"
    else
        hole "(f): no link"
    fi
fi

# ---- stage (g): a file made of the line's own packets, 1,000,000 bits/s, 1e-5 ----
if want g; then
    G_BYTES=$((G_KIB * 1024))
    G_RATE=1000000
    d=$T/g.capture
    G_FILE=$T/packets.bin
    : >"$G_FILE"
    if [ "${G_CONTROL:-0}" = 1 ]; then
        # The same runs with random bytes: whether a miss is the content's.
        G_WHAT="of random bytes (G_CONTROL, not judged)"
        cp "$(data "$G_BYTES")" "$G_FILE"
    else
        G_WHAT="made of the line's own packets"
        # The recording: what the near veskd writes to its link while it
        # uploads random bytes, on a clean line of the same rate.
        if pair "$d" "--rate $G_RATE --capture-up $d/up.bin"; then
            (cd "$d/work" && HOME=$d/near timeout "$(limit_of $G_RATE "$G_BYTES")" \
                "$VESK_BIN/upload" -q "$(data "$G_BYTES")") >>"$d/client.log" 2>&1
            unpair
        fi
        cap=$(stat -c %s "$d/up.bin" 2>/dev/null || echo 0)
        if [ "$cap" -lt 4096 ]; then
            hole "(g): no recording of the line ($cap bytes)"
        else
            G_WHAT="$G_WHAT (a recording of $cap bytes)"
            while [ "$(stat -c %s "$G_FILE")" -lt "$G_BYTES" ]; do cat "$d/up.bin" >>"$G_FILE"; done
            truncate -s "$G_BYTES" "$G_FILE"
        fi
    fi
    if [ -s "$G_FILE" ]; then
        G_LIM=$(limit_of $G_RATE "$G_BYTES")
        # hostile DIR SEED: one upload of the recording; "CLASS RESTARTS".
        hostile() {
            local rc class restarts
            pair "$1" "--rate $G_RATE --ber 1e-5 --seed $2" || { echo "no-link 0"; return; }
            (cd "$1/work" && HOME=$1/near timeout "$G_LIM" "$VESK_BIN/upload" -q "$G_FILE") \
                >>"$1/client.log" 2>&1
            rc=$?
            unpair
            if cmp -s "$G_FILE" "$1/far/$(basename "$G_FILE")"; then class=identical
            elif [ $rc = 124 ]; then class=hang
            else class=failed; fi
            restarts=$(cat "$1/near.log" "$1/far.log" 2>/dev/null | grep -c "started afresh")
            echo "$class $restarts"
        }
        echo "== (g) $G_KIB KiB $G_WHAT, $G_RATE bits/s, 1e-5, $G_SEEDS seeds"
        for seed in $(seq "$G_SEEDS"); do job "$R/g.$seed" hostile "$T/g.$seed" "$seed"; done
        jobs_done
        same=$(cat "$R"/g.* | awk '$1 == "identical"' | wc -l)
        restarted=$(cat "$R"/g.* | awk '$2 > 0' | wc -l)
        others=$(cat "$R"/g.* | awk '$1 != "identical" { print $1 }' | sort | uniq -c |
            awk '{ s = s (NR > 1 ? ", " : "") $2 " " $1 } END { print s }')
        VERDICT="not judged"
        [ "${G_CONTROL:-0}" = 1 ] || judge "(g) the line's own packets" $((same == G_SEEDS && restarted == 0))
        echo "- (g) $G_KIB KiB $G_WHAT at $G_RATE bits/s, 1e-5: identical in" \
            "$same of $G_SEEDS seeds${others:+ ($others)}, $restarted false restarts;" \
            "target $G_SEEDS of $G_SEEDS and 0: $VERDICT" | tee -a "$STAGE_MD"
    fi
fi

# ---- stage (h): a serial pty pair, one end killed and restarted ----
if want h; then
    H_BAUD=115200
    H_ROUND_S=60  # s: one round's bound
    H_WITHIN=30   # s: the target
    H_TRY_S=20    # s: one upload attempt's bound
    d=$T/h
    mkdir -p "$d/near" "$d/far" "$d/work" && chmod 700 "$d/near" "$d/far"
    declare -A H_PTY=([near]=$d/A [far]=$d/B) H_PID=()
    # end_start END: that veskd in the background on its side of the pair.
    end_start() {
        (cd "$d/$1" && HOME=$d/$1 exec "$VESK_BIN/veskd" --link "serial:${H_PTY[$1]}:$H_BAUD") \
            2>>"$d/$1.log" &
        H_PID[$1]=$!
        echo "${H_PID[$1]}" >>"$PIDS_FILE"
    }
    # h_upload FILE: one bounded upload from the near side; 0 when the copy is identical.
    h_upload() {
        test -S "$d/near/.vesk/socket" || return 1
        (cd "$d/work" && HOME=$d/near timeout "$H_TRY_S" "$VESK_BIN/upload" -q "$1") \
            >>"$d/client.log" 2>&1 && cmp -s "$1" "$d/far/$(basename "$1")"
    }
    # until_working FILE BOUND: seconds until an upload of FILE worked, or nothing.
    until_working() {
        local t0=$SECONDS
        while [ $((SECONDS - t0)) -lt "$2" ]; do
            h_upload "$1" && { echo $((SECONDS - t0)); return 0; }
            sleep 0.5
        done
        return 1
    }
    h_file() { head -c $((H_KIB * 1024)) /dev/urandom >"$d/work/round.$1"; echo "$d/work/round.$1"; }
    socat pty,raw,echo=0,link="$d/A" pty,raw,echo=0,link="$d/B" 2>"$d/socat.log" &
    H_SOCAT=$!
    echo $H_SOCAT >>"$PIDS_FILE"
    if ! wait_for "the pty pair" 10 test -e "$d/A" -a -e "$d/B"; then
        hole "(h): socat made no pty pair ($(tail -n1 "$d/socat.log"))"
    else
        end_start far
        end_start near
        # veskd stops at once on a link it cannot open; a link it opened
        # shows as the near socket.
        first=
        wait_for "the near socket" 30 bash -c "test -S '$d/near/.vesk/socket' || ! kill -0 ${H_PID[near]}"
        kill -0 "${H_PID[near]}" 2>/dev/null && first=$(until_working "$(h_file 0)" "$H_ROUND_S")
        if [ -z "$first" ]; then
            why=
            for e in near far; do
                kill -0 "${H_PID[$e]}" 2>/dev/null ||
                    why="${why:+$why; }the $e veskd ended: $(tail -n1 "$d/$e.log")"
            done
            if kill -0 "${H_PID[near]}" 2>/dev/null; then
                hole "(h): no upload over --link serial:PTY:$H_BAUD within $H_ROUND_S s${why:+ ($why)}"
            else
                hole "(h): veskd did not start on --link serial:PTY:$H_BAUD ($why)"
            fi
        else
            echo "== (h) serial pty pair at $H_BAUD bits/s: first upload after $first s; $H_ROUNDS rounds"
            within=0 slowest=0 notes=()
            for i in $(seq "$H_ROUNDS"); do
                if [ $((i % 2)) = 1 ]; then e=near other=far; else e=far other=near; fi
                kill -9 "${H_PID[$e]}" 2>/dev/null
                wait "${H_PID[$e]}" 2>/dev/null
                end_start "$e"
                secs=$(until_working "$(h_file "$i")" "$H_ROUND_S")
                if [ -n "$secs" ] && [ "$secs" -le $H_WITHIN ]; then within=$((within + 1)); fi
                if [ -z "$secs" ]; then slowest=over; notes+=("round $i ($e restarted): not within $H_ROUND_S s")
                elif [ "$slowest" != over ] && [ "$secs" -gt "$slowest" ]; then slowest=$secs; fi
                echo "   round $i: $e restarted, upload working after ${secs:-more than $H_ROUND_S} s"
                # The end that was not killed should have carried on; when it
                # did not, say so and start it again so that the next round
                # measures only its own restart.
                if ! kill -0 "${H_PID[$other]}" 2>/dev/null; then
                    notes+=("round $i: the $other veskd ended ($(tail -n1 "$d/$other.log"))")
                    end_start "$other"
                fi
            done
            [ "$slowest" = over ] && slowest="over $H_ROUND_S"
            judge "(h) serial pair restarts" $((within == H_ROUNDS))
            echo "- (h) serial pty pair at $H_BAUD bits/s, one end killed (SIGKILL) and restarted," \
                "alternately near and far: upload of $H_KIB KiB working again within $H_WITHIN s in" \
                "$within of $H_ROUNDS (slowest $slowest s); target $H_ROUNDS of $H_ROUNDS: $VERDICT" |
                tee -a "$STAGE_MD"
            [ ${#notes[@]} = 0 ] || printf '   %s\n' "${notes[@]}"
        fi
        for e in near far; do kill "${H_PID[$e]}" 2>/dev/null; done
        for e in near far; do wait "${H_PID[$e]}" 2>/dev/null; done
    fi
    kill $H_SOCAT 2>/dev/null
    wait $H_SOCAT 2>/dev/null
fi

echo "== $JUDGED targets judged, ${#MISSED[@]} missed"
[ ${#MISSED[@]} = 0 ] || printf '   missed: %s\n' "${MISSED[@]}"
[ $HOLES = 0 ] || echo "== $HOLES not measured (holes): the run fails"

if [ $QUICK = 1 ] || [ "$STAGES" != "$ALL_STAGES" ]; then
    [ $HOLES = 0 ]
    exit
fi
# Only a run that measured every stage stands for the committed figures.
if [ $HOLES -gt 0 ]; then
    echo "line.sh: $HOLES stages not measured; docs/line.md left as it is" >&2
    exit 1
fi
F_DOWN_SAID=${F_DOWN_OPTS:-"no compression option: the link servers' default"}
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

$(cat "$STAGE_MD")

How the later stages measure.  (e) An echo server on the far side
(bench/keystrokes.py) reached through \`portlink\`; $E_KEYS one-byte round
trips on one connection, each sent at least 250 ms after the one before,
first on the idle line, then from 3 s after an upload of random bytes began
until the last echo (the upload still running then); an echo slower than
30 s is a failed sample and the slowest.  Percentiles are nearest-rank, so
the p99 of $E_KEYS samples is their slowest.  (f) Goodput of one upload
\`-c\` and one download ($F_DOWN_SAID), each timed from the client's
start, of the same text.  (g) \`bench_line --capture-up\` records what the
near veskd writes while it uploads random bytes on a clean line;
the recording, repeated and cut to $G_KIB KiB, is the file; a false restart
is a run whose near.log or far.log says "started afresh".  (h) \`socat
pty,raw,echo=0,link=A pty,raw,echo=0,link=B\` stays up throughout; the
killed end is started again at once with the same command and the round
timed from the kill to an identical copy, uploads retried (each bounded at
20 s) until 60 s have passed.

$JUDGED targets judged, ${#MISSED[@]} missed.
EOF
} >"$SRC/docs/line.md"
echo "written to docs/line.md"
