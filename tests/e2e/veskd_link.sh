#!/usr/bin/env bash
# veskd end to end: the link's life and fairness — a client that never
# reads, compression, small frames, a lost far end, the socket directory's
# checks, and the key check of TCP links.
source "$(dirname "$0")/lib.sh"
probe() { near vesk_probe "$@"; }

start_pair

# A client that never reads its stream: a far server blasts 64 MiB at it.
# Others must keep flowing meanwhile.
peer blast-tcp "$T/blast.port" 67108864
peer echo-tcp "$T/echo.port"
mkfifo "$T/never"
HOME=$NEAR timeout 60 vesk_probe -s '>' A "$(cat "$T/blast.port")" <"$T/never" >"$T/never.out" &
stuck=$!
track $stuck
exec 7>"$T/never"  # keep its input open so it does not end
sleep 0.5
kill -STOP $stuck 2>/dev/null
pkill -STOP -P $stuck 2>/dev/null
head -c 4000000 /dev/urandom >"$T/blob"
near vesk_probe -s '>' A "$(cat "$T/echo.port")" <"$T/blob" >"$T/echoed"
check "a stream flows while another client never reads" cmp "$T/blob" "$T/echoed"
check "commands are answered meanwhile" grep -q '^1 ' <<<"$(probe '>' F -9)"
pkill -CONT -P $stuck 2>/dev/null
kill -CONT $stuck 2>/dev/null
kill $stuck 2>/dev/null
exec 7>&-

# Compression on both sides changes nothing a client sees.
yes 'compressible line of text' | head -c 3000000 >"$T/text"
near vesk_probe -s '?' C 1 '>' C 1 '>' A "$(cat "$T/echo.port")" <"$T/text" >"$T/text.out"
check "a compressed stream arrives intact" cmp "$T/text" "$T/text.out"
check "priority is taken" grep -q '^1 ' <<<"$(probe '?' d 10 '>' d -5 '>' F -9)"
stop_pair

# Small frames, as for a slow serial line: the same bytes arrive.
start_pair --frame 512 -- --frame 512
near vesk_probe -s '?' C 1 '>' C 1 '>' A "$(cat "$T/echo.port")" <"$T/blob" >"$T/small.out"
check "a stream in 512-byte frames arrives intact" cmp "$T/blob" "$T/small.out"
stop_pair

# A lost far end: the near end exits 1.
start_pair
kill -9 "$(far_pid)"
wait_for "the near veskd to exit" 10 bash -c "! kill -0 $VESKD_PID"
wait $VESKD_PID
expect_eq "a lost link is an error" 1 $?
VESKD_PID=
check "the near socket is removed" test ! -e "$NEAR/.vesk/socket"
check "the message says the link was lost" grep -q "link lost" "$T/near.log"

# The socket directory: one veskd per socket, and no open directories.
start_pair
HOME=$NEAR timeout 10 veskd --link stdio </dev/null >/dev/null 2>"$T/second.err"
expect_eq "a second veskd on a live socket exits 1" 1 $?
check "it says already running" grep -q "already running" "$T/second.err"
stop_pair
mkdir -p "$T/lone" && chmod 700 "$T/lone"
HOME=$T/lone timeout 10 veskd --link stdio </dev/null >/dev/null 2>"$T/lone.err"
expect_eq "a link that cannot be watched is an error, not a hang" 1 $?
check "with a reason" grep -q "cannot be a file" "$T/lone.err"
mkdir -p "$T/open/.vesk" && chmod 770 "$T/open/.vesk"
HOME=$T/open timeout 10 veskd --link stdio </dev/null >/dev/null 2>"$T/open.err"
expect_eq "a group-writable directory is refused" 1 $?
check "with a reason" grep -q "writable by group or others" "$T/open.err"

# TCP links need the same key at both ends.
head -c 32 /dev/urandom >"$T/key" && chmod 600 "$T/key"
head -c 32 /dev/urandom >"$T/other" && chmod 600 "$T/other"
mkdir -p "$T/a" "$T/b" && chmod 700 "$T/a" "$T/b"
port=$(free_port)
HOME=$T/a timeout 20 veskd --key "$T/key" --link "tcp-listen:127.0.0.1:$port" 2>"$T/a.log" &
a=$!
track $a
HOME=$T/b timeout 20 veskd --key "$T/other" --link "tcp:127.0.0.1:$port" 2>"$T/b.log"
expect_eq "the connecting end of a refused key exits 1" 1 $?
check "a refused key is reported" grep -qi "key" "$T/b.log"
check "no link is up after a refused key" grep -q '^state: waiting' <<<"$(HOME=$T/a timeout 10 veskd --status)"
check "the listening end listens on" kill -0 $a
kill $a
wait $a
expect_eq "and stops cleanly" 0 $?
port=$(free_port)
HOME=$T/a timeout 20 veskd --key "$T/key" --link "tcp-listen:127.0.0.1:$port" 2>"$T/a.log" &
a=$!
track $a
HOME=$T/b timeout 20 veskd --key "$T/key" --link "tcp:127.0.0.1:$port" 2>"$T/b.log" &
b=$!
track $b
wait_for "the TCP pair" 10 test -S "$T/b/.vesk/socket"
check "a TCP link with the same key serves" \
    grep -q '^1 [0-9]* [0-9]*$' <<<"$(HOME=$T/b timeout 10 vesk_probe '>' F -9)"
kill $a
wait $a
expect_eq "SIGTERM ends cleanly" 0 $?
wait $b
expect_eq "the far end of a clean close exits 0" 0 $?

# IPv6: a link over ::1 carries an upload (where the machine has ::1).
if python3 -c 'import socket; socket.socket(socket.AF_INET6).bind(("::1", 0))' 2>/dev/null; then
    port=$(free_port)
    (cd "$T/a" && HOME=$T/a exec timeout 30 veskd -v --key "$T/key" --link "tcp-listen:[::]:$port") \
        2>"$T/a.log" &
    a=$!
    track $a
    wait_for "the IPv6 listener" 10 listening "$port"
    HOME=$T/b timeout 30 veskd --key "$T/key" --link "tcp:[::1]:$port" 2>"$T/b.log" &
    b=$!
    track $b
    wait_for "the IPv6 pair" 10 test -S "$T/b/.vesk/socket"
    head -c 300000 /dev/urandom >"$T/b/six.bin"
    (cd "$T/b" && HOME=$T/b timeout 20 upload six.bin) >/dev/null 2>&1
    check "a tcp:[::1] link carries an upload" cmp "$T/b/six.bin" "$T/a/six.bin"
    check "the listener names the IPv6 peer" grep -q "link connection from \[::1\]:" "$T/a.log"
    check "the status names the far end's IPv6 address and port" \
        grep -q "^far end: .* (\[::1\]:$port)," <<<"$(HOME=$T/b timeout 10 veskd --status)"
    kill $b
    wait $b
    kill $a
    wait $a
else
    echo "SKIP: no ::1 on this machine"
fi

# Two instances of the user unit side by side, without systemd: each runs its
# ExecStart line with the instance put in, and an ssh that runs the far
# command here, in the far user's home.
mkdir -p "$T/unit/bin" "$T/unit/near" "$T/unit/far" && chmod 700 "$T/unit/near" "$T/unit/far"
cat >"$T/unit/bin/ssh" <<SH
#!/usr/bin/env bash
while [ "\${1:0:1}" = - ]; do [ "\$1" = -o ] && shift; shift; done
shift  # the host
cd "$T/unit/far" && HOME="$T/unit/far" exec sh -c "\$*"
SH
chmod +x "$T/unit/bin/ssh"
exec_start() { # exec_start INSTANCE: the unit's command line for INSTANCE
    sed -n 's/^ExecStart=//p' "$VESK_SRC/dist/veskd@.service.in" |
        sed -e "s|@VESK_BINDIR@|$VESK_BIN|" -e "s/%[iI]/$1/g" -e "s/\${VESKD_SUFFIX}/$1/g" \
            -e 's/ \$VESKD_OPTS$//'
}
for name in hosta hostb; do
    eval "set -- $(exec_start $name)"
    (cd "$T/unit/near" && HOME=$T/unit/near PATH="$T/unit/bin:$PATH" exec timeout 30 "$@") \
        2>"$T/unit/$name.log" &
    track $!
done
for name in hosta hostb; do
    wait_for "instance $name" 10 test -S "$T/unit/near/.vesk/socket$name"
    check "unit instance $name is up beside the other" grep -q '^state: up' \
        <<<"$(HOME=$T/unit/near timeout 10 veskd -t $name --status)"
    check "and its far end serves on the same suffix" test -S "$T/unit/far/.vesk/socket$name"
done
HOME=$T/unit/near timeout 10 veskd -t hosta --link stdio </dev/null 2>"$T/unit/third.log"
check "a third on a taken suffix gives the right hint" \
    grep -q "already running: .* (a second veskd here needs a -t suffix of its own)" \
    "$T/unit/third.log"
finish
