#!/usr/bin/env bash
# A deep tree against rsync and scp: a tree shaped like /usr/share/doc (about
# 5,000 files in 1,000 directories, 100 relative symbolic links, some of them
# dangling, mostly small files; bench/maketree.py makes it from a seed) copied
# with `upload -R` and `download -R` against `rsync -a` and `scp -r` over ssh
# on the same path, with no delay and through a 50 ms round trip, then a
# re-run after one source file changed: `upload -R -U` against rsync's
# re-run.  Every vesk copy is compared with the source (contents, modes,
# links as links, modification times to the nanosecond).
#
#   bash bench/tree.sh [--quick] [--results FILE]
#
# --quick copies a tree a fifth of the size (for trying things out).
# --results adds the figures to FILE as "tree_..." lines (bench/compare.sh
# runs it so, as its "tree" stage).  Judged: vesk within 1.2x rsync each way
# at both delays, the re-run within 2x rsync's, and each vesk copy exact;
# each is a check of the closing "N checks, M failed" line, and the exit
# status is non-zero when one failed or the stage could not run.
#
# As in compare.sh's many-files stage, the veskd pair's tcp: link and ssh each
# run through bench_delay_link on loopback, which holds every byte half the
# round trip each way (no rate limit, so no namespaces are needed).  Needs
# root for the private sshd (its own mount namespace) and installs what it
# lacks (scripts/deps.sh bench); VESK_BIN names a build's bin directory
# (default: build/bin beside this script, built with what it needs).  Every
# process and file it made is gone when it ends, and every wait is bounded.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
QUICK=0
RESULTS_TO=
while [ $# -gt 0 ]; do
    case $1 in
        --quick) QUICK=1 ;;
        --results) RESULTS_TO=${2:-}; shift ;;
        *) echo "usage: bash bench/tree.sh [--quick] [--results FILE]" >&2; exit 2 ;;
    esac
    shift
done
if [ $QUICK = 1 ]; then
    TREE_FILES=1000 TREE_DIRS=200 TREE_LINKS=20 TREE_BIG=2
else
    TREE_FILES=5000 TREE_DIRS=1000 TREE_LINKS=100 TREE_BIG=8
fi
TREE_SEED=${TREE_SEED:-7}
TREE_RTTS="0 50"          # ms, round trip
TREE_OVER_RSYNC_MAX=1.2
RERUN_OVER_RSYNC_MAX=2.0
# scp -r waits round trips a file: at 50 ms a full tree takes many minutes.
# Past this it is stopped and shown as such (it judges nothing).
SCP_LIMIT_S=${SCP_LIMIT_S:-300}
PROBES=$HERE/probes.py
WIDE_NAMES=20000        # names in one far directory, listed while echoes run
WIDE_LIST_MAX_S=1.0
ECHO_COUNT=200 ECHO_GAP_MS=10

source "$HERE/common.sh"
bench_build veskd upload download portlink bench_delay_link
export TMPDIR=${TMPDIR:-/dev/shm}
source "$HERE/../tests/e2e/lib.sh"
set +e
declare -a STAGE_PIDS=()
RES=$T/results
: >"$RES"
note() { echo "$1 $2" >>"$RES"; }
say() { echo "== $*"; }
listening() { ss -Hltn "sport = :$1" | grep -q .; }
stage_bg() { STAGE_PIDS+=("$1"); track "$1"; }
stage_end() {
    local p
    for p in "${STAGE_PIDS[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${STAGE_PIDS[@]}"; do
        wait_for "process $p to end" 5 bash -c "! kill -0 $p" || kill -9 "$p" 2>/dev/null
    done
    STAGE_PIDS=()
}
# done_: writes what was measured where --results asked and ends with the
# checks line.
done_() {
    note tree_checks "$CHECKS"
    note tree_failed "$FAILS"
    note tree_holes "$HOLES"
    [ -n "$RESULTS_TO" ] && cat "$RES" >>"$RESULTS_TO"
    finish
}
# cannot WHY: the stage cannot run; a hole, never a pass.
cannot() {
    hole "deep tree: $1"
    done_
}

[ -f "$HERE/../scripts/deps.sh" ] && bash "$HERE/../scripts/deps.sh" bench >/dev/null
for tool in rsync scp sshd; do
    command -v $tool >/dev/null || [ -x /usr/sbin/$tool ] ||
        cannot "$tool is missing (bash scripts/deps.sh bench installs it)"
done
[ "$(id -u)" = 0 ] || cannot "needs root for the private sshd"

# ---- the tree ----
SRCDIR=$T/src-near     # holds "src", the tree uploads copy
MN=$T/tree-near
MF=$T/tree-far         # the far veskd's home; holds "src" for downloads
mkdir -p "$SRCDIR" "$MN" "$MF" && chmod 700 "$MN" "$MF"
SRC=$SRCDIR/src
read -r n_files n_dirs n_links n_dangling n_bytes < <(python3 "$HERE/maketree.py" "$SRC" \
    "$TREE_FILES" "$TREE_DIRS" "$TREE_LINKS" "$TREE_BIG" "$TREE_SEED")
[ -n "${n_bytes:-}" ] || cannot "bench/maketree.py made no tree"
cp -a "$SRC" "$MF/src" && tree_same "$SRC" "$MF/src" ||
    cannot "cp -a gives no exact copy of the tree here (the file system keeps no nanoseconds?)"
say "deep tree: $n_files files ($((n_bytes / 1048576)) MiB) in $n_dirs directories," \
    "$n_links symbolic links ($n_dangling dangling), seed $TREE_SEED"
note tree_files "$n_files"
note tree_dirs "$n_dirs"
note tree_links "$n_links"
note tree_mib "$((n_bytes / 1048576))"
note tree_quick "$QUICK"

head -c 32 /dev/urandom >"$T/tree.key" && chmod 600 "$T/tree.key"
# tree_pair ONE_WAY_MS: a veskd pair over tcp: through the delay relay.
tree_pair() {
    local lp rp
    lp=$(free_port)
    rp=$(free_port)
    rm -rf "$MN/.vesk" "$MF/.vesk"
    (cd "$MF" && HOME=$MF exec "$VESK_BIN/veskd" --key "$T/tree.key" \
        --link "tcp-listen:127.0.0.1:$lp") 2>>"$T/far.log" &
    stage_bg $!
    wait_for "far veskd" 10 listening "$lp" || return 1
    "$VESK_BIN/bench_delay_link" 127.0.0.1 "$rp" 127.0.0.1 "$lp" "$1" &
    stage_bg $!
    wait_for "the link relay" 10 listening "$rp" || return 1
    HOME=$MN "$VESK_BIN/veskd" --key "$T/tree.key" --link "tcp:127.0.0.1:$rp" \
        2>>"$T/near.log" &
    stage_bg $!
    wait_for "the near socket" 20 test -S "$MN/.vesk/socket"
}
# vesk_run KEY DIR COPY -- CMD...: one timed vesk copy noted as KEY, then
# checked against the source (KEY_same: 1 or 0).
vesk_run() {
    local key=$1 dir=$2 copy=$3 rc
    shift 4
    timed "$key" "" -- sh -c "cd '$dir' && HOME='$MN' exec $*"
    rc=$?
    if [ $rc -ne 0 ]; then
        echo "   ($key exited $rc: $(head -c 300 "$T/timed.err" | tr '\n' ' '))"
        fail "deep tree: $key exited $rc"
        note "$key" nan
    else
        note "$key" "$SECS"
    fi
    if tree_same "$SRC" "$copy"; then
        pass
        note "${key}_same" 1
    else
        fail "deep tree: $key left a copy that is not the source"
        note "${key}_same" 0
    fi
}
# peer_run KEY LIMIT_S COPY -- CMD...: one timed rsync or scp copy; a
# failure is told (scp -r fails on dangling links) but judges nothing.
peer_run() {
    local key=$1 limit=$2 rc
    shift 4
    TIMED_LIMIT_S=$limit timed "$key" "" -- "$@"
    rc=$?
    if [ $rc = 124 ]; then
        echo "   ($key: stopped after $limit s)"
        note "$key" nan
        return
    fi
    [ $rc = 0 ] || echo "   ($key exited $rc: $(head -c 200 "$T/timed.err" | tr '\n' ' '))"
    note "$key" "$SECS"
}

private_sshd "$T/ssh" || cannot "no private sshd"
U="$(id -un)@127.0.0.1"
# The file a re-run finds changed: the first of the 10-100 KiB ones.
CHANGED=$(cd "$SRC" && find . -type f -size +10k -size -100k | LC_ALL=C sort | head -n1)
[ -n "$CHANGED" ] || cannot "no file of 10-100 KiB in the tree"

for rtt in $TREE_RTTS; do
    say "deep tree, ${rtt} ms round trip"
    tree_pair $((rtt / 2)) || { fail "deep tree: no veskd pair at $rtt ms"; stage_end; continue; }
    sp=$(free_port)
    "$VESK_BIN/bench_delay_link" 127.0.0.1 "$sp" 127.0.0.1 "$SSHD_PORT" $((rtt / 2)) &
    stage_bg $!
    wait_for "the ssh relay" 10 listening "$sp" || fail "deep tree: no ssh relay at $rtt ms"
    RSH="ssh -p $sp ${SSH_OPTS[*]}"
    vesk_run "tree_vesk_up_$rtt" "$SRCDIR" "$MF/up-vesk" -- "'$VESK_BIN/upload'" -q -R src \
        -as up-vesk
    vesk_run "tree_vesk_down_$rtt" "$T" "$T/down-vesk" -- "'$VESK_BIN/download'" -q -R src \
        -as down-vesk
    rm -rf "$T/down-vesk"
    peer_run "tree_rsync_up_$rtt" 900 "$T/rs-up" -- rsync -a -e "$RSH" "$SRC/" "$U:$T/rs-up/"
    peer_run "tree_rsync_down_$rtt" 900 "$T/rs-down" -- rsync -a -e "$RSH" "$U:$MF/src/" \
        "$T/rs-down/"
    peer_run "tree_scp_up_$rtt" $SCP_LIMIT_S "$T/scp-up" -- scp -q -r -P "$sp" "${SSH_OPTS[@]}" \
        "$SRC" "$U:$T/scp-up"
    peer_run "tree_scp_down_$rtt" $SCP_LIMIT_S "$T/scp-down" -- scp -q -r -P "$sp" \
        "${SSH_OPTS[@]}" "$U:$MF/src" "$T/scp-down"
    rm -rf "$T/rs-down" "$T/scp-up" "$T/scp-down"
    if [ "$rtt" = "${TREE_RTTS##* }" ]; then
        say "re-run after $CHANGED changed, ${rtt} ms round trip"
        note tree_rtt_ms "$rtt"
        note tree_changed "$CHANGED"
        # New bytes and a new time, the size kept: only the time tells it.
        python3 -c 'import sys; p = sys.argv[1]; b = bytearray(open(p, "rb").read())
b[len(b) // 2] ^= 1; open(p, "wb").write(b)' "$SRC/$CHANGED"
        touch "$SRC/$CHANGED"
        # Without -U a re-run cannot replace the copy: that is a usage
        # error, told as such rather than timed.
        (cd "$SRCDIR" && HOME=/nonexistent "$VESK_BIN/upload" -U -R src -as up-vesk) \
            2>"$T/u.err" >/dev/null
        if grep -qi "illegal option\|usage" "$T/u.err"; then
            echo "   (upload does not accept -U: $(head -n1 "$T/u.err"))"
            fail "deep tree: upload -R -U is refused (usage error); no re-run measured"
            note tree_rerun_vesk nan
        else
            vesk_run tree_rerun_vesk "$SRCDIR" "$MF/up-vesk" -- "'$VESK_BIN/upload'" -q -R -U \
                src -as up-vesk
        fi
        peer_run tree_rerun_rsync 900 "$T/rs-up" -- rsync -a -e "$RSH" "$SRC/" "$U:$T/rs-up/"
    fi
    rm -rf "$MF/up-vesk" "$T/rs-up"
    stage_end
done

# ---- one wide far directory ----
# Its listing (an upload of an empty tree onto it lists it and sends
# nothing) is timed, and 64-byte echoes through portlink run without and
# with listings going on: the listing is made off the far loop.
say "a far directory of $WIDE_NAMES names, no delay"
if tree_pair 0; then
    mkdir -p "$MF/wide" "$T/wide-empty"
    python3 -c 'import os, sys
for i in range(int(sys.argv[2])): open(os.path.join(sys.argv[1], "name-%06d" % i), "w").close()' \
        "$MF/wide" "$WIDE_NAMES"
    timed tree_wide_list "" -- sh -c "cd '$T' && HOME='$MN' exec '$VESK_BIN/upload' -q -R wide-empty -as wide"
    note tree_wide_list "${SECS:-nan}"
    ep=$(free_port)
    pp=$(free_port)
    python3 "$PROBES" echo-serve "$ep" &
    stage_bg $!
    HOME=$MN "$VESK_BIN/portlink" "$pp" "127.0.0.1:$ep" 2>"$T/portlink.err" &
    stage_bg $!
    if wait_for "the echo server" 10 listening "$ep" && wait_for "portlink" 10 listening "$pp"; then
        read -r quiet_p50 quiet_p99 _ < <(python3 "$PROBES" echo-probe "$pp" $ECHO_COUNT $ECHO_GAP_MS)
        (while :; do
            (cd "$T" && HOME=$MN "$VESK_BIN/upload" -q -R wide-empty -as wide 2>/dev/null)
        done) &
        lister=$!
        read -r busy_p50 busy_p99 _ < <(python3 "$PROBES" echo-probe "$pp" $ECHO_COUNT $ECHO_GAP_MS)
        kill "$lister" 2>/dev/null
        wait "$lister" 2>/dev/null
        note tree_wide_echo_quiet_p99 "$quiet_p99"
        note tree_wide_echo_busy_p99 "$busy_p99"
        echo "   listing: ${SECS:-?} s; echo p50/p99 without listings $quiet_p50/$quiet_p99 ms," \
            "while listing $busy_p50/$busy_p99 ms"
    else
        fail "deep tree: no echo path through portlink"
    fi
    stage_end
else
    fail "deep tree: no veskd pair for the wide directory"
    stage_end
fi

# ---- the table and the targets ----
echo
python3 - "$RES" "$TREE_OVER_RSYNC_MAX" "$RERUN_OVER_RSYNC_MAX" "$WIDE_LIST_MAX_S" >"$T/judged" <<'EOF'
import sys
r = {}
for line in open(sys.argv[1]):
    k, _, v = line.rstrip("\n").partition(" ")
    r[k] = v
each, rerun = float(sys.argv[2]), float(sys.argv[3])
def num(k):
    try:
        return float(r.get(k, "nan"))
    except ValueError:
        return float("nan")
def f(v):
    return "–" if v != v else "%.2f" % v
def exact(k):
    return {"1": "yes", "0": "**no**"}.get(r.get(k), "–")
rows = [("upload", "up", rtt) for rtt in ("0", "50")] + [("download", "down", rtt) for rtt in ("0", "50")]
rows.sort(key=lambda x: (x[2] != "0", x[1] != "up"))
print("| copy | round trip | vesk s | rsync s | scp -r s | vesk / rsync | copy exact |")
print("|---|---:|---:|---:|---:|---:|---|")
verdicts = []
for name, d, rtt in rows:
    v, rs, sc = (num("tree_%s_%s_%s" % (t, d, rtt)) for t in ("vesk", "rsync", "scp"))
    ratio = v / rs if rs == rs and rs > 0 else float("nan")
    print("| %s -R | %s ms | %s | %s | %s | %s | %s |" % (name, rtt, f(v), f(rs), f(sc),
                                                        f(ratio), exact("tree_vesk_%s_%s_same" % (d, rtt))))
    verdicts.append(("%s -R at %s ms within %.1fx rsync" % (name, rtt, each),
                     ratio == ratio and ratio <= each, "%sx" % f(ratio) if ratio == ratio else "not measured"))
v, rs = num("tree_rerun_vesk"), num("tree_rerun_rsync")
ratio = v / rs if rs == rs and rs > 0 else float("nan")
print("| re-run, one file changed (upload -U) | %s ms | %s | %s | – | %s | %s |" % (
    r.get("tree_rtt_ms", "?"), f(v), f(rs), f(ratio), exact("tree_rerun_vesk_same")))
verdicts.append(("re-run within %.0fx rsync's re-run" % rerun,
                 ratio == ratio and ratio <= rerun, "%sx" % f(ratio) if ratio == ratio else "not measured"))
wide = num("tree_wide_list")
print()
print("| %s names in one far directory | listed in s | echo p99 quiet ms | echo p99 listing ms |" % "20,000")
print("|---|---:|---:|---:|")
q, b = num("tree_wide_echo_quiet_p99"), num("tree_wide_echo_busy_p99")
print("| | %s | %s | %s |" % (f(wide), f(q), f(b)))
lim = float(sys.argv[4])
verdicts.append(("20,000 names listed in under %.0f s" % lim, wide == wide and wide < lim,
                 "%s s" % f(wide)))
# Echo times on a shared machine jitter by a millisecond or so: "no slower"
# allows that much and a quarter.
verdicts.append(("echo p99 while listing no slower than without", q == q and b == b and
                 b <= q * 1.25 + 1.0, "%s against %s ms" % (f(b), f(q))))
for what, ok, fig in verdicts:
    print("VERDICT %d %s: %s" % (ok, what, fig))
EOF
grep -v '^VERDICT' "$T/judged"
echo
while read -r _ ok what; do
    if [ "$ok" = 1 ]; then
        pass
        echo "holds: $what"
    else
        fail "deep tree: $what"
        echo "misses: $what"
    fi
done < <(grep '^VERDICT' "$T/judged")
[ -s "$T/judged" ] || fail "deep tree: no table"
done_
