#!/usr/bin/env bash
# portlink end to end: the usage and binding cases without a link server, then
# real HTTP and echo services on the far side reached through the forward.
source "$(dirname "$0")/lib.sh"

USAGE="Usage: portlink [options] {<localport> <[host:]remoteport>}"
# bg NAME ARGS...: portlink in the background, standard error in $T/NAME.err.
bg() { spawn "$1" portlink "${@:2}"; }

# ---- start-up cases, no link server anywhere ----
fails_with "no pair" "usage" "$USAGE" portlink
fails_with "one argument" "usage" "$USAGE" portlink 1080
near portlink -x 1 2 2>"$T/err"
expect_eq "bad option: status" 1 $?
check "bad option: no usage of portlink's own" bash -c "! grep -q Usage '$T/err'"

read -r P1 P2 <<<"$(free_ports 2)"
fails_with "odd pair after a good one" "text" "Redirecting $P1 to 80
$USAGE" portlink "$P1" 80 "$P2"

# An IPv6 far host stands in brackets; one without them is refused at once.
fails_with "IPv6 host without brackets" "text" \
    "portlink: bad far target ::1:22 (an IPv6 host: [address]:port)" portlink "$P1" ::1:22

fails_with "port 0" "text" "Redirecting 0 to 80
Unknown service 0
Nothing to do." portlink 0 80
fails_with "unknown name and port past 65535" "text" "Redirecting no-such-service to 80
Unknown service no-such-service
Redirecting 70000 to 81
Can't bind to 70000.
Nothing to do." portlink no-such-service 80 70000 81

# A taken port is skipped, the others served; the same local port twice too.
read -r PA PB PC <<<"$(free_ports 3)"
bg holder "$PA" 1
check "first portlink listens" wait_for "port $PA" 10 listening "$PA"
bg second "$PA" 1 "$PB" 2 "$PB" 3 "${PC}x" 4
check "other pairs are served" wait_for "port $PB" 10 listening "$PB"
check "80x-style argument listens on the digits" wait_for "port $PC" 10 listening "$PC"
check "SIGPIPE ignored from the start" sig_bit SigIgn second $SIGPIPE_NO
expect_eq "taken ports: messages" "Redirecting $PA to 1
Port is already bound.
Redirecting $PB to 2
Redirecting $PB to 3
Port is already bound.
Redirecting ${PC}x to 4" "$(cat "$T/second.err")"

# No link server: every client is refused with the reason, serving goes on.
curl -s -m 10 "http://127.0.0.1:$PB/" >/dev/null
curl -s -m 10 "http://127.0.0.1:$PB/" >/dev/null
check "no link server: portlink keeps serving" alive second
expect_eq "no link server: one reason per client" \
    "2" "$(grep -c "^Vesk: Failed to connect to vesk socket '.*socket'$" "$T/second.err")"
stop holder
stop second

# A service name is looked up as a TCP service (http = 80).
if ! listening 80; then
    bg named http 1
    check "service name http listens on 80" wait_for "port 80" 10 listening 80
    check "service name: no unknown-service line" bash -c "! grep -q Unknown '$T/named.err'"
    stop named
fi

# Only the first 32 bound pairs are announced and served, failures skipped;
# a lone argument after them is never reached, so it is no usage error.  This
# portlink keeps serving into the part with a link server below, which also
# shows that it needs none to start.
read -r -a MANY <<<"$(free_ports 40)"
args=()
for i in "${!MANY[@]}"; do
    args+=("${MANY[$i]}" "$((i + 1))")
    [ "$i" = 4 ] && args+=(0 99)
    [ "$i" = 9 ] && args+=(no-such-service 99)
done
bg many "${args[@]}" lone-argument
check "32nd pair listens" wait_for "port ${MANY[31]}" 10 listening "${MANY[31]}"
check "33rd pair is not bound" bash -c "! ss -Hltn 'sport = :${MANY[32]}' | grep -q ."
expect_eq "32 bound pairs and 2 failed ones announced" 34 "$(grep -c '^Redirecting' "$T/many.err")"
check "announcements stop at the 32nd bound pair" bash -c "! grep -q 'Redirecting ${MANY[32]} ' '$T/many.err'"
check "arguments past the 32nd bound pair are not checked" alive many
check "no usage for the lone argument" bash -c "! grep -q Usage '$T/many.err'"

# ---- through a real pair ----
start_pair -vv -- -vv
# Each listener leads to its own pair's remote specification: a failed pair's
# text (99) is overwritten by the next one.  The far side has nothing on these
# ports, so the clients are refused, but the near veskd saw the C_PORT text.
for i in 5 10 31; do
    curl -s -m 10 "http://127.0.0.1:${MANY[$i]}/" >/dev/null
    check "listener $((i + 1)) asks for remote port $((i + 1))" \
        grep -qE "^veskd: client [0-9]+: far 'A' $((i + 1))\$" "$T/near.log"
done
check "a failed pair's remote text is never used" bash -c "! grep -q \"far 'A' 99\" '$T/near.log'"
check "refused clients do not stop portlink" alive many
stop many

mkdir -p "$T/www"
head -c $((24 * 1024 * 1024)) /dev/urandom >"$T/www/big.bin"
echo "small page" >"$T/www/small.txt"
read -r HTTP DEAD ECHO FLOOD L1 L2 L3 L4 L5 L6 <<<"$(free_ports 10)"
(cd "$FAR" && exec python3 -m http.server "$HTTP" --bind 127.0.0.1 --directory "$T/www" \
    >/dev/null 2>&1) &
track $!
socat "TCP-LISTEN:$ECHO,bind=127.0.0.1,reuseaddr,fork" EXEC:cat 2>/dev/null &
track $!
cat >"$T/flood.py" <<'PY'
# Echo server (serve PORT) or N simultaneous clients (flood PORT N): every
# client gets its echo while all N are open, then all close.
import asyncio, sys

async def echo(reader, writer):
    while data := await reader.read(65536):
        writer.write(data)
        await writer.drain()
    writer.close()

async def serve(port):
    server = await asyncio.start_server(echo, "127.0.0.1", port, backlog=4096)
    async with server:
        await server.serve_forever()

async def flood(port, n):
    conns = await asyncio.gather(*(asyncio.open_connection("127.0.0.1", port) for _ in range(n)))
    async def one(i, rw):
        msg = f"connection {i}\n".encode()
        rw[1].write(msg)
        await rw[1].drain()
        return await rw[0].readline() == msg
    ok = await asyncio.gather(*(one(i, rw) for i, rw in enumerate(conns)))
    for _, w in conns:
        w.close()
    return sum(ok)

mode, port = sys.argv[1], int(sys.argv[2])
if mode == "serve":
    asyncio.run(serve(port))
else:
    print(asyncio.run(asyncio.wait_for(flood(port, int(sys.argv[3])), 180)))
PY
python3 "$T/flood.py" serve "$FLOOD" &
track $!
check "http server up" wait_for "http server" 10 listening "$HTTP"
check "echo server up" wait_for "echo server" 10 listening "$ECHO"
check "flood server up" wait_for "flood server" 10 listening "$FLOOD"

bg link "$L1" "$HTTP" "$L2" "127.0.0.1:$HTTP" "$L3" "127.0.0.1:$DEAD" \
    "$L4" "127.0.0.1:no-such-service" "$L5" "127.0.0.1:$ECHO" "$L6" "127.0.0.1:$FLOOD"
check "portlink listens" wait_for "port $L6" 10 listening "$L6"

for port in "$L1" "$L2"; do
    rm -f "$T/got"
    check "large body through $port" curl -sf -m 60 -o "$T/got" "http://127.0.0.1:$port/big.bin"
    check "large body through $port is byte for byte" cmp -s "$T/www/big.bin" "$T/got"
done
# One connection's commands: the client's own address and port for the far
# log, the remote text exactly as typed (no host here), then the switch to a
# data stream.
CP=$(free_port)
expect_eq "a client from a known port" "small page" \
    "$(curl -sf -m 10 --local-port "$CP" "http://127.0.0.1:$L1/small.txt")"
expect_eq "commands of one forwarded connection, in order" \
    "far 'e' 127.0.0.1:$CP|far 'A' $HTTP|local '5' " \
    "$(client_cmds "far 'e' 127\.0\.0\.1:$CP" | paste -sd'|')"

# Refused remote ports: only that client fails, with the far side's reason.
curl -s -m 10 "http://127.0.0.1:$L3/" >/dev/null
curl -s -m 10 "http://127.0.0.1:$L4/" >/dev/null
expect_eq "refused remote port: C_PORT reasons" 2 "$(grep -c '^Vesk C_PORT: .' "$T/link.err")"
check "refused remote port: serving goes on" alive link
expect_eq "good pair after a refusal" "small page" "$(curl -sf -m 10 "http://127.0.0.1:$L1/small.txt")"

# Half-close passes through: the far cat sees the end and the echo completes.
socat -t 60 -T 120 - "TCP:127.0.0.1:$L5" <"$T/www/big.bin" >"$T/echoed" 2>/dev/null
check "echo with half-close is byte for byte" cmp -s "$T/www/big.bin" "$T/echoed"

# An IPv6 far host, where the machine has ::1.
if python3 -c 'import socket; socket.socket(socket.AF_INET6).bind(("::1", 0))' 2>/dev/null; then
    read -r ECHO6 L7 <<<"$(free_ports 2)"
    socat "TCP6-LISTEN:$ECHO6,bind=[::1],reuseaddr,fork" EXEC:cat 2>/dev/null &
    track $!
    wait_for "the IPv6 echo server" 10 bash -c "ss -Hltn 'sport = :$ECHO6' | grep -q ."
    bg six "$L7" "[::1]:$ECHO6"
    check "portlink listens for [::1]" wait_for "port $L7" 10 listening "$L7"
    expect_eq "a connection reaches an IPv6 far host" "over six" \
        "$(echo "over six" | socat -t 10 -T 20 - "TCP:127.0.0.1:$L7" 2>/dev/null)"
    stop six
fi

# Many connections open at the same time through the one portlink.
expect_eq "1000 simultaneous forwarded connections" 1000 \
    "$(timeout 200 python3 "$T/flood.py" flood "$L6" 1000 2>&1 | tail -n1)"
check "portlink still serving after the flood" alive link
expect_eq "no failures during the flood" 2 "$(grep -c '^Vesk' "$T/link.err")"
stop link

finish
