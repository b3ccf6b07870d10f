#!/usr/bin/env bash
# veskd --status: the state of a live pair in lines and in JSON, counters that
# move with traffic, clients listed while they run, refused from the far end,
# and reported while reconnecting; -v logs a line per event, with text from
# outside escaped; and the messages that name why a TCP link did not come up.
source "$(dirname "$0")/lib.sh"
not() { ! "$@"; }
# field NAME: the value of NAME in the near end's JSON report.
field() {
    near veskd --status --json | python3 -c 'import json, sys
v = json.load(sys.stdin)
for k in sys.argv[1].split("."):
    v = v[k] if not isinstance(v, list) else [e[k] for e in v]
print(v)' "$1"
}

start_pair -v
near veskd --status >"$T/status.txt"
check "the text says the link is up" grep -q '^state: up for ' "$T/status.txt"
check "and names the far end" grep -Eq "^far end: .* \\(127.0.0.1\\), version [0-9]+, user $(id -u)" "$T/status.txt"
check "and the link" grep -q '^link: exec:' "$T/status.txt"
check "and the checked line's counters" grep -q '^frames: 0 damaged, 0 resent' "$T/status.txt"
expect_eq "the JSON says up" up "$(field state)"
expect_eq "the JSON names the far user" "$(id -u)" "$(field far.user)"

peer echo-tcp "$T/echo.port"
before=$(field bytes_out)
mkfifo "$T/hold"
head -c 2000000 /dev/urandom >"$T/blob"
{ cat "$T/blob"; cat "$T/hold"; } | HOME=$NEAR timeout 60 vesk_probe -s '>' A "$(cat "$T/echo.port")" \
    >"$T/echoed" &
client=$!
track $client
wait_for "the echo" 20 bash -c "[ \$(stat -c %s '$T/echoed') -ge 2000000 ]"
check "bytes out grow with a transfer" test "$(field bytes_out)" -gt $((before + 2000000))
near veskd --status >"$T/status.txt"
check "a running client is listed with its kind and pid" \
    grep -q "^client [0-9]*: port, pid [0-9]*, uid $(id -u), [0-9]* bytes, for " "$T/status.txt"
check "and in the JSON" grep -q port <<<"$(field clients.kind)"
exec 8>"$T/hold"
exec 8>&-
wait $client

check "-v logs a client's end with its totals" \
    grep -qE "^veskd: client [0-9]+ \(port, pid [0-9]+\) closed after .*: 20[0-9]{5} bytes from it" \
    "$T/near.log"
check "but not its requests" not grep -q "'A'" "$T/near.log"
near vesk_probe '?' 9 $'evil\nveskd: forged'
check "a control character from outside is escaped in the log" \
    grep -q 'evil\\x0aveskd: forged' "$T/near.log"
check "and forges no line" not grep -q '^veskd: forged' "$T/near.log"

out=$(near vesk_probe '>' y "")
expect_eq "the far end refuses a status request" "-1 status is answered for local clients only" "$out"
stop_pair

# TCP: a second connecting end hears that a link is up already; a wrong key
# stops even --reconnect; a far end that stalls is no key failure.
head -c 32 /dev/urandom >"$T/key" && chmod 600 "$T/key"
head -c 32 /dev/urandom >"$T/other" && chmod 600 "$T/other"
mkdir -p "$T/a" "$T/b" "$T/c" && chmod 700 "$T/a" "$T/b" "$T/c"
port=$(free_port)
HOME=$T/a veskd --key "$T/key" --link "tcp-listen:127.0.0.1:$port" 2>"$T/a.log" &
a=$!
track $a
wait_for "the listener" 10 listening "$port"
# Before its first link a listening end answers, and says where it waits.
HOME=$T/a timeout 10 veskd --status >"$T/status.txt"
check "before the first link: waiting" grep -q '^state: waiting for ' "$T/status.txt"
check "and where" grep -q "^listening on: 127.0.0.1:$port$" "$T/status.txt"
check "and its JSON is valid" python3 -c 'import json, sys
assert json.load(sys.stdin)["listening_on"] == sys.argv[1]' "127.0.0.1:$port" \
    < <(HOME=$T/a timeout 10 veskd --status --json)
HOME=$T/c timeout 20 veskd --reconnect --key "$T/other" --link "tcp:127.0.0.1:$port" 2>"$T/c.log"
expect_eq "a wrong key stops --reconnect" 1 $?
check "with the key failure" grep -q "does not hold the same key; not trying again" "$T/c.log"
HOME=$T/b veskd --reconnect --key "$T/key" --link "tcp:127.0.0.1:$port" 2>"$T/b.log" &
b=$!
track $b
wait_for "the TCP pair" 10 test -S "$T/b/.vesk/socket"
HOME=$T/c timeout 20 veskd --key "$T/key" --link "tcp:127.0.0.1:$port" 2>"$T/c.log"
expect_eq "a second connecting end exits 1" 1 $?
check "and prints why" grep -q "the far end refused the link: a link is up already" "$T/c.log"

# The far end stops cleanly: the near end reports that it reconnects.
kill $a
wait $a
wait_for "the near end to wait" 10 grep -q "reconnecting" "$T/b.log"
HOME=$T/b timeout 10 veskd --status >"$T/status.txt"
check "while down, the report says so and when the next try is" \
    grep -Eq '^state: (down for .*, next try in|connecting)' "$T/status.txt"
check "and why" grep -q '^reason: .' "$T/status.txt"
check "and counts no reconnection yet" grep -q '^reconnections: 0' "$T/status.txt"
kill $b
wait $b

# A far end that starts the check and then says nothing.
stall=$(free_port)
python3 -c '
import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(1)
c, _ = s.accept(); c.sendall(b"VK\x01\x01A"); time.sleep(30)' "$stall" &
track $!
wait_for "the stalling listener" 10 listening "$stall"
HOME=$T/c timeout 20 veskd --key "$T/key" --link "tcp:127.0.0.1:$stall" 2>"$T/c.log"
expect_eq "a stalled key check ends the try" 1 $?
check "as no answer, not a key failure" grep -q "no answer from the far end within 5 s" "$T/c.log"

# Nothing listening: the reason in words, with the address.
dead=$(free_port)
HOME=$T/c timeout 3 veskd --reconnect --key "$T/key" --link "tcp:127.0.0.1:$dead" 2>"$T/c.log"
check "a refused connect says so" \
    grep -q "^veskd: cannot connect to 127.0.0.1:$dead: Connection refused; trying again" "$T/c.log"
finish
