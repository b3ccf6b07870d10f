#!/usr/bin/env bash
# timesync and regquery against the local pair.  The clock is never set here:
# timesync runs under the test clock shim, which records settimeofday instead
# of making the call, and as root also without the capability to set a clock.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SHIMS=${VESK_SHIMS:-$ROOT/build/lib}  # where tour.sh built the test shims
WORK=$(mktemp -d)
trap 'kill ${WHOIS_PID:-} 2>/dev/null; rm -rf "$WORK"' EXIT

echo "== timesync -v: the far clock, the round trip and the time it sets"
if [ -f "$SHIMS/libclockshim.so" ]; then
    if [ "$(id -u)" = 0 ]; then NO_CLOCK=(setpriv --bounding-set=-sys_time); else NO_CLOCK=(); fi
    "${NO_CLOCK[@]}" env LD_PRELOAD="$SHIMS/libclockshim.so" VESK_CLOCK_LOG="$WORK/clock.log" \
        timeout 20 timesync -v
    echo "status $?; recorded instead of set: $(cat "$WORK/clock.log" 2>/dev/null)"
else
    echo "(skipped: the clock shim $SHIMS/libclockshim.so is not built)"
fi

echo "== regquery through the link to a whois responder on 127.0.0.1"
if [ -f "$SHIMS/libwhoisport.so" ]; then
    python3 - "$WORK/port" <<'PY' &
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(1)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
s.settimeout(20)
c, _ = s.accept()
q = c.recv(512).split(b"\r\n")[0]
c.sendall(b"Domain Name: " + q.upper() + b"\r\nRegistrar: the vesk tour\r\nStatus: \x1b[1mactive\r\n")
c.close()
PY
    WHOIS_PID=$!
    for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.1; done
    echo '$ regquery example.org@127.0.0.1'
    VESK_WHOIS_PORT=$(cat "$WORK/port") LD_PRELOAD="$SHIMS/libwhoisport.so" \
        timeout 20 regquery example.org@127.0.0.1
    echo "status $?"
else
    echo "(skipped: the whois port shim $SHIMS/libwhoisport.so is not built)"
fi
