#!/usr/bin/env bash
# dgramlink end to end: argument cases, then a real DNS server on the far side
# queried through the forward, a UDP echo at the far machine's own address,
# and the teardown when the link server goes away.
source "$(dirname "$0")/lib.sh"

USAGE="Usage: dgramlink [options] {<localport> <[host:]remoteport>}"
udp_bound() { ss -Hlun "sport = :$1" | grep -q .; }
# A port free for UDP and TCP alike: dnsmasq listens on both.
free_both_port() {
    python3 - <<'PY'
import socket
while True:
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("127.0.0.1", 0))
    t = socket.socket()
    try:
        t.bind(("127.0.0.1", u.getsockname()[1])); print(u.getsockname()[1]); break
    except OSError:
        pass
PY
}
# udp_ask PORT TEXT: sends TEXT to 127.0.0.1:PORT, prints the answer (or nothing).
udp_ask() {
    python3 - "$1" "$2" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(1)
for _ in range(5):
    s.sendto(sys.argv[2].encode(), ("127.0.0.1", int(sys.argv[1])))
    try:
        print(s.recvfrom(65536)[0].decode()); break
    except socket.timeout:
        pass
PY
}
# bg NAME ARGS...: dgramlink in the background, standard error in $T/NAME.err.
bg() { spawn "$1" dgramlink "${@:2}"; }
# logged REGEX: the near veskd has read a command line matching REGEX.
logged() { grep -qE "^veskd: client [0-9]+: $1\$" "$T/near.log"; }

# ---- argument cases without a link server: usage comes before connecting ----
fails_with "no pair" "usage, no connection attempt" "$USAGE" dgramlink
fails_with "one argument" "usage" "$USAGE" dgramlink 5353
near dgramlink 5353 53 2>"$T/err"
expect_eq "no link server: status" 1 $?
check "no link server: reason" grep -q "^Vesk: Failed to connect to vesk socket '" "$T/err"

# ---- with a pair ----
start_pair -vv -- -vv
read -r ECHO L1 L2 L3 L4 L5 L6 L7 L8 <<<"$(free_ports 9 udp)"
DNS=$(free_both_port)
# The port after a host is tested before the host is looked up; a bare port 0
# cannot be aimed at either and is refused the same way.
for bad in "127.0.0.1:0" "127.0.0.1:65536" "no-such-host.invalid:0" "0" "65536"; do
    fails_with "remote $bad" "text" "Redirecting $L1 to $bad
Bad port number 0." dgramlink "$L1" "$bad"
done
check "a bad port costs no look-up" bash -c "! grep -q \"far 'c' no-such-host\" '$T/near.log'"
fails_with "unknown host" "no message of its own" "Redirecting $L1 to no-such-host.invalid:53" \
    dgramlink "$L1" "no-such-host.invalid:53"
# An empty host is looked up.
bg nohost "$L8" :53
check "empty host: looked up and aimed at" wait_for "C_UDPSET" 10 logged "local 'T' [0-9]+ $L8"
check "empty host: still waiting" alive nohost
stop nohost
# A local port that is no number is 0, and is sent as such.
bg word not-a-number "$ECHO"
check "non-numeric local port goes out as 0" wait_for "C_UBIND 0" 10 logged "local 'T' [0-9]+ 0"
stop word
fails_with "odd argument after a pair" "text" "Redirecting $L1 to 53
$USAGE" dgramlink "$L1" 53 "$L2"

DNSMASQ=$(command -v dnsmasq || echo /usr/sbin/dnsmasq)
if [ -x "$DNSMASQ" ]; then
    "$DNSMASQ" --no-daemon --port="$DNS" --listen-address=127.0.0.1 --bind-interfaces \
        --no-resolv --no-hosts --user=root --pid-file="$T/dnsmasq.pid" \
        --address=/example.test/10.1.2.3 2>"$T/dnsmasq.log" &
    track $!
    check "dnsmasq up" wait_for "dnsmasq" 10 udp_bound "$DNS" || cat "$T/dnsmasq.log"
    bg dns "$L1" "127.0.0.1:$DNS"
    check "forwarded port bound" wait_for "port $L1" 10 udp_bound "$L1"
    for name in www.example.test mail.example.test; do
        expect_eq "dig $name through the forward" 10.1.2.3 \
            "$(dig +short +time=2 +tries=3 -p "$L1" @127.0.0.1 "$name" A 2>/dev/null)"
    done
    expect_eq "only the announcement was written" "Redirecting $L1 to 127.0.0.1:$DNS" \
        "$(cat "$T/dns.err")"
    check "standard descriptors closed after set-up" \
        bash -c "! ls /proc/${PID_OF[dns]}/fd/0 /proc/${PID_OF[dns]}/fd/1 /proc/${PID_OF[dns]}/fd/2 2>/dev/null | grep -q ."
    # Ending the main connection tears the pair down.
    kill "${PID_OF[dns]}"
    check "pair torn down with dgramlink" wait_for "port $L1 to close" 10 bash -c "! ss -Hlun 'sport = :$L1' | grep -q ."
else
    echo "SKIP: dnsmasq is not installed (Debian package dnsmasq-base)"
fi

# No host: the far machine itself, 127.0.0.254.
python3 - "$ECHO" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.254", int(sys.argv[1])))
while True:
    data, peer = s.recvfrom(65536)
    s.sendto(b"echo " + data, peer)
PY
track $!
check "udp echo on 127.0.0.254 up" wait_for "udp echo" 10 bash -c "ss -Hlun 'sport = :$ECHO' | grep -q ."
STATS_BEFORE=$(grep -cE "^veskd: client [0-9]+: local 'F' -6\$" "$T/near.log")
bg echo "$L2" "$ECHO" "$L3" "127.0.0.254:$ECHO"
check "both pairs bound" wait_for "port $L3" 10 udp_bound "$L3"
expect_eq "remote without a host reaches 127.0.0.254" "echo one" "$(udp_ask "$L2" one)"
expect_eq "second pair on the same main connection" "echo two" "$(udp_ask "$L3" two)"
# Every pair's commands go on the one main connection, named by the number
# that its own set-up connection's C_STATS gave; the set-up connections are
# gone, so the process holds the main connection alone.
CMDS=$(client_cmds "local 'T' [0-9]+ $L2")
N=$(sed -n "1s/^far 'V' \([0-9]*\) 3\$/\1/p" <<<"$CMDS")
M=$(sed -n "5s/^far 'V' \([0-9]*\) 3\$/\1/p" <<<"$CMDS")
check "each pair has its own connection number" test -n "$N" -a -n "$M" -a "$N" != "$M"
expect_eq "commands of two pairs on the main connection, in order" "far 'V' $N 3
local 'V' $N 4
local 'T' $N $L2
far 'W' $N :127.0.0.254:$ECHO
far 'V' $M 3
local 'V' $M 4
local 'T' $M $L3
far 'W' $M :127.0.0.254:$ECHO" "$CMDS"
expect_eq "two set-up connections, one C_STATS each" "2" \
    "$(grep -cE "^veskd: client [0-9]+: local 'F' -6\$" "$T/near.log" |
        awk -v before="$STATS_BEFORE" '{ print $1 - before }')"
expect_eq "only the main connection is held" 1 "$(open_sockets echo)"
check "standard descriptors closed" bash -c "! ls /proc/${PID_OF[echo]}/fd/0 /proc/${PID_OF[echo]}/fd/1 /proc/${PID_OF[echo]}/fd/2 2>/dev/null | grep -q ."
check "SIGPIPE is caught, not ignored" sig_bit SigCgt echo $SIGPIPE_NO

# An IPv6 far host in brackets (where the machine has ::1); one without
# them is refused before anything is set up.
if python3 -c 'import socket; socket.socket(socket.AF_INET6).bind(("::1", 0))' 2>/dev/null; then
    read -r ECHO6 L9 <<<"$(free_ports 2 udp)"
    python3 -c 'import socket, sys
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM); s.bind(("::1", int(sys.argv[1])))
while True:
    data, peer = s.recvfrom(65536); s.sendto(b"echo " + data, peer)' "$ECHO6" &
    track $!
    bg six "$L9" "[::1]:$ECHO6"
    check "IPv6 pair bound" wait_for "port $L9" 10 udp_bound "$L9"
    expect_eq "a datagram reaches an IPv6 far host" "echo six" "$(udp_ask "$L9" six)"
    stop six
fi
near dgramlink "$L4" "::1:$ECHO" 2>"$T/err"
expect_eq "IPv6 host without brackets: status" 1 $?
expect_eq "IPv6 host without brackets: message" \
    "dgramlink: bad far target ::1:$ECHO (an IPv6 host: [address]:port)" "$(cat "$T/err")"

# A local port that cannot be bound fails the third pair; nothing is undone.
python3 -c "import socket,time,sys; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(('0.0.0.0',int(sys.argv[1]))); time.sleep(300)" "$L5" &
track $!
check "port holder up" wait_for "holder" 10 udp_bound "$L5"
near dgramlink "$L4" "$ECHO" "$L6" "$ECHO" "$L5" "$ECHO" 2>"$T/err" &
THIRD=$!
wait $THIRD
expect_eq "third pair refused: status" 1 $?
check "third pair refused: C_UBIND reason" grep -q "^Vesk C_UBIND: ." "$T/err"
expect_eq "third pair refused: the message is the last line" 1 \
    "$(tail -n1 "$T/err" | grep -c '^Vesk C_UBIND: ')"
expect_eq "third pair refused: no command after the refused C_UBIND" "local 'T' $L5" \
    "$(client_cmds "local 'T' [0-9]+ $L5" | tail -n1 | sed -E "s/'T' [0-9]+ /'T' /")"

# The link server going away ends a waiting dgramlink with status 0.
stop_pair
wait "${PID_OF[echo]}"
expect_eq "link server gone: dgramlink exits 0" 0 $?

finish
