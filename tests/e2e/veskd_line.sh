#!/usr/bin/env bash
# veskd over a line that damages bytes: an emulated serial line (bench_line)
# in the exec: link flips bits, drops and inserts bytes, with a fixed seed.
# Files both ways and a forwarded stream arrive identical; a login banner
# before the far veskd is skipped; an outage shorter than --alive costs
# nothing; a far end that sends unchecked frames is refused.  No timed
# checks: the waits are bounds.
source "$(dirname "$0")/lib.sh"
LINE=$VESK_BIN/bench_line
[ -x "$LINE" ] || { echo "bench_line is not built" >&2; exit 1; }

# line_pair LINE_OPTIONS [FAR_PREFIX]: a pair whose link crosses the line;
# FAR_PREFIX runs on the far side before veskd (a banner, say).
line_pair() {
    local far_cmd="cd '$FAR' && ${2:-} exec env HOME='$FAR' '$VESK_BIN/veskd' --alive 10 --link stdio 2>>'$T/far.log'"
    HOME=$NEAR veskd -v --alive 10 --link "exec:exec '$LINE' $1 -- sh -c \"$far_cmd\"" 2>>"$T/near.log" &
    VESKD_PID=$!
    wait_for "the near socket over the line" 30 test -S "$NEAR/.vesk/socket"
}

# 1e-5 each way with dropped and inserted bytes, at 2 Mbit/s; a banner first.
line_pair "--rate 2000000 --ber 1e-5 --drop 1e-6 --insert 1e-6 --seed 7" \
    "printf 'CONNECT 115200\\r\\nlogin: ';"
check "the link comes up behind a banner" test -S "$NEAR/.vesk/socket"
head -c 600000 /dev/urandom >"$W/up.bin"
head -c 600000 /dev/urandom >"$FAR/down.bin"
up up.bin
expect_eq "upload over the noisy line: status" 0 "$RC"
check "upload over the noisy line: identical" cmp "$W/up.bin" "$FAR/up.bin"
down down.bin
expect_eq "download over the noisy line: status" 0 "$RC"
check "download over the noisy line: identical" cmp "$FAR/down.bin" "$W/down.bin"
peer blast-tcp "$T/blast.port" 1000000
near vesk_probe -s '>' A "$(cat "$T/blast.port")" </dev/null >"$T/blast.got"
expect_eq "a forwarded stream over the noisy line arrives whole" 1000000 "$(wc -c <"$T/blast.got")"
stop_pair
check "damage was seen, repaired and logged at the end" \
    grep -Eq 'link line: [1-9][0-9]* damaged.* [1-9][0-9]* of [0-9]+ packets resent' "$T/near.log"

# The line goes dead for 3 s (less than --alive) in the middle of an upload:
# the copy goes on afterwards and is identical.
: >"$T/near.log"
line_pair "--rate 2000000 --outage 2:3 --seed 3"
head -c 1500000 /dev/urandom >"$W/gap.bin"
up gap.bin
expect_eq "an upload across an outage: status" 0 "$RC"
check "an upload across an outage: identical" cmp "$W/gap.bin" "$FAR/gap.bin"
check "the link outlived the outage" bash -c "! grep -q 'link lost' '$T/near.log'"
stop_pair

# An end that sends unchecked frames is refused with the reason.
out=$(HOME=$NEAR timeout 20 veskd --link "exec:cd '$FAR' && exec env HOME='$FAR' '$VESK_BIN/veskd' --trust-line --link stdio 2>/dev/null" 2>&1)
check "unchecked frames are refused by name" grep -q 'sends unchecked frames' <<<"$out"
finish
