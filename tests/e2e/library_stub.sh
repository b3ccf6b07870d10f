#!/usr/bin/env bash
# The client library on the wire, against a scripted stand-in server: request
# framing, the handshake and its repeat, the version rules, the local answer
# of 'c', share-mode fallback, early close and the long-reply limit.  Every
# request the library sends is compared byte for byte.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

SOCK=$NEAR/.vesk/socket
mkdir -p "$NEAR/.vesk"
chmod 700 "$NEAR/.vesk"
HELLO='reply xxdVERSION 20305 7f000002 peer 501'
N=0

# run_stub SOCKET SCRIPT-LINES... -- PROBE-ARGS...: starts the stand-in with
# the script, runs vesk_probe against it, and leaves its output in $OUT and
# the requests it received in $LOG.
run_stub() {
    local sock=$1
    shift
    N=$((N + 1))
    local script=$T/script$N
    LOG=$T/log$N
    : >"$script"
    while [ "$1" != "--" ]; do printf '%s\n' "$1" >>"$script"; shift; done
    shift
    : >"$LOG"
    # A socket left by the previous stand-in would pass the wait below
    # before the new one listens.
    rm -f "$sock"
    "$VESK_BIN/stub_server" "$sock" "$script" "$LOG" &
    local pid=$!
    track "$pid"
    wait_for "the stand-in socket" 5 test -S "$sock" || return 1
    OUT=$(near "$VESK_BIN/vesk_probe" "$@")
    # The stub ends once the script is used up and the probe has gone.
    wait_for "the stand-in to exit" 5 bash -c "! kill -0 $pid"
    # Reaped before the next one starts: its exit removes the socket path,
    # which must not happen once the next one has bound it.
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

# expect_log DESCRIPTION PRINTF-FORMAT: the requests, byte for byte.
expect_log() { expect_bytes "$1" "$2" "$LOG"; }

# Framing, handshake parse, header bytes ignored, newlines kept in the text.
run_stub "$SOCK" "$HELLO" 'reply ABdsize 5' 'none' -- '>' D '\n5\nname' '?' l 509
expect_eq "reply text after the header" $'1 size 5\n1 no result forthcoming' "$OUT"
expect_log "handshake, then requests framed" '@?F-10\0@>D\n5\nname\0@?l509\0'

# A failed first query: 'F' -1 to the far side, the query once more, then the
# 10800 default, under which the newer codes are refused or translated.
run_stub "$SOCK" 'reply xxnno' 'reply xxd' 'reply xxnstill no' 'reply xxdB ok' \
    'reply xxdH ok' 'reply xx8' -- '>' T '1 2' '>' d 5 '>' h 1 '>' X /tmp/.X11-unix/X0
expect_eq "10800: T refused, d as B, h as H, X as 8" \
    $'-1 Unsupported vesk option\n1 B ok\n1 H ok\n-1 ' "$OUT"
expect_log "query repeated once after a failure" \
    '@?F-10\0@>F-1\0@?F-10\0@>B5\0@>H1\0@>8/tmp/.X11-unix/X0\0'

# The repeat succeeds: its answer is used, and the 'c' rule then sees 20305.
run_stub "$SOCK" 'reply xxnnot yet' 'reply xxd' "$HELLO" 'reply xxd7f000003 other' \
    -- '>' c remotehost '>' c '' '>' c peer '>' c other
expect_eq "'c' about the far host answered locally at 20305" \
    $'0 7f000002 peer\n0 7f000002 peer\n0 7f000002 peer\n1 7f000003 other' "$OUT"
expect_log "only 'c' about another host goes out" '@?F-10\0@>F-1\0@?F-10\0@>cother\0'

# Between 11714 and 20053 the far server answers 'c' about itself.
run_stub "$SOCK" 'reply xxdVERSION 20053 7f000002 peer 501' 'reply xxd7f000002 peer' \
    -- '>' c remotehost '>' f '' '>' 7 '0\nx' '>' e 1.2.3.4:5
expect_eq "20053: 'c' sent, f dropped, 7 and e refused" \
    $'1 7f000002 peer\n0 Unsupported vesk option\n-1 Unsupported vesk option\n-1 Unsupported vesk option' \
    "$OUT"
expect_log "20053 requests" '@?F-10\0@>cremotehost\0'

# Early close: no reply at all, a reply cut short, and an empty reply.
run_stub "$SOCK" "$HELLO" 'close' -- '>' D x
expect_eq "closed without a reply" "-1 no result forthcoming" "$OUT"
run_stub "$SOCK" "$HELLO" 'cut xxnpart' -- '>' D x
expect_eq "cut reply shows the rest of the pre-set text" "-1 partesult forthcoming" "$OUT"
run_stub "$SOCK" "$HELLO" 'raw \0' 'reply xxdafter' -- '>' D x '>' D y
expect_eq "an empty reply is a failure; the next reply is in step" \
    $'-1 no result forthcoming\n1 after' "$OUT"

# The long-reply limit: 1023 bytes kept, the rest consumed up to its NUL.
run_stub "$SOCK" "$HELLO" 'long 3000' 'reply xxdnext' -- '>' D x '>' D y
first=$(printf '%s\n' "$OUT" | head -n1)
expect_eq "long reply cut to the buffer" "$((2 + 1020))" "${#first}"
expect_eq "the reply after a long one" "1 next" "$(printf '%s\n' "$OUT" | tail -n1)"

# Share-mode fallback: undecided tries group mode, user mode, then private.
run_stub "$SOCK" "$HELLO" 'reply xxdprivate' -- -S -1 '>' D x
expect_eq "undecided falls back to the private socket" "1 private" "$OUT"
mkdir -p "$NEAR/tmp/private7"
run_stub "$NEAR/tmp/private7/socket" "$HELLO" 'reply xxdshared' -- -S -1 -t 7 '>' D x
expect_eq "undecided finds the shared socket first" "1 shared" "$OUT"

# Nothing listening: the message names the socket path.
OUT=$(near "$VESK_BIN/vesk_probe" -t 9 '>' D x)
expect_eq "connect failure text" "connect Failed to connect to vesk socket '$NEAR/.vesk/socket9'" "$OUT"

finish
