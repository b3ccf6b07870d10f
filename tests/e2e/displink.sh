#!/usr/bin/env bash
# displink end to end: a private Xvfb is the far X server (the far veskd is
# pointed at its socket, so no display the machine already has is touched),
# with a cookie of its own that the user's X authority (a private file)
# holds for the far display; X clients reach it through the display
# displink prints, with the cookie displink adds there, and a client without
# it is refused.  Plus the display name cases and the failures.
source "$(dirname "$0")/lib.sh"

# First display number from $1 whose TCP port is free.
first_free() {
    local n=$1
    while listening $((6000 + n)); do n=$((n + 1)); done
    echo "$n"
}
# bg NAME [VAR=value...] ARGS...: displink in the background (DISPLAY unset
# unless given), standard output in $T/NAME.out, standard error in $T/NAME.err.
bg() {
    local name=$1
    shift
    spawn "$name" env -u DISPLAY "$@" >"$T/$name.out"
    wait_for "displink $name to report or end" 10 \
        bash -c "test -s '$T/$name.out' || ! kill -0 ${PID_OF[$name]}"
}
not() { ! "$@"; }
# closed_client REGEX: the client connection that sent REGEX has been closed.
closed_client() {
    local id
    id=$(client_id "$1")
    [ -n "$id" ] && grep -q "^veskd: client $id (.*) closed after " "$T/near.log"
}

# ---- no link server ----
HOME=$NEAR timeout 10 env -u DISPLAY displink >"$T/out" 2>"$T/err"
expect_eq "no link server: status" 1 $?
check "no link server: reason" grep -q "^Vesk: Failed to connect to vesk socket '" "$T/err"
expect_eq "no link server: nothing on standard output" "" "$(cat "$T/out")"

if ! command -v Xvfb >/dev/null || ! command -v xdpyinfo >/dev/null; then
    echo "SKIP: the X parts need Xvfb and xdpyinfo (Debian packages xvfb, x11-utils)"
    finish
fi
X=50
while [ -e "/tmp/.X11-unix/X$X" ] || [ -e "/tmp/.X$X-lock" ]; do X=$((X + 1)); done
export XAUTHORITY=$T/near.xauth
XCOOKIE=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
xauth -f "$T/xvfb.xauth" add ":$X" MIT-MAGIC-COOKIE-1 "$XCOOKIE" 2>/dev/null
# The far socket is display 0 of the far host, which is this one.
xauth add "$(hostname)/unix:0" MIT-MAGIC-COOKIE-1 "$XCOOKIE" 2>/dev/null
# -noreset: an X server that regenerates when its last client leaves drops
# any connection still in its set-up, which would fail a client at random.
Xvfb ":$X" -auth "$T/xvfb.xauth" -nolisten tcp -noreset -screen 0 640x480x24 \
    >"$T/xvfb.log" 2>&1 &
XVFB=$!
track $XVFB
check "Xvfb up" wait_for "Xvfb" 10 test -S "/tmp/.X11-unix/X$X"
start_pair -vv -- -vv --x11-socket "/tmp/.X11-unix/X$X"

# Default: no argument, no DISPLAY: the search starts at 9.
D=$(first_free 9)
bg default displink
expect_eq "default: standard output" ":$D" "$(cat "$T/default.out")"
expect_eq "default: standard error" "displink bound to DISPLAY=:$D" "$(cat "$T/default.err")"
# The display goes to the near veskd on a connection of its own, which is
# closed before serving: the process then holds its listener alone.
expect_eq "default: the display is told to the link server" "local '9' DISPLAY=:$D" \
    "$(client_cmds "local '9' DISPLAY=:$D")"
check "default: that connection is closed" wait_for "the '9' connection to close" 10 \
    closed_client "local '9' DISPLAY=:$D"
expect_eq "default: only the listeners are held (the display's, do_connect's)" 2 \
    "$(open_sockets default)"
check "default: SIGPIPE keeps its default action before any X client" \
    not sig_bit SigIgn default $SIGPIPE_NO
if [ ! -e "/tmp/.X11-unix/X$D" ]; then
    # With no local socket of that number, Xlib falls back to TCP on localhost.
    check "xdpyinfo on the printed display" bash -c \
        "DISPLAY=:$D timeout 20 xdpyinfo | grep -q 'dimensions: *640x480 pixels'"
fi

# An explicit host:number, used by several X clients at once.
K=$(first_free 30)
bg explicit displink "127.0.0.1:$K" ignored-extra-argument
expect_eq "explicit display printed" "127.0.0.1:$K" "$(cat "$T/explicit.out")"
XPIDS=()
for i in 1 2 3; do
    DISPLAY="127.0.0.1:$K" timeout 20 xdpyinfo >"$T/xdpy$i" 2>&1 &
    XPIDS+=($!)
done
wait "${XPIDS[@]}"
for i in 1 2 3; do
    check "xdpyinfo $i sees the far Xvfb" grep -q "dimensions: *640x480 pixels" "$T/xdpy$i" || head -5 "$T/xdpy$i"
done
expect_eq "explicit: the display told to the link server" "local '9' DISPLAY=127.0.0.1:$K" \
    "$(client_cmds "local '9' DISPLAY=127\.0\.0\.1:$K")"
expect_eq "each X client: the far X socket, then the switch to a stream" \
    "far 'X' /tmp/.X11-unix/X0|local '5' " "$(client_cmds "far 'X' /tmp/\.X11-unix/X0" | paste -sd'|')"
check "explicit: SIGPIPE ignored once X clients came" sig_bit SigIgn explicit $SIGPIPE_NO
: >"$T/empty.xauth"
crossed=$(grep -c "far 'X'" "$T/near.log")
XAUTHORITY=$T/empty.xauth DISPLAY="127.0.0.1:$K" timeout 20 xdpyinfo >"$T/nocookie" 2>&1
check "a client without the cookie is refused" test $? -ne 0
check "with the X server's own reason" grep -q "No protocol specified" "$T/nocookie"
expect_eq "nothing of it crossed the link" "$crossed" "$(grep -c "far 'X'" "$T/near.log")"
check "the display's cookie is in the user's X authority" bash -c "xauth list :$K | grep -q ."

# Three silent clients and a slow one hold up no one: a real client gets
# the display while they are all still connected, and they are closed later.
python3 -c '
import socket, sys, time
socks = [socket.create_connection(("127.0.0.1", int(sys.argv[1]))) for _ in range(4)]
open(sys.argv[2] + ".open", "w").close()
deadline = time.time() + 30
while socks and time.time() < deadline:
    socks[-1].settimeout(1)
    try:
        socks[-1].send(b"l")  # the slow one: a byte a second
        if socks[-1].recv(1) == b"":
            raise OSError
    except socket.timeout:
        pass
    except OSError:
        socks.pop()
        open(sys.argv[2] + ".closed", "w").close()
    for s in socks[:-1]:
        s.setblocking(False)
        try:
            if s.recv(1) == b"":
                socks.remove(s)
                open(sys.argv[2] + ".closed", "w").close()
        except BlockingIOError:
            pass
' $((6000 + K)) "$T/idle" &
IDLE=$!
track $IDLE
wait_for "the idle clients" 10 test -e "$T/idle.open"
DISPLAY="127.0.0.1:$K" timeout 20 xdpyinfo >"$T/beside" 2>&1
check "a real client beside idle ones sees the far Xvfb" \
    grep -q "dimensions: *640x480 pixels" "$T/beside"
check "... while they are still connected" test ! -e "$T/idle.closed"
wait $IDLE
check "the idle clients are closed in the end" test -e "$T/idle.closed"

# The user's own entry for a display survives a QUIT, and a KILL once the
# next displink has run.
ulimit -c 0
Q=$(first_free 60)
xauth add ":$Q" MIT-MAGIC-COOKIE-1 00112233445566778899aabbccddeeff 2>/dev/null
cp "$XAUTHORITY" "$T/xauth.before"
mine=$(xauth list ":$Q")
bg quit displink ":$Q"
expect_eq "QUIT: displink serves the display" ":$Q" "$(cat "$T/quit.out")"
kill -QUIT "${PID_OF[quit]}"
wait "${PID_OF[quit]}" 2>/dev/null
check "QUIT puts the X authority back byte for byte" cmp -s "$XAUTHORITY" "$T/xauth.before"
bg killed displink ":$Q"
kill -KILL "${PID_OF[killed]}"
wait "${PID_OF[killed]}" 2>/dev/null
check "KILL leaves a record of the replaced entry" test -e "$XAUTHORITY.displink$Q"
bg after displink ":$(first_free 70)"
stop after
expect_eq "the next run puts the user's entry back" "$mine" "$(xauth list ":$Q")"
check "... and removes the record" test ! -e "$XAUTHORITY.displink$Q"

# DISPLAY from the environment; a taken port moves on to the next display.
E=$(first_free "$K")
bg fromenv DISPLAY=":$K" displink
expect_eq "DISPLAY=:$K taken: next free display" ":$E" "$(cat "$T/fromenv.out")"
NEXT=$(first_free 9)
bg unixname displink host:unix
expect_eq "host:unix starts at 9" "host:$NEXT" "$(cat "$T/unixname.out")"
stop unixname
# A bad option is reported by the option scanner only, and start-up goes on
# with the argument after it.
bg badopt displink -x host:unix
expect_eq "bad option: still served" "host:$NEXT" "$(cat "$T/badopt.out")"
expect_eq "bad option: the scanner's message, then the bound line" 2 "$(wc -l <"$T/badopt.err")"
expect_eq "bad option: the bound line comes last" "displink bound to DISPLAY=host:$NEXT" \
    "$(tail -n1 "$T/badopt.err")"
stop badopt
bg wide VESKBIND=0.0.0.0 displink
check "VESKBIND beyond loopback: displink says so" \
    grep -q "^displink: VESKBIND=0.0.0.0: the display is open beyond this machine" "$T/wide.err"
stop wide
bg nocolon DISPLAY=nocolon displink
expect_eq "name without a colon is ignored" ":$NEXT" "$(cat "$T/nocolon.out")"
stop nocolon
Z=$(first_free 0)
bg screen displink "h:0.0"
expect_eq "h:0.0 starts at 0" "h:$Z" "$(cat "$T/screen.out")"
stop screen
LONG=$(printf 'a%.0s' $(seq 1100))
bg long displink "$LONG:5"
expect_eq "name past 1023 characters: the kept part is the host" \
    "${LONG:0:1023}:$NEXT" "$(cat "$T/long.out")"
stop long

# Past display 99 nothing is served.
bg big displink "h:100"
wait "${PID_OF[big]}"
expect_eq "display 100: status" 1 $?
expect_eq "display 100: message" "displink: no connections" "$(cat "$T/big.err")"
if ! listening 6099; then
    python3 -c "import socket,time; s=socket.socket(); s.bind(('127.0.0.1',6099)); s.listen(); time.sleep(300)" &
    track $!
    wait_for "port 6099 held" 10 listening 6099
    bg last displink "h:99"
    wait "${PID_OF[last]}"
    expect_eq "display 99 taken: status" 1 $?
    expect_eq "display 99 taken: messages" "Unable to bind tcp socket
displink: no connections" "$(cat "$T/last.err")"
fi

# The far X server gone: 'X' is refused, that client fails, serving goes on.
kill $XVFB
wait $XVFB 2>/dev/null
wait_for "Xvfb socket gone" 10 bash -c "! test -e /tmp/.X11-unix/X$X"
DISPLAY="127.0.0.1:$K" timeout 20 xdpyinfo >/dev/null 2>&1
check "no far X server: the client fails" test $? -ne 0
check "no far X server: displink keeps serving" alive explicit
expect_eq "no far X server: displink writes nothing" "displink bound to DISPLAY=127.0.0.1:$K" \
    "$(cat "$T/explicit.err")"

# No link server when a client connects: displink ends with status 1.
stop_pair
DISPLAY="127.0.0.1:$K" timeout 20 xdpyinfo >/dev/null 2>&1
wait "${PID_OF[explicit]}"
expect_eq "link server gone: displink exits 1" 1 $?
expect_eq "an exit takes the display's cookie out" "" "$(xauth list ":$K")"
stop fromenv
stop default
expect_eq "SIGTERM takes the display's cookie out" "" "$(xauth list ":$E")"

finish
