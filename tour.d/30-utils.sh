#!/usr/bin/env bash
# timesync and regquery against the local pair.  The clock is never set here:
# timesync runs under the test clock shim, which records settimeofday instead
# of making the call, and as root also without the capability to set a clock.
set -u
trap 'kill ${WHOIS_PID:-} 2>/dev/null' EXIT

echo "== timesync -v: the far clock, the round trip and the time it sets"
# True when a program run through NO_CLOCK could still set the clock.
may_set_clock() {
    local eff
    eff=$("${NO_CLOCK[@]}" awk '/^CapEff:/ { print $2 }' /proc/self/status 2>/dev/null) ||
        return 0
    [ -n "$eff" ] || return 0
    (((16#$eff >> 25) & 1)) # bit 25: CAP_SYS_TIME
}
NO_CLOCK=()
if [ "$(id -u)" = 0 ] || may_set_clock; then
    NO_CLOCK=(setpriv --inh-caps=-sys_time --bounding-set=-sys_time)
fi
if [ ! -f "$SHIMS/libclockshim.so" ]; then
    echo "(skipped: the clock shim $SHIMS/libclockshim.so is not built)"
elif may_set_clock; then
    echo "(skipped: timesync could not be kept from setting the clock)"
else
    "${NO_CLOCK[@]}" env LD_PRELOAD="$SHIMS/libclockshim.so" VESK_CLOCK_LOG="$WORK/clock.log" \
        timeout 20 timesync -v
    echo "status $?; recorded instead of set: $(cat "$WORK/clock.log" 2>/dev/null)"
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
