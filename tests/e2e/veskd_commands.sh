#!/usr/bin/env bash
# veskd end to end: the commands of the command channel through a real pair,
# driven through the library by vesk_probe (what a channel does with them,
# against a far end played frame by frame: tests/unit/channels_test.cpp).
source "$(dirname "$0")/lib.sh"
probe() { near vesk_probe "$@"; }

start_pair

# The far clock.
out=$(probe '>' F -9)
check "F -9 gives the far clock" grep -Eq '^1 [0-9]+ [0-9]+$' <<<"$out"

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
printf 'hello, far end' >"$T/src"

# Reading a file: status reply, then the bytes from the offset.
head -c 300000 /dev/urandom >"$FAR/big"
near vesk_probe -s '>' 7 '1000\nbig' </dev/null >"$T/got"
tail -c +1001 "$FAR/big" >"$T/want"
check "7 streams the file from the offset" cmp "$T/want" "$T/got"
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
