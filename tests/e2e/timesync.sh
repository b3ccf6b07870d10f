#!/usr/bin/env bash
# timesync and timesyncd: the clock arithmetic, the trace and error lines, the
# options and the daemon loop.  The exact cases run against a scripted stand-in
# link server so that the far reading is known; one pass and a short daemon run
# then go through a real veskd pair.  The clock is never set: every run
# preloads a shim that records settimeofday and scripts gettimeofday, and as
# root it also runs without the capability to set the clock.
source "$(dirname "$0")/lib.sh"
SHIM=$(shim clockshim) || exit 1

# A stand-in link server on a Unix socket.  It logs each request as
# "L|R code text", answers the handshake, and answers the far clock query with
# the contents of $dir/clock (a whole reply: two header bytes, the status
# character, the text) or, when that file is missing, with the real time.
cat >"$T/stub.py" <<'PY'
import os, socket, socketserver, sys, time
path, state = sys.argv[1], sys.argv[2]
NO_REPLY = set(b"259MNOdefghl")
def reply_for(local, code, text):
    if code == ord("F") and local and text == b"-10":
        return b"XXdVERSION 20305 7f000002 stubpeer 0"
    if code == ord("F") and not local and text == b"-9":
        try:
            with open(os.path.join(state, "clock"), "rb") as f:
                return f.read().rstrip(b"\n")
        except FileNotFoundError:
            now = time.time()
            return b"XXd%d %d" % (int(now), int(now * 1e6) % 1000000)
    return b"XXd"
class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        buf = b""
        while True:
            chunk = self.request.recv(4096)
            if not chunk:
                return
            buf += chunk
            while b"\0" in buf:
                req, buf = buf.split(b"\0", 1)
                local = req[1:2] == b"?"
                code, text = req[2], req[3:]
                with open(os.path.join(state, "requests"), "ab") as f:
                    f.write(b"%s %c %s\n" % (b"L" if local else b"R", code, text))
                if code not in NO_REPLY:
                    self.request.sendall(reply_for(local, code, text) + b"\0")
class Server(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
    daemon_threads = True
if os.path.exists(path):
    os.unlink(path)
Server(path, Handler).serve_forever()
PY

# start_stub HOME: a stand-in server at HOME/.vesk/socket, its state in HOME/stub.
start_stub() {
    local home=$1
    mkdir -p "$home/.vesk" "$home/stub"
    chmod 700 "$home" "$home/.vesk"
    python3 "$T/stub.py" "$home/.vesk/socket" "$home/stub" 2>>"$T/stub.log" &
    STUB_PID=$!
    track $STUB_PID
    wait_for "the stand-in server" 10 test -S "$home/.vesk/socket"
}

# As root, or with the capability to set the clock anyway, every clock program
# also runs without that capability, so that a program that slipped past the
# shim still could not set the clock.  The script refuses to go on unless the
# guard holds.
CAP_SYS_TIME_BIT=25  # bit of CAP_SYS_TIME in the capability sets
NO_CLOCK=()
may_set_clock() {
    local eff
    eff=$("${NO_CLOCK[@]}" awk '/^CapEff:/ { print $2 }' /proc/self/status 2>/dev/null) ||
        return 0
    [ -n "$eff" ] || return 0
    (((16#$eff >> CAP_SYS_TIME_BIT) & 1))
}
if [ "$(id -u)" = 0 ] || may_set_clock; then
    NO_CLOCK=(setpriv --inh-caps=-sys_time --bounding-set=-sys_time)
fi
if may_set_clock; then
    echo "refusing to run: the clock programs would keep the right to set the clock" >&2
    exit 1
fi

# Runs a clock program under the shim with HOME=$H.  Log: $H/clock.log,
# script: $H/clock.script (if any).  Never without the shim.
clocked() {
    HOME=$H timeout "${VESK_TIMEOUT:-60}" "${NO_CLOCK[@]}" env LD_PRELOAD="$SHIM" \
        VESK_CLOCK_LOG="$H/clock.log" VESK_CLOCK_SCRIPT="$H/clock.script" "$@"
}
# one_pass NAME ARGS...: runs once, leaving $out, $err and $rc.
one_pass() {
    rm -f "$H/clock.log"
    clocked "$@" >"$T/out" 2>"$T/err"
    rc=$?
    out=$(cat "$T/out")
    err=$(cat "$T/err")
}
set_log() { cat "$H/clock.log" 2>/dev/null | grep '^settimeofday'; }
count_lines() { grep -c "$2" "$1" 2>/dev/null || true; }

H=$T/stubhome
start_stub "$H"

# --help and --version only tell, on standard output, with status 0: no
# request reaches the server and the clock is left alone.  Every other
# program answers them alike.
for prog in timesync timesyncd upload download portlink dgramlink displink regquery veskd; do
    out=$(clocked "$prog" --help 2>"$T/err")
    expect_eq "$prog --help: status" 0 $?
    check "$prog --help: the usage on standard output" grep -qi '^usage: ' <<<"$out"
    check "$prog --help: nothing on standard error" test ! -s "$T/err"
    check "$prog --version" grep -q "^$prog [0-9]" <<<"$(clocked "$prog" --version)"
done
check "--help and --version: no request sent" test ! -e "$H/stub/requests"
check "--help and --version: the clock untouched" test ! -s "$H/clock.log"

# Microseconds that reach a full second carry into the seconds.
echo "XXd1000 999000" >"$H/stub/clock"
printf '500 0\n500 2500\n' >"$H/clock.script"
one_pass timesync -v
expect_eq "carry: status" 0 "$rc"
expect_eq "carry: trace" "Our time is: 500 0
Got result:1000 999000:
Our time is: 500 2500
Diff = 2500
Setting time to: 1001 1500" "$out"
expect_eq "carry: clock set" "settimeofday 1001 1500" "$(set_log)"
expect_eq "carry: nothing on stderr" "" "$err"
check "priority 10 asked of the near server" grep -qx "L d 10" "$H/stub/requests"
check "priority 10 asked of the far server" grep -qx "R d 10" "$H/stub/requests"
check "clock asked of the far server" grep -qx "R F -9" "$H/stub/requests"

# The whole round trip is added, not half of it; without -v nothing is printed.
echo "XXd2000 0" >"$H/stub/clock"
printf '10 990000\n11 30000\n' >"$H/clock.script"
one_pass timesync
expect_eq "round trip: status" 0 "$rc"
expect_eq "round trip: silent" "" "$out$err"
expect_eq "round trip: clock set" "settimeofday 2000 40000" "$(set_log)"

# A local clock that stepped back during the exchange: the remainder is
# negative and borrows a second, so settimeofday gets valid microseconds.
echo "XXd3000 100" >"$H/stub/clock"
printf '50 500000\n50 400000\n' >"$H/clock.script"
one_pass timesync -v
expect_eq "step back: diff" "Diff = -100000" "$(grep Diff <<<"$out")"
expect_eq "step back: clock set" "settimeofday 2999 900100" "$(set_log)"
: >"$H/clock.script"

# A clock that may not be set is a failure, said as such.
echo "XXd4000 5" >"$H/stub/clock"
rm -f "$H/clock.log"
VESK_CLOCK_REFUSE=1 clocked timesync >"$T/out" 2>"$T/err"
expect_eq "refused clock: status" 1 "$?"
expect_eq "refused clock: message" "timesync: cannot set the clock: Operation not permitted" \
    "$(cat "$T/out" "$T/err")"
check "refused clock: settimeofday was tried" grep -q '^settimeofday 4000 ' "$H/clock.log"
rm -f "$H/stub/clock"

# -p replaces the default priority.
: >"$H/stub/requests"
one_pass timesync -p 3
expect_eq "-p 3: status" 0 "$rc"
expect_eq "-p 3: message" "Changing priority to 3" "$err"
check "-p 3 asked of the near server" grep -qx "L d 3" "$H/stub/requests"
check "-p 3 asked of the far server" grep -qx "R d 3" "$H/stub/requests"
check "-p 3: no priority 10" bash -c "! grep -q ' d 10' '$H/stub/requests'"

# Failed and unreadable clock replies end the run without touching the clock.
for reply in "XXXclock unavailable" "XXdgarbage" "XXd1000" "XXd"; do
    echo "$reply" >"$H/stub/clock"
    one_pass timesync
    expect_eq "reply '$reply': status" 1 "$rc"
    expect_eq "reply '$reply': message" "C_STATS command failed. Abort." "$err"
    expect_eq "reply '$reply': clock untouched" "" "$(set_log)"
done
rm -f "$H/stub/clock"

# One-shot mode knows no -d; daemon mode is chosen by the invocation name.
one_pass timesync -d 10
expect_eq "-d in one-shot mode: status" 1 "$rc"
expect_eq "-d in one-shot mode: message" "timesync: illegal option -- d" "$err"
one_pass timesync -x
expect_eq "unknown option: status and message" "1 timesync: illegal option -- x" "$rc $err"
one_pass timesyncd -d
expect_eq "-d without its argument" "1 timesyncd: option requires an argument -- d" "$rc $err"
expect_eq "-d without its argument: no pass" "" "$(set_log)"
one_pass timesyncd -d 9
expect_eq "-d 9: status" 1 "$rc"
expect_eq "-d 9: optarg line" "optarg=9" "$out"
expect_eq "-d 9: message" "Minimum delay is 10 seconds" "$err"
one_pass timesyncd -d abc
expect_eq "-d abc counts as 0" "1 optarg=abc Minimum delay is 10 seconds" "$rc $out $err"
mkdir -p "$T/a/b"
ln -s "$VESK_BIN/timesync" "$T/a/b/xd"
one_pass "$T/a/b/xd" -d 9
expect_eq "a/b/xd runs in daemon mode" "1 Minimum delay is 10 seconds" "$rc $err"
# An empty invocation name runs once.
one_pass perl -e 'exec {$ARGV[0]} ""' "$VESK_BIN/timesync"
expect_eq "empty name: one pass" "0 1" "$rc $(set_log | wc -l)"
check "empty name: no pause" bash -c "! grep -q '^sleep' '$H/clock.log'"

# daemon_run ARGS...: starts timesyncd in the background on $H, waits for two
# pauses, then makes the far clock fail so that the run ends with status 1.
daemon_run() {
    rm -f "$H/clock.log"
    clocked timesyncd "$@" >"$T/out" 2>"$T/err" &
    local pid=$!
    track $pid
    wait_for "two passes" 20 bash -c "[ \$(grep -c '^sleep' '$H/clock.log') -ge 2 ]"
    echo "XXXgone" >"$H/stub/clock"
    wait_for "timesyncd to stop" 20 bash -c "! kill -0 $pid"
    wait $pid
    rc=$?
    rm -f "$H/stub/clock"
    out=$(cat "$T/out")
    err=$(cat "$T/err")
}
daemon_run -d 10
expect_eq "-d 10: pause" "sleep 10" "$(grep -m1 '^sleep' "$H/clock.log")"
expect_eq "-d 10: ends on the failed command" 1 "$rc"
expect_eq "-d 10: message" "C_STATS command failed. Abort." "$err"
expect_eq "-d 10: only the optarg line" "optarg=10" "$out"
check "-d 10: the clock was set on each pass" test "$(set_log | wc -l)" -ge 2
VESK_CLOCK_REFUSE=1 daemon_run -d 10
expect_eq "refused clock, daemon: passes go on until the abort" \
    "1 C_STATS command failed. Abort." "$rc $(tail -n1 <<<"$err")"
check "refused clock, daemon: a pass after each refusal" test "$(set_log | wc -l)" -ge 2
expect_eq "refused clock, daemon: said once per refusal" "$(set_log | wc -l)" \
    "$(grep -cx 'timesync: cannot set the clock: Operation not permitted' <<<"$err")"
daemon_run -d 30x
expect_eq "-d 30x: pause" "sleep 30" "$(grep -m1 '^sleep' "$H/clock.log")"
daemon_run
expect_eq "default pause" "sleep 300" "$(grep -m1 '^sleep' "$H/clock.log")"
expect_eq "default: silent" "" "$out"
daemon_run -v -d 60
expect_eq "-v -d 60: delay line" "optarg=60
Delay set to 60 seconds" "$(head -n2 <<<"$out")"
check "-v -d 60: trace lines" grep -q '^Setting time to: ' <<<"$out"
daemon_run -d 60 -v
expect_eq "-d 60 -v: no delay line" "optarg=60" "$(head -n1 <<<"$out")"
check "-d 60 -v: no delay line at all" bash -c "! grep -q 'Delay set' '$T/out'"

# Daemon mode with no link server: silent retries, then normal passes once a
# server is there.
H=$T/latehome
mkdir -p "$H/.vesk"
chmod 700 "$H" "$H/.vesk"
clocked timesyncd -d 10 >"$T/late.out" 2>"$T/late.err" &
late=$!
track $late
wait_for "pauses without a server" 20 bash -c "[ \$(grep -c '^sleep' '$H/clock.log') -ge 3 ]"
expect_eq "no server: nothing but the optarg line" "optarg=10" "$(cat "$T/late.out" "$T/late.err")"
expect_eq "no server: clock untouched" "" "$(set_log)"
start_stub "$H"
check "server appears: passes go on" wait_for "a pass" 20 bash -c "grep -q '^settimeofday' '$H/clock.log'"
echo "XXXgone" >"$H/stub/clock"
wait_for "timesyncd to stop" 20 bash -c "! kill -0 $late"
wait $late
expect_eq "late server: ends on the failed command" 1 "$?"
expect_eq "late server: only the abort message" "C_STATS command failed. Abort." "$(cat "$T/late.err")"

# No server at all in one-shot mode.
H=$T/nohome
mkdir -p "$H/.vesk"
chmod 700 "$H" "$H/.vesk"
one_pass timesync
expect_eq "no server: one-shot status" 1 "$rc"
expect_eq "no server: one-shot message" "Vesk: Failed to connect to vesk socket '$H/.vesk/socket'" "$err"

# Through a real pair: the far veskd's reading is two integers, and the time
# set is that reading plus the measured round trip.
if [ -x "$VESK_BIN/veskd" ]; then
    start_pair
    H=$NEAR
    one_pass timesync -v
    expect_eq "pair: status" 0 "$rc"
    read -r rs ru < <(sed -n 's/^Got result:\([0-9]*\) \([0-9]*\):$/\1 \2/p' <<<"$out")
    diff=$(sed -n 's/^Diff = //p' <<<"$out")
    check "pair: far reading is two integers" test -n "${rs:-}" -a -n "${ru:-}"
    check "pair: round trip measured" test -n "$diff"
    if [ -n "${rs:-}" ] && [ -n "$diff" ]; then
        u=$((ru + diff))
        expect_eq "pair: clock set to far reading plus round trip" \
            "settimeofday $((rs + u / 1000000)) $((u % 1000000))" "$(set_log)"
    fi
    rm -f "$H/clock.log"
    clocked timesyncd -d 10 >"$T/out" 2>"$T/err" &
    pid=$!
    track $pid
    check "pair: daemon passes" wait_for "two passes" 20 \
        bash -c "[ \$(grep -c '^settimeofday' '$H/clock.log') -ge 2 ]"
    kill $pid 2>/dev/null
    expect_eq "pair: daemon quiet" "optarg=10" "$(cat "$T/out" "$T/err")"
else
    echo "veskd is not built: the pair checks are skipped"
fi

finish
