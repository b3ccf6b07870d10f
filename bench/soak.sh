#!/usr/bin/env bash
# Kill-and-resume campaign: N transfers through a local veskd pair, each
# killed at a random moment and then run again.
#
#   bash bench/soak.sh [N] [SEED]        (default 20 runs; the documented run is 100)
#   bash bench/soak.sh --tree [N] [SEED] (trees instead of single files)
#
# Each run picks a direction (upload or download), a size from 0 to 64 MiB, a
# victim (the client, the near veskd or the far veskd) and a moment, kills the
# victim with SIGKILL, restarts the pair when a veskd died, and sometimes kills
# the resumed run once more (a double kill) or changes the source before the
# resume.  The last run is a plain re-run (-f only after a source change).
# A run passes when the copy is then identical to the source with the source's
# mode, and no sample taken while it ran saw the copy carry a finished mode
# (a write or execute bit) with content that was no version of the source.
# Prints a line per failed run and ends with "N passed, M failed".
#
# --tree: each run copies a tree of a few hundred files (a few of 1 MiB) in
# a few dozen directories with some symbolic links (bench/maketree.py, from
# the run's seed) with upload -R and download -R in turn, with -j 8 in every
# other pair of runs; one victim is killed at a random moment of the copy,
# restarted when it was a veskd, and the same command is run again until it
# succeeds (at most TREE_TRIES times).  A run passes when the copy then holds
# every entry of the source with its type, mode, link text and bytes (times
# are bench/tree.sh's to judge), and no sample saw a file in the copy with a
# finished mode whose content was not the source's.
#
# VESK_BIN names a build's bin directory (default: build/bin beside this,
# built with what the script needs).  SOAK_DEADLINE (seconds, default 3000)
# bounds the whole campaign: runs not started by then count as failed.
set -u
TREE=0
if [ "${1:-}" = --tree ]; then
    TREE=1
    shift
fi
RUNS=${1:-20}
SEED=${2:-$$}
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/common.sh"
bench_build veskd upload download
export TMPDIR=${TMPDIR:-/dev/shm}
source "$HERE/../tests/e2e/lib.sh"
set +e
RANDOM=$SEED

MIB=$((1024 * 1024))
MAX_SIZE=$((64 * MIB))
FINAL_MODE=640           # the source's mode: a write bit, so it marks a finished copy
CLIENT_LIMIT=120         # seconds any one client may take before it counts as hung
SAMPLE_EVERY=0.05        # seconds between samples of the copy's mode and content
DEADLINE=$(($(date +%s) + ${SOAK_DEADLINE:-3000}))

# rnd N: a random number from 0 to N-1 (30 bits of randomness).
rnd() { echo $((((RANDOM << 15) | RANDOM) % $1)); }

start_link() {
    rm -f "$NEAR/.vesk/socket"
    start_pair
}
restart_link() {
    kill -9 "$VESKD_PID" "$FAR_PID" 2>/dev/null
    wait "$VESKD_PID" 2>/dev/null
    VESKD_PID=
    start_link
}

# client UP|DOWN [options] NAME: starts a client in the background; sets
# CPID to the client itself (a kill must reach it, not a wrapper), with a
# watchdog that kills it after CLIENT_LIMIT seconds.
client() {
    local prog=upload
    [ "$1" = DOWN ] && prog=download
    shift
    (cd "$W" && HOME=$NEAR exec "$VESK_BIN/$prog" -q "$@" 2>>"$T/client.err") &
    CPID=$!
    (sleep "$CLIENT_LIMIT" && kill -9 "$CPID" 2>/dev/null && echo "hung" >>"$T/violations") &
    WATCHDOG=$!
}
# reap: waits for the client and ends its watchdog; sets RC.
reap() {
    wait "$CPID" 2>/dev/null
    RC=$?
    kill "$WATCHDOG" 2>/dev/null
    wait "$WATCHDOG" 2>/dev/null
}

# The copy and the source of a run, by direction.
paths() {
    if [ "$DIR" = UP ]; then SRC=$W/$NAME DST=$FAR/$NAME; else SRC=$FAR/$NAME DST=$W/$NAME; fi
}

# sampler: while $T/running exists, looks at the copy; a finished mode with
# content that matches neither the source nor the source before its change is
# a violation.  The copy may change while it is compared, so a mismatch counts
# only when its mode and change time are the same before and after.
sampler() {
    local before after m
    while [ -e "$T/running" ]; do
        before=$(stat -c '%a %z' "$DST" 2>/dev/null)
        m=${before%% *}
        if [ -n "$before" ] && (((8#$m & 8#333) != 0)); then
            if ! cmp -s "$DST" "$SRC" && ! { [ -e "$T/old" ] && cmp -s "$DST" "$T/old"; }; then
                after=$(stat -c '%a %z' "$DST" 2>/dev/null)
                [ "$before" = "$after" ] && echo "finished mode $m over other content ($(stat -c %s "$DST" 2>/dev/null) of $(stat -c %s "$SRC") bytes, $before)" >>"$T/violations"
            fi
        fi
        sleep "$SAMPLE_EVERY"
    done
}

# kill_one DELAY: lets the client run DELAY seconds, then kills a random
# victim; restarts the pair when a veskd died and waits for the client.
# VICTIM_NAMES[victim] is the one killed.
kill_one() {
    sleep "$1"
    victim=$(rnd 3)
    case $victim in
        0) kill -9 "$CPID" 2>/dev/null ;;
        1) kill -9 "$VESKD_PID" 2>/dev/null ;;
        2) kill -9 "$FAR_PID" 2>/dev/null ;;
    esac
    reap
    [ "$victim" != 0 ] && restart_link
    VICTIMS+="${VICTIM_NAMES[$victim]} "
    # Where the kill landed, told by the copy it left.
    local m
    m=$(stat -c %a "$DST" 2>/dev/null)
    if [ -z "$m" ]; then
        LANDED[0]=$((LANDED[0] + 1))
    elif (((8#$m & 8#333) == 0)); then
        LANDED[1]=$((LANDED[1] + 1))
    else
        LANDED[2]=$((LANDED[2] + 1))
    fi
}
LANDED=(0 0 0)
VICTIM_NAMES=(client near far)

# change_source: rewrites a random stretch of the source and dates it now;
# the version before stays in $T/old for the sampler.
change_source() {
    cp "$SRC" "$T/old"
    local size at
    size=$(stat -c %s "$SRC")
    if [ "$size" -eq 0 ] || [ "$(rnd 3)" = 0 ]; then
        head -c $(($(rnd 4096) + 1)) /dev/urandom >>"$SRC"
    else
        at=$(rnd "$size")
        head -c 4096 /dev/urandom | dd of="$SRC" bs=1 seek="$at" count=4096 conv=notrunc \
            status=none
    fi
    chmod "$FINAL_MODE" "$SRC"
    touch "$SRC"
}

# Rate of this machine, for kill moments spread over the whole transfer.
calibrate() {
    head -c $((32 * MIB)) /dev/urandom >"$W/cal"
    local t0 t1
    t0=$(date +%s%N)
    (cd "$W" && HOME=$NEAR timeout 60 upload -q cal 2>/dev/null)
    t1=$(date +%s%N)
    RATE=$((32 * MIB * 1000 / ((t1 - t0) / 1000000 + 1))) # bytes per second
    rm -f "$W/cal" "$FAR/cal"
    [ "$RATE" -gt 0 ] || RATE=$((100 * MIB))
}

# kill_moment SIZE: seconds from 0 to 0.4 times the calibrated transfer time
# (plus the start-up), so that kills land in negotiation, data and checks.
kill_moment() {
    local ms=$((($1 * 400 / RATE) + 40))
    local at
    at=$(rnd "$ms")
    printf '%d.%03d' $((at / 1000)) $((at % 1000))
}

one_run() {
    local i=$1
    DIR=UP
    [ "$(rnd 2)" = 1 ] && DIR=DOWN
    NAME=f$i
    paths
    local size
    if [ "$(rnd 10)" = 0 ]; then size=$(rnd 4097); else size=$(rnd $((MAX_SIZE + 1))); fi
    head -c "$size" /dev/urandom >"$SRC"
    chmod "$FINAL_MODE" "$SRC"
    rm -f "$T/old" "$T/violations"
    touch "$T/running"
    sampler &
    local spid=$!
    VICTIMS=
    local double=0 changed=0 force=
    [ "$(rnd 7)" = 0 ] && double=1
    [ "$(rnd 6)" = 0 ] && changed=1

    client "$DIR" "$NAME"
    kill_one "$(kill_moment "$size")"
    if [ "$double" = 1 ]; then
        client "$DIR" "$NAME"
        kill_one "$(kill_moment "$size")"
    fi
    if [ "$changed" = 1 ]; then
        change_source
        force=-f
    fi
    client "$DIR" $force "$NAME"
    reap
    local rc=$RC
    rm -f "$T/running"
    wait "$spid"

    local why=
    if ! cmp -s "$SRC" "$DST"; then
        why="copy differs (re-run status $rc)"
    elif [ "$(stat -c %a "$DST")" != "$FINAL_MODE" ]; then
        why="copy has mode $(stat -c %a "$DST") (re-run status $rc)"
    elif [ -s "$T/violations" ]; then
        why=$(head -n1 "$T/violations")
    fi
    local what="run $i: $DIR $size bytes, killed: ${VICTIMS}$([ $changed = 1 ] && echo '(source changed)')"
    if [ -n "$why" ]; then
        echo "FAILED $what: $why"
        FAILED=$((FAILED + 1))
        # Keep the evidence small: the pair's logs tell the rest.
        cp "$T/client.err" "$T/client.err.$i" 2>/dev/null
    else
        [ "${SOAK_VERBOSE:-0}" = 1 ] && echo "ok $what"
        PASSED=$((PASSED + 1))
    fi
    rm -f "$SRC" "$DST" "$T/old" "$W/.vesk-open.$NAME" "$FAR/.vesk-open.$NAME"
    : >"$T/client.err"
}

# ---- tree mode ----
TREE_FILES=300 TREE_DIRS=30 TREE_LINKS=12 TREE_BIG=3
TREE_TRIES=5             # runs of the command after the killed one
TREE_JOBS=8

# tree_sampler SRC COPY: while $T/running exists, walks the copy without
# following links; a regular file with a write or execute bit whose bytes are
# not the source's is a violation when its mode and change time are the same
# before and after the comparison (else it was being written meanwhile).
cat >"$T/tree_sampler.py" <<'EOF_PY'
import os, stat, sys, time
src, copy, flag, out = sys.argv[1:5]
def same(a, b):
    try:
        with open(a, "rb") as f, open(b, "rb") as g:
            return f.read() == g.read()
    except OSError:
        return True   # gone meanwhile: nothing finished to judge
while os.path.exists(flag):
    for d, dirs, files in os.walk(copy):
        for n in files:
            p = os.path.join(d, n)
            try:
                st = os.lstat(p)
            except OSError:
                continue
            if not stat.S_ISREG(st.st_mode) or not st.st_mode & 0o333:
                continue
            s = os.path.join(src, os.path.relpath(p, copy))
            if os.path.lexists(s) and not same(p, s):
                try:
                    st2 = os.lstat(p)
                except OSError:
                    continue
                if (st2.st_mode, st2.st_ctime_ns) == (st.st_mode, st.st_ctime_ns):
                    with open(out, "a") as o:
                        o.write("finished mode %o over other content: %s (%d of %d bytes)\n" % (
                            st.st_mode & 0o7777, os.path.relpath(p, copy), st.st_size,
                            os.lstat(s).st_size))
    time.sleep(0.05)
EOF_PY

# tree_calibrate: seconds an uninterrupted tree upload takes here (at least 1).
tree_calibrate() {
    python3 "$HERE/maketree.py" "$W/cal" $TREE_FILES $TREE_DIRS $TREE_LINKS $TREE_BIG 1 >/dev/null
    local t0 t1
    t0=$(date +%s%N)
    (cd "$W" && HOME=$NEAR timeout 120 upload -q -R cal 2>/dev/null)
    t1=$(date +%s%N)
    TREE_MS=$(((t1 - t0) / 1000000))
    [ "$TREE_MS" -ge 1000 ] || TREE_MS=1000
    rm -rf "$W/cal" "$FAR/cal"
}
TREE_RERUNS=0
TREE_MOST=0
TREE_KILLED=(0 0 0)
tree_run() {
    local i=$1 jobs=() what why rc tries=0
    DIR=UP
    [ $((i % 2)) = 0 ] && DIR=DOWN
    [ $(((i - 1) / 2 % 2)) = 1 ] && jobs=(-j $TREE_JOBS)
    NAME=t$i
    paths
    python3 "$HERE/maketree.py" "$SRC" $TREE_FILES $TREE_DIRS $TREE_LINKS $TREE_BIG \
        "$SEED$i" >/dev/null
    rm -f "$T/violations"
    touch "$T/running"
    python3 "$T/tree_sampler.py" "$SRC" "$DST" "$T/running" "$T/violations" &
    local spid=$!
    VICTIMS=
    client "$DIR" -R "${jobs[@]}" "$NAME"
    # Anywhere from the start to a little past the calibrated end.
    local at
    at=$(rnd $((TREE_MS * 12 / 10)))
    kill_one "$(printf '%d.%03d' $((at / 1000)) $((at % 1000)))"
    TREE_KILLED[$victim]=$((TREE_KILLED[$victim] + 1))
    while :; do
        tries=$((tries + 1))
        client "$DIR" -R "${jobs[@]}" "$NAME"
        reap
        rc=$RC
        [ "$rc" = 0 ] || [ $tries -ge $TREE_TRIES ] && break
    done
    TREE_RERUNS=$((TREE_RERUNS + tries))
    [ $tries -gt $TREE_MOST ] && TREE_MOST=$tries
    rm -f "$T/running"
    wait "$spid"
    what="run $i: $DIR -R${jobs[*]:+ ${jobs[*]}}, killed ${VICTIMS}after $at ms, $tries re-runs"
    why=
    if [ "$rc" != 0 ]; then
        why="re-runs never succeeded (last status $rc: $(tail -n1 "$T/client.err" | tr -d '\t'))"
    fi
    if ! tree_same --no-times "$SRC" "$DST" >"$T/same.out"; then
        why="${why:+$why; }$(head -n2 "$T/same.out" | tr -s ' \n' ' ')"
    elif [ -n "$why" ]; then
        why="$why; the copy is the source all the same"
    fi
    if [ -s "$T/violations" ]; then
        why="${why:+$why; }$(head -n1 "$T/violations")"
    fi
    if [ -n "$why" ]; then
        echo "FAILED $what: $why"
        FAILED=$((FAILED + 1))
        cp "$T/client.err" "$T/client.err.$i" 2>/dev/null
    else
        [ "${SOAK_VERBOSE:-0}" = 1 ] && echo "ok $what"
        PASSED=$((PASSED + 1))
    fi
    rm -rf "$SRC" "$DST"
    : >"$T/client.err"
}

PASSED=0
FAILED=0
START=$(date +%s)
# each_run FN: FN 1 .. FN $RUNS, until the deadline (the runs left count
# as failed).
each_run() {
    local i
    for i in $(seq 1 "$RUNS"); do
        if [ "$(date +%s)" -ge "$DEADLINE" ]; then
            echo "deadline reached before run $i"
            FAILED=$((FAILED + RUNS - i + 1))
            break
        fi
        "$1" "$i"
    done
}

start_link
if [ $TREE = 1 ]; then
    tree_calibrate
    echo "== tree soak: $RUNS runs, seed $SEED, trees of $TREE_FILES files in $TREE_DIRS" \
        "directories; an uninterrupted upload -R takes about $TREE_MS ms"
    each_run tree_run
    echo "== $(($(date +%s) - START)) s; killed the client ${TREE_KILLED[0]}, the near veskd" \
        "${TREE_KILLED[1]}, the far veskd ${TREE_KILLED[2]} times; $TREE_RERUNS re-runs" \
        "(at most $TREE_MOST in a run); a kill left no copy at all ${LANDED[0]} times"
    echo "$PASSED passed, $FAILED failed"
    [ "$FAILED" = 0 ]
    exit
fi
calibrate
echo "== soak: $RUNS runs, seed $SEED, about $((RATE / MIB)) MiB/s through the pair"
each_run one_run
echo "== $(($(date +%s) - START)) s; kills left no copy ${LANDED[0]} times, a partial copy" \
    "${LANDED[1]} times, a finished copy ${LANDED[2]} times"
echo "$PASSED passed, $FAILED failed"
[ "$FAILED" = 0 ]
