#!/usr/bin/env bash
# veskd end to end: every command of the command channel through a real
# pair, driven through the library by vesk_probe.
source "$(dirname "$0")/lib.sh"
probe() { near vesk_probe "$@"; }

start_pair

# Handshake and statistics.
out=$(probe '?' F -10)
check "F -10 reports version, address, host and uid" \
    grep -Eq "^1 VERSION 20305 7f000001 [^ ]+ $(id -u)$" <<<"$out"
out=$(probe '>' F -9)
check "F -9 gives the far clock" grep -Eq '^1 [0-9]+ [0-9]+$' <<<"$out"
out=$(probe '?' F -6)
check "F -6 gives a connection number" grep -Eq '^1 [0-9]+$' <<<"$out"
out=$(probe '>' F '' '>' F -1)
expect_eq "empty and -1 F answer" 2 "$(grep -c '^1 ' <<<"$out")"

# File status, relative to the far end's working directory.
printf '123456789' >"$FAR/nine"
chmod 640 "$FAR/nine"
touch -d '-100 seconds' "$FAR/nine"
out=$(probe '>' D nine)
read -r rc size type _ _ mtime mode crc <<<"$out"
expect_eq "D size" "1 9 0" "$rc $size $type"
expect_eq "D mode and checksum" "640 10673" "$mode $crc"
check "D mtime is relative (about -100)" test "$mtime" -le -99 -a "$mtime" -ge -110
out=$(probe '>' D '\n4\nnine')
expect_eq "long D checksums the first N bytes" \
    "$(printf '1234' >"$T/four" && echo "x")" "x"
check "long D answers" grep -q '^1 9 0 ' <<<"$out"
mkdir "$FAR/dir"
check "D of a directory gives type 1" grep -q '^1 [0-9]* 1 ' <<<"$(probe '>' D dir)"
check "D of a missing file fails with a reason" \
    grep -q '^-1 .*No such file' <<<"$(probe '>' D missing)"

# Writing a file: open at 0 with mode 0400, a dump, flush, final mode.
printf 'hello, far end' >"$T/src"
near python3 - "$NEAR" <<'PY'
import os, socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1] + "/.vesk/socket")
def req(d, c, a=b"", reply=True):
    s.sendall(b"@" + d + c + a + b"\0")
    if not reply:
        return b""
    r = b""
    while not r.endswith(b"\0"):
        r += s.recv(1)
    return r
assert req(b">", b"6", b"0 400\nnew")[2:3] == b"d"
st = os.stat(os.path.join(os.path.dirname(sys.argv[1]), "far", "new"))
assert oct(st.st_mode & 0o777) == "0o400", oct(st.st_mode)
req(b"?", b"l", b"14", reply=False)
s.sendall(b"hello, far end")
req(b">", b"M", reply=False)
assert req(b">", b"F")[2:3] == b"d"
req(b">", b"O", b"644 -50 -60\nnew", reply=False)
r = req(b">", b"D", b"new")
assert r.split()[0].endswith(b"14"), r
print("ok")
PY
check "a file written through a dump is complete" cmp "$T/src" "$FAR/new"
expect_eq "final mode" 644 "$(stat -c %a "$FAR/new")"
check "open at an offset and seek" grep -q '^1 ' <<<"$(probe '>' 1 '5 400\nnew' '>' E 3)"
out=$(probe '?' L -5 '?' L 0)
expect_eq "a dump of no bytes or fewer starts nothing and says so" \
    $'-1 Bad count\n-1 Bad count' "$out"

# Reading a file: status reply, then the bytes from the offset.
head -c 300000 /dev/urandom >"$FAR/big"
near vesk_probe -s '>' 7 '1000\nbig' </dev/null >"$T/got"
tail -c +1001 "$FAR/big" >"$T/want"
check "7 streams the file from the offset" cmp "$T/want" "$T/got"
# A '7' that fails while a read is still being sent ends that read without an
# end of stream: the channel still answers afterwards.
head -c 16000000 /dev/urandom | tr '\0' '\1' >"$FAR/big1"
out=$(near python3 - "$NEAR" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1] + "/.vesk/socket")
s.settimeout(10)
def reply(chunk=65536):
    r = b""
    while not r.endswith(b"\0"):
        c = s.recv(chunk)
        if not c:
            return b"EOF"
        r += c
    return r
s.sendall(b"@>70\nbig1\0")
assert reply(1)[2:3] == b"d"  # no further: the data stays in flight
s.sendall(b"@>70\nmissing\0")
r = reply()  # the first read's data (no NUL in it), then the refusal
assert r != b"EOF"
s.sendall(b"@>F-9\0")
print(reply())
PY
)
check "a failed 7 during a read sends no end of stream" grep -q "^b'..d[0-9]" <<<"$out"
check "Z removes" grep -q '^1' <<<"$(probe '>' Z big)"
check "the file is gone" test ! -e "$FAR/big"
check "Z of a missing file fails" grep -q '^-1 ' <<<"$(probe '>' Z big)"

# Resolving and connecting on the far side.
check "c resolves localhost" grep -q '^1 7f000001 ' <<<"$(probe '>' c localhost)"
check "c of an unknown host fails" grep -q '^-1 ' <<<"$(probe '>' c no-such-host.invalid)"
peer echo-tcp "$T/echo.port"
port=$(cat "$T/echo.port")
head -c 2000000 /dev/urandom >"$T/blob"
near vesk_probe -s '>' A "$port" <"$T/blob" >"$T/echoed"
check "A then 5: a stream both ways with half-close" cmp "$T/blob" "$T/echoed"
near vesk_probe -s '>' A "localhost:$port" <"$T/src" >"$T/echoed2"
check "A with a host name" cmp "$T/src" "$T/echoed2"
out=$(probe '>' A "$(free_port)")
check "A to a closed port fails with the reason" grep -q '^-1 Connection refused' <<<"$out"
check "A with a bad port fails" grep -q '^-1 Bad port' <<<"$(probe '>' A 'x:0')"
check "A with an unknown service fails" grep -q '^-1 ' <<<"$(probe '>' A 'nosuchservice')"
peer echo-unix "$T/usock"
near vesk_probe -s '>' X "$T/usock" <"$T/src" >"$T/echoed3"
check "X then 5 reaches a Unix socket" cmp "$T/src" "$T/echoed3"
check "e and 9 take text without a reply" \
    grep -q '^1 ' <<<"$(probe '>' e '127.0.0.1:5555' '?' 9 'DISPLAY=:9' '?' F -6)"

# UDP both ways: the pair number comes from F -6 on another connection.
peer echo-udp "$T/udp.port"
uport=$(cat "$T/udp.port")
lport=$(free_port)
n=$(probe '?' F -6 | cut -d' ' -f2)
HOME=$NEAR timeout 60 vesk_probe -w 20 '>' V "$n 3" '?' V "$n 4" '?' T "$n $lport" '>' W "$n :127.0.0.1:$uport" \
    >"$T/udp.out" &
holder=$!
track $holder
wait_for "udp set-up" 10 bash -c "[ \$(grep -c '^1 ' '$T/udp.out') = 4 ]"
answer=$(python3 - "$lport" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(2)
for _ in range(5):
    s.sendto(b"ping", ("127.0.0.1", int(sys.argv[1])))
    try:
        print(s.recvfrom(100)[0].decode())
        break
    except socket.timeout:
        pass
PY
)
expect_eq "a datagram goes out and its answer comes back" "echo:ping" "$answer"
kill $holder 2>/dev/null
wait $holder 2>/dev/null
sleep 0.3
answer=$(python3 - "$lport" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(1)
s.sendto(b"ping", ("127.0.0.1", int(sys.argv[1])))
try:
    print(s.recvfrom(100)[0].decode())
except OSError:
    print("none")
PY
)
expect_eq "the pair ends with its main connection" none "$answer"
check "T of an unknown pair fails" grep -q '^-1 ' <<<"$(probe '?' T "999999 $lport")"

# Bad requests end that connection only.
out=$(probe '>' '~' x)
check "an unknown command fails with a reason" grep -q "^-1 Unknown command" <<<"$out"
near python3 - "$NEAR" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1] + "/.vesk/socket")
s.sendall(b"@>D" + b"x" * 5000)
s.settimeout(5)
data = b""
while True:
    d = s.recv(100)
    if not d:
        break
    data += d
assert b"too long" in data, data
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1] + "/.vesk/socket")
s.sendall(b"garbage\0")
s.settimeout(5)
while s.recv(100):
    pass
PY
check "over-long and garbage requests are refused" test $? -eq 0
# A client that sends many requests before reading any: every reply comes,
# in order; a code that has no reply gets none even when unknown ('5' far).
out=$(near python3 - "$NEAR" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1] + "/.vesk/socket")
n = 20000
s.sendall(b"@?F-6\0" * n + b"@>5\0" + b"@>F-9\0")
s.settimeout(10)
got = b""
while got.count(b"\0") < n + 1:
    d = s.recv(1 << 20)
    if not d:
        break
    got += d
replies = got.split(b"\0")[:-1]
print(len(replies), len(set(replies[:n])), replies[-1][:3].decode())
PY
)
expect_eq "pipelined requests are all answered, in order" "20001 1 @>d" "$out"
check "the daemon still serves" grep -q '^1 VERSION' <<<"$(probe '?' F -10)"

stop_pair
check "SIGTERM removes the socket" test ! -e "$NEAR/.vesk/socket"

# --root: the far end's file requests stay beneath a directory.
SERVED=$FAR/served
mkdir -p "$SERVED/sub"
printf 'inside' >"$SERVED/in"
printf 'outside' >"$FAR/out"
chmod 644 "$FAR/out"
ln -s in "$SERVED/same"
ln -s ../in "$SERVED/sub/back"
ln -s ../out "$SERVED/up"
ln -s "$FAR/out" "$SERVED/abs"
start_pair -- --root "$SERVED"
for name in in same sub/back sub/../in; do
    check "D $name inside the root" grep -q '^1 6 0 ' <<<"$(probe '>' D "$name")"
done
for name in ../out up abs sub/../../out; do
    check "D $name, which leads out, is refused" \
        grep -q '^-1 Outside the directory' <<<"$(probe '>' D "$name")"
done
check "D of an absolute name is refused" grep -q '^-1 Absolute names' <<<"$(probe '>' D "$FAR/out")"
check "7 through a link out is refused" grep -q '^-1 Outside' <<<"$(probe '>' 7 '0\nup')"
check "6 of ../made is refused" grep -q '^-1 Outside' <<<"$(probe '>' 6 '0 400\n../made')"
check "1 through a link out is refused" grep -q '^-1 Outside' <<<"$(probe '>' 1 '0 400\nup')"
check "nothing was made outside" test ! -e "$FAR/made"
probe '>' O '777 0 0\nup' '>' O '777 0 0\n../out' >/dev/null
expect_eq "O through a link out changes nothing" 644 "$(stat -c %a "$FAR/out")"
check "Z of a link removes the link" grep -q '^1' <<<"$(probe '>' Z up)"
check "... and not what it named" test -e "$FAR/out"
check "Z of ../out is refused" grep -q '^-1 Outside' <<<"$(probe '>' Z ../out)"
printf 'hello, root' >"$T/src2"
(cd "$T" && near upload src2 >/dev/null 2>&1)
check "an upload lands inside the root" cmp "$T/src2" "$SERVED/src2"
stop_pair
finish
