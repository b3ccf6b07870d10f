#!/usr/bin/env bash
# veskd under attack: hundreds of hostile clients, bad UDP commands, awkward
# files and a far end that sends garbage.  Nothing may crash, hang, spin or
# leak the daemon, and a well-behaved client must keep working throughout.
# Seeded: FUZZ_SEED picks another run.
source "$(dirname "$0")/lib.sh"
FUZZ=$VESK_SRC/tests/e2e/fuzz_client.py
STALL_SHIM=$(shim stallresolve) || exit 1
SEED=${FUZZ_SEED:-20305}
CLIENTS=${FUZZ_CLIENTS:-300}
# Seconds a healthy daemon needs at most to answer while under attack.
ANSWER_S=5
# CPU ticks (1/100 s) an idle daemon may use in one second.
IDLE_TICKS=20

# Both ends work in sandboxes: every name an attacker writes is relative.
NEARWD=$T/nearwd
mkdir -p "$NEARWD"
for d in "$NEARWD" "$FAR"; do
    printf 'small' >"$d/small"
    head -c 300000 /dev/urandom >"$d/big"
    mkdir "$d/dir"
    mkfifo "$d/fifo"
    truncate -s 64G "$d/sparse"
done

# Every veskd keeps to its loop thread and the worker pool's 8 threads, and
# under RSS_MAX_KB of resident memory, whatever clients and far ends do.
THREADS_MAX=9
RSS_MAX_KB=65536
fd_count() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }
# watch_threads PID FILE: the thread count of PID every 0.1 s while it lives.
watch_threads() {
    while kill -0 "$1" 2>/dev/null; do
        awk '/^Threads:/ {print $2}' "/proc/$1/status" 2>/dev/null
        sleep 0.1
    done >"$2"
}
most() { sort -n "$1" | tail -n1; }
peak_rss_kb() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status" 2>/dev/null; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null; }
alive() { kill -0 "$1" 2>/dev/null; }
answers() { VESK_TIMEOUT=$ANSWER_S near vesk_probe "$@" >/dev/null 2>&1; }
# A local question on a bare connection: a fake far end answers nothing.
ask_local() { HOME=$NEAR timeout 10 python3 "$FUZZ" ask "$NEAR/.vesk/socket"; }
no_sanitizer_reports() { ! grep -Eq 'AddressSanitizer|LeakSanitizer|runtime error:' "$T/near.log" "$T/far.log"; }
# not_spinning PID: its CPU use over one idle second stays small.
not_spinning() {
    local a b
    a=$(cpu_ticks "$1")
    sleep 1
    b=$(cpu_ticks "$1")
    [ $((b - a)) -le $IDLE_TICKS ]
}

cd "$NEARWD" || exit 1
start_pair
cd "$T" || exit 1
near_fds=$(fd_count "$VESKD_PID")
far_fds=$(fd_count "$FAR_PID")
watch_threads "$VESKD_PID" "$T/near.threads" &
track $!
watch_threads "$FAR_PID" "$T/far.threads" &
track $!

# Files that never end or never open: each must fail or answer, not block.
for name in fifo /dev/zero dir; do
    out=$(VESK_TIMEOUT=$ANSWER_S near vesk_probe '>' 7 "0\\n$name" 2>&1)
    check "7 of $name is refused" grep -q '^-1 ' <<<"$out"
    check "6 of $name is refused" grep -q '^-1 ' \
        <<<"$(VESK_TIMEOUT=$ANSWER_S near vesk_probe '>' 6 "0 600\\n$name")"
    check "D of $name answers" answers '>' D "$name"
done
check "7 at an offset beyond the end is refused" grep -q '^-1 ' \
    <<<"$(VESK_TIMEOUT=$ANSWER_S near vesk_probe '>' 7 '999999999999\nsmall')"
check "E to a negative offset is refused" grep -q '^-1 ' \
    <<<"$(VESK_TIMEOUT=$ANSWER_S near vesk_probe '>' 1 '0 600\nsmall' '>' E -5 | tail -n1)"

# Hundreds of hostile clients while a good one streams and checks.
out=$(cd "$T" && HOME=$NEAR timeout 60 python3 "$FUZZ" attack "$NEAR/.vesk/socket" "$SEED" "$CLIENTS")
rc=$?
check "the attack run ends by itself" test $rc -ne 124
expect_eq "no failures seen by the clients" "" "$(grep '^bad' <<<"$out")"
check "the well-behaved client got through rounds" grep -Eq '^good [1-9]' <<<"$out"
check "the near veskd survived the clients" alive "$VESKD_PID"
check "the far veskd survived the clients" alive "$FAR_PID"
check "both ends answer after the attack" answers '>' F -9 '?' F -9
for end in near far; do
    if [ $end = near ]; then p=$VESKD_PID; else p=$FAR_PID; fi
    threads=$(most "$T/$end.threads")
    rss=$(peak_rss_kb "$p")
    echo "hostile clients: $end end at most ${threads:-?} threads, peak RSS ${rss:-?} kB"
    check "$end threads stay within $THREADS_MAX under the clients" test "${threads:-99}" -le $THREADS_MAX
    check "$end peak RSS stays under $RSS_MAX_KB kB under the clients" test "${rss:-999999999}" -lt $RSS_MAX_KB
done

# UDP pairs with bad and reused numbers, torn down while datagrams fly.
out=$(HOME=$NEAR timeout 60 python3 "$FUZZ" udp "$NEAR/.vesk/socket" "$SEED")
expect_eq "no failures seen by the UDP clients" "" "$(grep '^bad' <<<"$out")"
check "both ends answer after the UDP run" answers '>' F -9 '?' F -9

# Everything the clients held is given back once they have gone.
wait_for "the near descriptors to return" 10 test "$(fd_count "$VESKD_PID")" -le "$near_fds"
check "the near end holds no leaked descriptors" test "$(fd_count "$VESKD_PID")" -le "$near_fds"
wait_for "the far descriptors to return" 10 test "$(fd_count "$FAR_PID")" -le "$far_fds"
check "the far end holds no leaked descriptors" test "$(fd_count "$FAR_PID")" -le "$far_fds"
check "the near end is idle after the attack" not_spinning "$VESKD_PID"
check "the far end is idle after the attack" not_spinning "$FAR_PID"
stop_pair
check "no sanitizer reports from the pair" no_sanitizer_reports

# A far end that sends garbage: the near end answers its clients meanwhile,
# then ends with a message and an exit status, never a signal.
fake_far() {
    local ending=$1 want=$2
    rm -f "$NEAR/.vesk/socket"
    : >"$T/near.log"
    (cd "$NEARWD" && HOME=$NEAR FAKE_FAR_END=$ending FAKE_FAR_HOLD_S=3 \
        exec "$VESK_BIN/veskd" --link "exec:exec '$VESK_BIN/plainbridge' python3 '$FUZZ' far $SEED" 2>>"$T/near.log") &
    local pid=$!
    track "$pid"
    wait_for "the near socket with a fake far end" 10 test -S "$NEAR/.vesk/socket"
    check "near answers while the far end sends garbage ($ending)" ask_local
    check "near is not spinning on garbage ($ending)" not_spinning "$pid"
    wait_for "the near end to see the link end" 10 bash -c "! kill -0 $pid"
    local status=0
    if alive "$pid"; then kill -9 "$pid"; status=timeout; else wait "$pid"; status=$?; fi
    expect_eq "near exit status after a garbage far end ($ending)" "$want" "$status"
    check "near says why the link ended ($ending)" grep -Eq 'link lost|closed the link' "$T/near.log"
    check "no sanitizer reports with a garbage far end ($ending)" no_sanitizer_reports
}
fake_far truncated 1
fake_far goodbye 0

# A far end that asks without bound, against a resolver that never answers
# (the shim): thousands of lookups, replies that answer nothing, requests it
# never reads the replies of.  The near end keeps its threads to the loop and
# the worker pool, its memory under RSS_MAX_KB, answers file checks behind the
# stuck lookups and its own clients throughout, and loses only the channels
# that broke the rules.
rm -f "$NEAR/.vesk/socket"
: >"$T/near.log"
mkdir -p "$T/hog"
# (A sanitized veskd would refuse a preloaded library ahead of its runtime.)
(cd "$NEARWD" && HOME=$NEAR FAKE_FAR_MARKS=$T/hog FAKE_FAR_HOLD_S=2 VESK_STALL_S=60 \
    LD_PRELOAD="$STALL_SHIM" \
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
    exec "$VESK_BIN/veskd" --link "exec:exec '$VESK_BIN/plainbridge' python3 '$FUZZ' far-hog $SEED" 2>>"$T/near.log") &
pid=$!
track "$pid"
watch_threads "$pid" "$T/hog.threads" &
track $!
wait_for "the near socket with a hogging far end" 10 test -S "$NEAR/.vesk/socket"
wait_for "the lookups and checks of the hogging far end" 20 test -e "$T/hog/a"
wait_for "the hogging far end to stop reading" 30 test -e "$T/hog/b"
check "near answers while the far end reads nothing" ask_local
hwm=$(peak_rss_kb "$pid")
wait_for "the near end to end after the goodbye" 20 bash -c "! kill -0 $pid"
threads=$(most "$T/hog.threads")
echo "hogging far end: at most ${threads:-?} threads, peak RSS ${hwm:-?} kB"
check "threads stay within $THREADS_MAX (saw ${threads:-none})" test "${threads:-99}" -le $THREADS_MAX
check "peak RSS stays under $RSS_MAX_KB kB (saw ${hwm:-none})" test "${hwm:-999999999}" -lt $RSS_MAX_KB
check "file checks are answered behind stuck lookups" grep -q 'file checks answered' "$T/hog/result"
check "channels that pipeline past the bound are lost" \
    grep -q 'sent requests without waiting for their replies' "$T/near.log"
check "no sanitizer reports with a hogging far end" no_sanitizer_reports

# A far end that floods: 1,000 checksums of a 64 GB sparse file at once, then
# 200,000 channels.  Its budget holds: few descriptors and memory under
# RSS_MAX_KB, whatever it asks (the checks past the budget lose their
# channels, a check waiting for its turn holds neither file nor buffer).
FDS_MAX=64
rm -f "$NEAR/.vesk/socket"
: >"$T/near.log"
mkdir -p "$T/flood"
(cd "$NEARWD" && HOME=$NEAR FAKE_FAR_MARKS=$T/flood FAKE_FAR_HOLD_S=2 \
    exec "$VESK_BIN/veskd" --link "exec:exec '$VESK_BIN/plainbridge' python3 '$FUZZ' far-flood" 2>>"$T/near.log") &
pid=$!
track "$pid"
wait_for "the checksum flood" 20 test -e "$T/flood/c"
fds=$(fd_count "$pid")
hwm_checks=$(peak_rss_kb "$pid")
check "near answers under the checksum flood" ask_local
wait_for "the channel flood" 60 test -e "$T/flood/d"
fds_opens=$(fd_count "$pid")
hwm=$(peak_rss_kb "$pid")
wait_for "the near end to end after the floods" 20 bash -c "! kill -0 $pid"
echo "flooding far end: 1,000 checks: $fds descriptors, peak RSS ${hwm_checks:-?} kB; then 200,000 channels: $fds_opens descriptors, peak RSS ${hwm:-?} kB"
check "descriptors stay few under the checksum flood (saw $fds)" test "$fds" -le $FDS_MAX
check "descriptors stay few under the channel flood (saw $fds_opens)" test "$fds_opens" -le $FDS_MAX
check "peak RSS stays under $RSS_MAX_KB kB under the floods (saw ${hwm:-none})" \
    test "${hwm:-999999999}" -lt $RSS_MAX_KB
check "checks past the budget lose their channels" grep -q 'too many file checks' "$T/near.log"
check "no sanitizer reports with a flooding far end" no_sanitizer_reports

# A checksum of a huge file must not stop the daemon: ask for one and, while
# it runs (reading 64 GB takes far longer than ANSWER_S), for the clock.  Last,
# on a fresh pair, so that the checksums end with it.
rm -f "$NEAR/.vesk/socket"
cd "$NEARWD" || exit 1
start_pair
cd "$T" || exit 1
# hog: a checksum of the sparse file, from a client that can be killed.
hog() { HOME=$NEAR timeout 60 vesk_probe "$1" D sparse >/dev/null 2>&1 & }
hogs=()
hog '>'
hogs+=($!)
track $!
sleep 0.2
check "the far end answers while it checksums a 64 GB file" answers '>' F -9
hog '?'
hogs+=($!)
track $!
sleep 0.2
check "a local checksum does not hold the near end" answers '?' F -9
# More checks than workers: a probe waits its turn, never fails for load
# (an upload would take the failure for a missing file and overwrite it),
# and huge checksums ahead of it do not hold it up for their whole length.
for _ in $(seq 16); do
    hog '>'
    hogs+=($!)
    track $!
done
sleep 0.5
out=$(VESK_TIMEOUT=$ANSWER_S near vesk_probe '>' D small 2>&1)
check "a probe behind 16 checks of 64 GB answers with the status" grep -q '^1 5 0 ' <<<"$out"
kill "${hogs[@]}" 2>/dev/null
check "checks of clients that left stop" not_spinning "$FAR_PID"
check "... at both ends" not_spinning "$VESKD_PID"
stop_pair

finish
