#!/usr/bin/env bash
# regquery end to end: queries go through a veskd pair to a whois responder on
# 127.0.0.1 that this script runs; the answers come back converted.  A shim
# points the "whois" service at the responder's port.
source "$(dirname "$0")/lib.sh"
PORT_SHIM=$(shim whoisport) || exit 1

# The responder reads one query up to CR LF, logs it in hex, one line per
# connection, and sends the canned answer for it (or echoes it back).
cat >"$T/whois.py" <<'PY'
import socket, socketserver, sys
port_file, log = sys.argv[1], sys.argv[2]
ANSWERS = {
    b"crlf": b"line one\r\nline two\r\n",
    b"lonecr": b"one\rtwo\n",
    b"crcrlf": b"one\r\r\ntwo\n",
    b"trailcr": b"end\r",
    b"eighth": bytes([0xC1, 0xE2, 0xE3, 0x8D, 0x8A]) + b"x\n",
    b"ctrl": b"\x01\x00\x1b\x7f|\t|\x0c|\x0b|\n",
    b"empty": b"",
    b"big": b"".join(b"%06d abcdefghijklmnopqrstuvwxyz\n" % i for i in range(20000)),
}
class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        data = b""
        while not data.endswith(b"\r\n") and len(data) < 65536:
            chunk = self.request.recv(4096)
            if not chunk:
                break
            data += chunk
        with open(log, "a") as f:
            f.write(data.hex() + "\n")
        query = data[:-2] if data.endswith(b"\r\n") else data
        self.request.sendall(ANSWERS.get(query, b"query was [" + query + b"]\r\n"))
class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True
srv = Server(("127.0.0.1", 0), Handler)
with open(port_file + ".tmp", "w") as f:
    f.write(str(srv.server_address[1]))
import os
os.rename(port_file + ".tmp", port_file)
srv.serve_forever()
PY
python3 "$T/whois.py" "$T/whois.port" "$T/whois.log" 2>>"$T/whois.err" &
track $!
wait_for "the whois responder" 10 test -s "$T/whois.port" || exit 1
WHOIS_PORT=$(cat "$T/whois.port")

# query ARGS...: runs regquery as a near user; leaves $rc, $T/out, $T/err.
# With FAR_NAMES set (even empty) the far resolver knows only those names.
query() {
    local names=()
    if [ -n "${FAR_NAMES+set}" ]; then names=(VESK_FAR_NAMES="$FAR_NAMES"); fi
    HOME=$NEAR VESK_WHOIS_PORT=${WHOIS_PORT_FOR:-$WHOIS_PORT} LD_PRELOAD="$PORT_SHIM" \
        timeout "${VESK_TIMEOUT:-60}" env "${names[@]}" regquery "$@" >"$T/out" 2>"$T/err"
    rc=$?
}
hex() { printf '%s\r\n' "$1" | od -An -tx1 | tr -d ' \n'; }
# expect_out DESCRIPTION PRINTF-FORMAT: standard output byte for byte.
expect_out() { expect_bytes "$1" "$2" "$T/out"; }
last_query() { tail -n1 "$T/whois.log"; }

# Argument count.
query
expect_eq "no argument: status" 1 "$rc"
expect_eq "no argument: usage" "usage: regquery user[@<whois.server>]" "$(cat "$T/out")"
query a@127.0.0.1 b
expect_eq "two arguments: status" 1 "$rc"
expect_eq "two arguments: usage" "usage: regquery user[@<whois.server>]" "$(cat "$T/out")"

# Without a link server the tunnelled socket cannot be made.
query x@127.0.0.1
expect_eq "no link server: status" 1 "$rc"
check "no link server: message" grep -q "^regquery: socket: Failed to connect to vesk socket '.*/.vesk/socket'\$" "$T/err"
expect_eq "no link server: no bracket line" "" "$(cat "$T/out")"

if [ ! -x "$VESK_BIN/veskd" ]; then
    echo "veskd is not built: the checks through the link are skipped"
    finish
fi
start_pair

# The line ends and the conversion of the answer.
query crlf@127.0.0.1
expect_eq "crlf: status" 0 "$rc"
expect_eq "crlf: query on the wire" "$(printf 'crlf\r\n' | od -An -tx1 | tr -d ' \n')" "$(last_query)"
NAME=$(head -n1 "$T/out")
expect_eq "bracket line names the server" "[127.0.0.1]" "$NAME"
expect_out "CR LF becomes LF" "$NAME\nline one\nline two\n"
query lonecr@127.0.0.1
expect_out "a lone CR becomes LF" "$NAME\none\ntwo\n"
query crcrlf@127.0.0.1
expect_out "CR CR LF becomes two LFs" "$NAME\none\n\ntwo\n"
query trailcr@127.0.0.1
expect_out "a final lone CR ends in two LFs" "$NAME\nend\n\n"
query eighth@127.0.0.1
expect_out "the eighth bit is dropped" "$NAME\nAbc\nx\n"
query ctrl@127.0.0.1
expect_out "control characters made printable" "$NAME\nA@[\177|\t|\f|\v|\n"
query empty@127.0.0.1
expect_eq "empty answer: status" 0 "$rc"
expect_out "empty answer: one LF" "$NAME\n\n"
query big@127.0.0.1
python3 -c 'import sys; sys.stdout.buffer.write(b"".join(b"%06d abcdefghijklmnopqrstuvwxyz\n" % i for i in range(20000)))' \
    >"$T/big"
check "a long answer arrives whole" cmp -s <(tail -n +2 "$T/out") "$T/big"

# Splitting the argument.
query a@b@127.0.0.1
expect_eq "two @: the query keeps the first" "$(printf 'a@b\r\n' | od -An -tx1 | tr -d ' \n')" \
    "$(last_query)"
expect_out "two @: answer" "$NAME\nquery was [a@b]\n"
query @127.0.0.1
expect_eq "leading @: an empty line" "0d0a" "$(last_query)"
expect_out "leading @: answer" "$NAME\nquery was []\n"

# A name that the far machine resolves (from its hosts file: no DNS traffic).
query named@localhost
expect_eq "far name: status" 0 "$rc"
expect_out "far name: official name and answer" "[localhost]\nquery was [named]\n"

# A short dotted address is a name of its own: shown as typed.
query short@127.1
expect_eq "short dotted address: status" 0 "$rc"
expect_out "short dotted address: shown as typed" "[127.1]\nquery was [short]\n"

# An argument without '@' asks the default server, here pointed at 127.0.0.1.
FAR_NAMES=whois.iana.org=127.0.0.1 query example.org
expect_eq "no @: status" 0 "$rc"
expect_eq "no @: the whole argument is the query" "$(hex example.org)" "$(last_query)"
expect_out "no @: the default server" "[whois.iana.org]\nquery was [example.org]\n"

# Dotted addresses that the name lookup does not know are used directly.
FAR_NAMES= query plain@127.0.0.1
expect_eq "unknown to the lookup, dotted: status" 0 "$rc"
expect_out "unknown to the lookup, dotted: as typed" "[127.0.0.1]\nquery was [plain]\n"
FAR_NAMES= query short@127.1
expect_out "unknown to the lookup, short dotted: as typed" "[127.1]\nquery was [short]\n"
FAR_NAMES= query x@localhost
expect_eq "unknown to the lookup, a name: status" 1 "$rc"
expect_eq "unknown to the lookup, a name: message" "regquery: unknown host: localhost" \
    "$(cat "$T/err")"
expect_eq "unknown to the lookup, a name: no bracket line" "" "$(cat "$T/out")"

# Failures: status 1 and the message.
query x@no..such..host
expect_eq "unknown host: status" 1 "$rc"
expect_eq "unknown host: message" "regquery: unknown host: no..such..host" "$(cat "$T/err")"
WHOIS_PORT_FOR=none query x@127.0.0.1
expect_eq "no whois service: status" 1 "$rc"
expect_eq "no whois service: message" "regquery: tcp/whois: unknown service" "$(cat "$T/err")"
WHOIS_PORT_FOR=$(free_port) query x@127.0.0.1
expect_eq "connect refused: status" 1 "$rc"
expect_eq "connect refused: bracket line first" "[127.0.0.1]" "$(cat "$T/out")"
check "connect refused: message" grep -q '^regquery: connect: .' "$T/err"
HOME=$NEAR VESK_WHOIS_PORT=$WHOIS_PORT LD_PRELOAD="$PORT_SHIM" timeout 60 \
    regquery x@127.0.0.1 >/dev/full 2>"$T/err"
expect_eq "an answer that cannot be written is a failure" 1 "$?"
check "with the reason" grep -q '^regquery: standard output: No space' "$T/err"

finish
