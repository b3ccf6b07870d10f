#!/usr/bin/env bash
# veskd end to end: a link that dies is noticed, a TCP listener that bad
# connections cannot stop, and a pair that comes back by itself.  Prints the
# detection and reconnect times it measures.
source "$(dirname "$0")/lib.sh"
ALIVE=2   # seconds of silence that end a link here: short, for a quick test
MARGIN=4  # seconds of slack for a loaded machine
now_ms() { date +%s%3N; }
seconds_since() { awk -v a="$1" -v b="$(now_ms)" 'BEGIN { printf "%.2f", (b - a) / 1000 }'; }

# A pair with a short --alive stays up while a bulk stream fills the link
# one way.  The link is a relay that takes all it is given and passes on
# 250 kB/s each way: the bulk direction queues more than --alive's worth of
# data (a bloated slow link), so the far end's pings and pongs arrive late,
# while the quiet direction carries only pings and credit.  Every packet
# that arrives whole counts as a sign of life, so neither end may see
# silence.
BULK=$((1280 * 1024))
HOME=$NEAR veskd --alive 1 --link "exec:cd '$FAR' && exec env HOME='$FAR' python3 '$VESK_SRC/bench/delay_relay.py' \
    --rate 250000 0 '$VESK_BIN/veskd' --alive 1 --link stdio 2>>'$T/far.log'" 2>>"$T/near.log" &
VESKD_PID=$!
wait_for "the slow pair" 10 test -S "$NEAR/.vesk/socket"
peer blast-tcp "$T/blast.port" $BULK
t0=$(now_ms)
got=$(near vesk_probe -s '>' A "$(cat "$T/blast.port")" </dev/null | wc -c)
echo "a bulk stream filled the link for $(seconds_since "$t0") s with --alive 1"
expect_eq "a bulk stream arrives whole with --alive 1" $BULK "$got"
check "the link stayed up meanwhile" grep -q '^1 ' <<<"$(near vesk_probe '>' F -9)"
check "no end saw silence" bash -c "! grep -q 'no answer' '$T/near.log' '$T/far.log'"
stop_pair

# A far end that stops (SIGSTOP) is declared lost within --alive and a
# margin.  With --reconnect the near end then runs its link command again and
# serves as before.
start_pair --alive $ALIVE --reconnect -- --alive $ALIVE
frozen=$FAR_PID
kill -STOP "$frozen"
t0=$(now_ms)
# A request to the frozen far end waits for its answer until the link is lost.
near vesk_probe '>' D "$NEAR" >"$T/waiting.out" &
waiting=$!
track $waiting
wait_for "the near end to notice the frozen far end" $((ALIVE + MARGIN)) \
    grep -q "link lost: no answer from the far end for $ALIVE s" "$T/near.log"
check "a frozen far end is noticed" test $? = 0
wait $waiting
check "a request that waited hears the link went down, and why" grep -q \
    "^-1 link to .* is down: link lost: no answer from the far end for $ALIVE s$" "$T/waiting.out"
echo "detected a frozen far end after $(seconds_since "$t0") s (--alive $ALIVE)"
wait_for "the pair to come back" $((MARGIN * 3)) \
    bash -c "HOME='$NEAR' vesk_probe '>' F -9 | grep -q '^1 '"
check "a --reconnect pair over exec: comes back by itself" test $? = 0
echo "served again $(seconds_since "$t0") s after the far end froze"
wait_for "the frozen command to be reaped" $((MARGIN * 2)) bash -c "! kill -0 $frozen"
check "the frozen link command is ended" test $? = 0
stop_pair
check "the socket is removed" test ! -e "$NEAR/.vesk/socket"

# A tcp-listen: end serves until it is stopped: a wrong key and a stalled
# key check end those connections only.
head -c 32 /dev/urandom >"$T/key" && chmod 600 "$T/key"
head -c 32 /dev/urandom >"$T/other" && chmod 600 "$T/other"
mkdir -p "$T/a" "$T/b" && chmod 700 "$T/a" "$T/b"
port=$(free_port)
# Background daemons run without timeout(1) so that $! is veskd itself;
# cleanup ends them.
listener() {
    (cd "$T/a" && HOME=$T/a exec veskd --alive $ALIVE --key "$T/key" \
        --link "tcp-listen:127.0.0.1:$port" 2>>"$T/a.log") &
    a=$!
    track $a
    wait_for "the listener" 10 grep -q "listening on 127.0.0.1:$port" "$T/a.log"
}
listener
HOME=$T/b timeout 20 veskd --key "$T/other" --link "tcp:127.0.0.1:$port" 2>"$T/wrong.log"
expect_eq "a wrong key ends the connecting end" 1 $?
stalled=$(python3 - "$port" <<'PY'
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.settimeout(20)
t = time.time()
try:
    while s.recv(100):
        pass
except OSError:
    pass
print("%.1f" % (time.time() - t))
PY
)
# A connection that never speaks holds its place for 10 s at most (sooner
# when a newcomer needs it), then goes.
check "a silent connection is cut short ($stalled s)" \
    awk -v s="$stalled" 'BEGIN { exit !(s >= 3 && s < 12) }'
check "the listener survives both" kill -0 $a
check "the wrong key is logged" grep -q "refused: key check failed" "$T/a.log"

HOME=$T/b veskd -v --alive $ALIVE --reconnect --key "$T/key" \
    --link "tcp:127.0.0.1:$port" 2>"$T/b.log" &
b=$!
track $b
wait_for "the TCP pair" 10 test -S "$T/b/.vesk/socket"
check "then the right key is served" grep -q '^1 ' <<<"$(HOME=$T/b timeout 10 vesk_probe '>' F -9)"
second=$(python3 - "$port" <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.settimeout(10)
print(len(s.recv(100)))
PY
)
expect_eq "a second link connection hears at once why it is refused" 37 "$second"
check "and the refusal is logged" grep -q "refused: a link is up already" "$T/a.log"

# The far end dies: the near end keeps its socket, tells clients why, and
# comes back once the far end is started again.
{ kill -9 $a && wait $a; } 2>/dev/null
wait_for "the near end to see the link lost" 10 grep -q "link to .* is down, reconnecting" "$T/b.log"
check "the socket stays while the link is down" test -S "$T/b/.vesk/socket"
echo "some data" >"$T/b/up.txt"
out=$(cd "$T/b" && HOME=$T/b timeout 10 upload up.txt 2>&1)
check "a client during the outage hears why" grep -q "^Vesk: link to .* is down, reconnecting$" <<<"$out"
t0=$(now_ms)
listener
wait_for "the pair to come back" $((MARGIN * 3)) \
    bash -c "HOME='$T/b' vesk_probe '>' F -9 | grep -q '^1 '"
check "a --reconnect pair over tcp: comes back by itself" test $? = 0
echo "served again $(seconds_since "$t0") s after the far end was restarted"
check "tries are logged at -v" grep -q "connecting to 127.0.0.1:$port (try 2)" "$T/b.log"
out=$(cd "$T/b" && HOME=$T/b timeout 20 upload up.txt 2>&1)
check "an upload works after the reconnect" cmp "$T/b/up.txt" "$T/a/up.txt"

# SIGTERM while waiting to reconnect: a clean end, and no socket left.
kill $a
wait $a
expect_eq "the listener stops cleanly" 0 $?
check "and removes its socket" test ! -e "$T/a/.vesk/socket"
wait_for "the near end to wait for the far end" 10 \
    bash -c "[ \$(grep -c 'is down, reconnecting' '$T/b.log') -ge 2 ]"
kill $b
wait $b
expect_eq "SIGTERM while reconnecting ends cleanly" 0 $?
check "and removes the socket" test ! -e "$T/b/.vesk/socket"
finish
