#!/usr/bin/env bash
# Safe on a real network: forwards listen on loopback unless VESKBIND widens
# them, veskd --genkey and the key file checks, and a TCP link that a man in
# the middle can neither read, change nor replay.
source "$(dirname "$0")/lib.sh"
RELAY=$VESK_SRC/tests/e2e/link_relay.py

# --- keys ---------------------------------------------------------------------
KEY=$T/keys/sub/key
veskd --genkey "$KEY" 2>"$T/genkey.err"
expect_eq "genkey: status" 0 $?
expect_eq "genkey: 32 bytes, mode 600" "32 600" "$(stat -c '%s %a' "$KEY")"
expect_eq "genkey: new directories are private" "700 700" \
    "$(stat -c %a "$T/keys") $(stat -c %a "$T/keys/sub")"
cp "$KEY" "$T/key.before"
veskd --genkey "$KEY" 2>"$T/genkey.err"
expect_eq "genkey never overwrites: status" 1 $?
check "genkey never overwrites: says so" grep -q "exists already" "$T/genkey.err"
check "genkey never overwrites: key unchanged" cmp -s "$KEY" "$T/key.before"
head -c 8 /dev/urandom >"$T/short" && chmod 600 "$T/short"
HOME=$FAR timeout 10 veskd --key "$T/short" --link "tcp-listen:127.0.0.1:$(free_port)" 2>"$T/short.err"
expect_eq "a short key: status" 1 $?
check "a short key: says so" grep -q "is too short: 8 bytes" "$T/short.err"

# --- where forwards listen ------------------------------------------------------
# listens_on PROTO PORT: the local address of the listener on PORT.
listens_on() {
    local flag=-Hltn
    [ "$1" = udp ] && flag=-Hlun
    ss "$flag" "sport = :$2" | awk '{ print $4 }' | sed 's/:[0-9]*$//' | head -n1
}
listening() { [ -n "$(listens_on "$@")" ]; }
# binds DESCRIPTION ADDRESS PROTO PROGRAM REMOTEPORT [VAR=value...]: PROGRAM,
# given a free local port, listens on ADDRESS.
binds() {
    local p
    p=$(free_port)
    spawn "$4" env "${@:6}" "$4" "$p" "$5"
    wait_for "$4 to listen" 10 listening "$3" "$p"
    expect_eq "$1" "$2" "$(listens_on "$3" "$p")"
    stop "$4"
}
binds "portlink listens on loopback" 127.0.0.1 tcp portlink 80
binds "VESKBIND=0.0.0.0 widens portlink" 0.0.0.0 tcp portlink 80 VESKBIND=0.0.0.0
VESKBIND=lan near portlink "$(free_port)" 80 2>"$T/bad.err"
expect_eq "a bad VESKBIND: status" 1 $?
expect_eq "a bad VESKBIND: names the variable" "portlink: VESKBIND=lan is not an IPv4 address" \
    "$(cat "$T/bad.err")"

# --- a TCP link through a man in the middle ------------------------------------
# tcp_pair CAPTURE [FLIP_AT]: the far end listens, the near end connects
# through a recording relay.  Sets FAR_TCP and NEAR_TCP.
tcp_pair() {
    local port relay_port
    port=$(free_port)
    rm -f "$T/relay.port" "$NEAR/.vesk/socket" "$FAR/.vesk/socket"
    (cd "$FAR" && HOME=$FAR exec veskd --key "$KEY" --link "tcp-listen:127.0.0.1:$port") \
        2>"$T/far_tcp.log" &
    FAR_TCP=$!
    track $FAR_TCP
    python3 "$RELAY" relay "$T/relay.port" "$port" "$@" &
    track $!
    wait_for "the relay" 10 test -s "$T/relay.port"
    relay_port=$(cat "$T/relay.port")
    HOME=$NEAR veskd --key "$KEY" --link "tcp:127.0.0.1:$relay_port" 2>"$T/near_tcp.log" &
    NEAR_TCP=$!
    track $NEAR_TCP
    wait_for "the TCP pair" 10 test -S "$NEAR/.vesk/socket"
}
for i in $(seq 40000); do echo "secret line $i of the plan"; done >"$W/plan.txt"
chmod 640 "$W/plan.txt"

tcp_pair "$T/cap"
# dgramlink's ports are bound by the near veskd, on loopback unless widened.
binds "dgramlink's port is on loopback" 127.0.0.1 udp dgramlink 53
binds "VESKBIND=0.0.0.0 widens dgramlink" 0.0.0.0 udp dgramlink 53 VESKBIND=0.0.0.0

(cd "$W" && near upload plan.txt >/dev/null 2>&1)
expect_eq "an upload over the TCP link arrives" 0 $?
check "the copy is identical" cmp -s "$W/plan.txt" "$FAR/plan.txt"
kill "$NEAR_TCP" "$FAR_TCP"
wait "$NEAR_TCP" 2>/dev/null
wait "$FAR_TCP" 2>/dev/null
size=$(($(stat -c %s "$T/cap.up") + $(stat -c %s "$T/cap.down")))
check "the relay saw the upload pass" test "$size" -gt "$(stat -c %s "$W/plan.txt")"
expect_eq "the capture shows none of the file's text" 0 \
    "$(cat "$T/cap.up" "$T/cap.down" | grep -ac 'secret line')"

# A recording of that session played to a fresh listener with the same key.
port=$(free_port)
(cd "$FAR" && HOME=$FAR exec timeout 20 veskd --key "$KEY" --link "tcp-listen:127.0.0.1:$port") \
    2>"$T/replayed.log" &
victim=$!
track $victim
wait_for "the listener" 10 listening tcp "$port"
python3 "$RELAY" replay "$port" "$T/cap.up"
wait_for "the refusal" 10 grep -q "key check failed" "$T/replayed.log"
check "a replayed session is refused: key check" test $? = 0
check "a replayed session is refused: no link" \
    grep -q '^state: waiting' <<<"$(HOME=$FAR timeout 10 veskd --status)"
check "a replayed session is refused: the listener listens on" kill -0 "$victim"
kill "$victim"
wait "$victim"

# One byte flipped well after the key check, in the middle of an upload.
head -c $((8 * 1024 * 1024)) /dev/urandom >"$W/big"
tcp_pair "$T/flip" $((2 * 1024 * 1024))
(cd "$W" && near upload big >/dev/null 2>&1)
check "the upload fails" test $? -ne 0
wait_for "the far end to end the link" 10 grep -q "link integrity check failed" "$T/far_tcp.log"
check "the far end says why" test $? = 0
check "the far end listens on" kill -0 "$FAR_TCP"
kill "$FAR_TCP"
wait_for "the near veskd to end" 10 bash -c "! kill -0 $NEAR_TCP"
expect_eq "the far copy stays partial (mode 400)" 400 "$(stat -c %a "$FAR/big")"
part=$(stat -c %s "$FAR/big")
check "the far copy is shorter than the file" test "$part" -lt "$(stat -c %s "$W/big")"
check "no changed byte reached the far copy" cmp -s -n "$part" "$W/big" "$FAR/big"
# Strangers holding the listener: silent and garbage connections kept open
# (several from one address, some from the peer's own), slow talkers and a
# wrong-key flood; the peer still links.
port=$(free_port)
rm -f "$FAR/.vesk/socket" "$NEAR/.vesk/socket"
(cd "$FAR" && HOME=$FAR exec timeout 60 veskd --key "$KEY" --link "tcp-listen:127.0.0.1:$port") \
    2>"$T/held.log" &
held=$!
track $held
wait_for "the listener" 10 listening tcp "$port"
python3 "$RELAY" attack "$port" 8 8 1 0 "$T/attack.stats" 4 5 &
attacker=$!
track $attacker
wait_for "the strangers" 10 grep -q "closed: it makes room for one from 127.0.0.2:" "$T/held.log"
check "a full source gives up its oldest silent connection" test $? = 0
HOME=$NEAR timeout 60 veskd --reconnect --key "$KEY" --link "tcp:127.0.0.1:$port" \
    2>"$T/held_near.log" &
near_tcp=$!
track $near_tcp
check "the peer links while strangers hold connections" \
    wait_for "the peer's link" 20 test -S "$NEAR/.vesk/socket"
# A peer that links at once may beat the strangers: let them run a little.
wait_for "the strangers to come back" 10 awk '$1 == "flood" && $2 > 2 { f = 1 }
    $1 == "garbage" && $2 > 8 { g = 1 } END { exit !(f && g) }' "$T/attack.stats"
kill "$attacker"
wait "$attacker"
# Each refused stranger came back: more connections than were held at once.
check "garbage was turned away and came back" awk '$1 == "garbage" && $2 > 8 { ok = 1 } END { exit !ok }' "$T/attack.stats"
check "the wrong-key flood ran" awk '$1 == "flood" && $2 > 2 { ok = 1 } END { exit !ok }' "$T/attack.stats"
kill "$near_tcp" "$held"
wait "$near_tcp" "$held" 2>/dev/null

# Addresses of one IPv6 /64 are one source: in a network namespace of our
# own where the whole /64 is this host's, eight silent strangers from eight
# of its addresses fill that source's share, and the peer still links.
if unshare -rn true 2>/dev/null; then
    rm -f "$NEAR/.vesk/socket"
    T=$T NEAR=$NEAR FAR=$FAR KEY=$KEY RELAY=$RELAY unshare -rn bash -c '
        ip link set lo up && ip -6 route add local fd00:1::/64 dev lo &&
            sysctl -qw net.ipv6.ip_nonlocal_bind=1 || exit 1
        (cd "$FAR" && HOME=$FAR exec timeout 30 veskd --key "$KEY" \
            --link "tcp-listen:[fd00:1::1]:$1") 2>"$T/six.log" &
        held=$!
        for i in $(seq 100); do ss -Hltn "sport = :$1" | grep -q . && break; sleep 0.1; done
        python3 "$RELAY" attack "$1" 8 0 0 1 "$T/six.stats" 0 0 fd00:1:: &
        attacker=$!
        for i in $(seq 100); do grep -q "makes room" "$T/six.log" && break; sleep 0.1; done
        HOME=$NEAR timeout 30 veskd --reconnect --key "$KEY" --link "tcp:[fd00:1::1]:$1" \
            2>"$T/six_near.log" &
        near=$!
        for i in $(seq 200); do test -S "$NEAR/.vesk/socket" && break; sleep 0.1; done
        test -S "$NEAR/.vesk/socket" && echo linked >"$T/six.result"
        kill $attacker $near $held
        wait $near $held 2>/dev/null' six "$(free_port)"
    check "one /64: a full source gives up its oldest silent connection" \
        grep -q "closed: it makes room for one from \[fd00:1::1:" "$T/six.log"
    check "one /64: the peer links" grep -q linked "$T/six.result"
else
    echo "SKIP: no network namespace for the IPv6 /64 case"
fi
finish
