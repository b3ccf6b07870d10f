#!/usr/bin/env bash
# What idle X clients cost a real one at displink's display: a private Xvfb
# is the far X server of a local pair (as in tests/e2e/displink.sh), and
# xdpyinfo's time to read the display is taken ROUNDS times alone, then
# ROUNDS times with three silent clients and one slow one (a byte a second)
# connected to the display just before it.  Needs Xvfb, xauth and xdpyinfo:
# a missing one fails the run.
#
#   bash bench/displink.sh [ROUNDS]      (default 5)
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
SRC_DIR=$(cd "$HERE/.." && pwd)
ROUNDS=${1:-5}
XDPYINFO_LIMIT_S=120 # a round that takes longer counts as this
export VESK_BIN=${VESK_BIN:-$SRC_DIR/build/bin}
[ -x "$VESK_BIN/displink" ] || { echo "build first: $VESK_BIN/displink missing" >&2; exit 1; }
bash "$SRC_DIR/scripts/deps.sh" bench || exit 1
for tool in Xvfb xauth xdpyinfo; do
    command -v $tool >/dev/null ||
        { echo "cannot run: $tool missing (Debian: xvfb, xauth, x11-utils)" >&2; exit 1; }
done
source "$SRC_DIR/tests/e2e/lib.sh"
set +e

X=50
while [ -e "/tmp/.X11-unix/X$X" ] || [ -e "/tmp/.X$X-lock" ]; do X=$((X + 1)); done
export XAUTHORITY=$T/near.xauth
XCOOKIE=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
xauth -f "$T/xvfb.xauth" add ":$X" MIT-MAGIC-COOKIE-1 "$XCOOKIE" 2>/dev/null
xauth add "$(hostname)/unix:0" MIT-MAGIC-COOKIE-1 "$XCOOKIE" 2>/dev/null
Xvfb ":$X" -auth "$T/xvfb.xauth" -nolisten tcp -noreset -screen 0 640x480x24 >"$T/xvfb.log" 2>&1 &
track $!
wait_for "Xvfb" 10 test -S "/tmp/.X11-unix/X$X" || exit 1
start_pair -- --x11-socket "/tmp/.X11-unix/X$X"
K=40
while ss -Hltn "sport = :$((6000 + K))" | grep -q .; do K=$((K + 1)); done
HOME=$NEAR displink "127.0.0.1:$K" >"$T/displink.out" 2>"$T/displink.err" &
track $!
wait_for "displink" 10 test -s "$T/displink.out" || { cat "$T/displink.err" >&2; exit 1; }

# idle: three silent connections and a slow one to the display, held until
# displink closes them or 60 s pass.
idle() {
    python3 -c '
import socket, sys, time
socks = [socket.create_connection(("127.0.0.1", int(sys.argv[1]))) for _ in range(4)]
open(sys.argv[2], "w").close()
end = time.time() + 60
while socks and time.time() < end:
    socks[-1].settimeout(1)
    try:
        socks[-1].send(b"l")
        if socks[-1].recv(1) == b"":
            raise OSError
    except socket.timeout:
        pass
    except OSError:
        socks.pop()
' $((6000 + K)) "$1"
}

# xdpy_time: seconds xdpyinfo takes to describe the display.
xdpy_time() {
    local start end
    start=$(date +%s.%N)
    if DISPLAY="127.0.0.1:$K" timeout $XDPYINFO_LIMIT_S xdpyinfo >"$T/xdpy" 2>&1 &&
        grep -q "dimensions: *640x480" "$T/xdpy"; then
        end=$(date +%s.%N)
        awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }'
    else
        echo $XDPYINFO_LIMIT_S
    fi
}

summary() {
    sort -n "$2" | awk -v what="$1" -v lim=$XDPYINFO_LIMIT_S '
        { t[NR] = $1; if ($1 >= lim) miss++ }
        END { printf "%-28s %6d %8.3f %8.3f %8.3f %6d\n", what, NR, t[1], t[int((NR + 1) / 2)],
              t[NR], miss }'
}

: >"$T/alone" >"$T/beside"
for i in $(seq "$ROUNDS"); do xdpy_time >>"$T/alone"; done
for i in $(seq "$ROUNDS"); do
    rm -f "$T/idle.open"
    idle "$T/idle.open" &
    pid=$!
    wait_for "the idle clients" 10 test -e "$T/idle.open"
    xdpy_time >>"$T/beside"
    kill $pid 2>/dev/null
    wait $pid 2>/dev/null
done
echo "xdpyinfo through displink ($VESK_BIN), seconds"
printf '%-28s %6s %8s %8s %8s %6s\n' "" rounds min median max failed
summary "alone" "$T/alone"
summary "beside 3 silent + 1 slow" "$T/beside"
