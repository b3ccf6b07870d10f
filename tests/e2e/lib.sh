# Shared helpers for the end-to-end scripts; source it first.
#
# A pair is two veskd processes joined by an exec: link on this machine:
#   $NEAR  home of the near end (clients run with HOME=$NEAR)
#   $FAR   home and working directory of the far end
# Every wait is bounded; a test never hangs.

set -u
: "${VESK_BIN:?VESK_BIN must name the bin directory of the build}"
: "${VESK_SRC:=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
: "${VESK_LIB:=$VESK_BIN/../lib}"
export PATH="$VESK_BIN:$PATH"

T=$(mktemp -d "${TMPDIR:-/tmp}/vesk-e2e.XXXXXX")
NEAR=$T/near
FAR=$T/far
mkdir -p "$NEAR" "$FAR"
chmod 700 "$NEAR" "$FAR"
VESKD_PID=
FAR_PID=
FAILS=0
CHECKS=0
declare -a CLEANUP_PIDS=()

cleanup() {
    local p
    for p in "${CLEANUP_PIDS[@]}" $VESKD_PID; do
        kill "$p" 2>/dev/null
    done
    sleep 0.1
    for p in "${CLEANUP_PIDS[@]}" $VESKD_PID; do
        kill -9 "$p" 2>/dev/null
    done
    # The far veskd is the near one's child; make sure it is gone too.
    if [ -n "$FAR_PID" ]; then kill -9 "$FAR_PID" 2>/dev/null; fi
    if [ "${KEEP_TMP:-0}" = 1 ]; then echo "kept $T"; else rm -rf "$T"; fi
}
trap cleanup EXIT

# Remember a background process so that cleanup ends it.
track() { CLEANUP_PIDS+=("$1"); }

# wait_for DESCRIPTION SECONDS COMMAND...: polls COMMAND every 50 ms.
wait_for() {
    local what=$1 secs=$2
    shift 2
    local n=$((secs * 20))
    while [ $n -gt 0 ]; do
        if "$@" 2>/dev/null; then return 0; fi
        sleep 0.05
        n=$((n - 1))
    done
    echo "timed out after ${secs}s waiting for $what" >&2
    return 1
}

# peer KIND FILE [ARG...]: starts a tests/e2e/peers.py server of KIND, which
# writes its port to FILE (or listens on the Unix socket FILE), and waits
# until it is there.
peer() {
    local kind=$1 file=$2
    shift 2
    python3 "$VESK_SRC/tests/e2e/peers.py" "$kind" "$file" "$@" &
    track $!
    wait_for "the $kind peer" 10 test -s "$file" -o -S "$file"
}

# start_pair [near veskd options...] [-- far veskd options...]
# Starts the pair and waits until the near socket exists (veskd creates it only
# once the link is up); PAIR_SOCKET names it when the options move it.  Logs go to $T/near.log and $T/far.log.
start_pair() {
    local near_opts=() far_opts=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do near_opts+=("$1"); shift; done
    [ "${1:-}" = "--" ] && shift
    far_opts=("$@")
    local far_cmd="cd '$FAR' && exec env HOME='$FAR' '$VESK_BIN/veskd' ${far_opts[*]} --link stdio 2>>'$T/far.log'"
    HOME=$NEAR "$VESK_BIN/veskd" "${near_opts[@]}" --link "exec:$far_cmd" 2>>"$T/near.log" &
    VESKD_PID=$!
    wait_for "the near socket" 10 test -S "${PAIR_SOCKET:-$NEAR/.vesk/socket}" || {
        echo "--- near.log"; cat "$T/near.log"; echo "--- far.log"; cat "$T/far.log"
        exit 1
    }
    FAR_PID=$(far_pid)
}

# Pid of the far veskd: the exec: link's shell execs it, so it is the near
# veskd's child.
far_pid() { pgrep -P "$VESKD_PID" -x veskd | head -n1; }

stop_pair() {
    [ -n "$VESKD_PID" ] || return 0
    kill "$VESKD_PID" 2>/dev/null
    wait_for "veskd to exit" 10 bash -c "! kill -0 $VESKD_PID"
    VESKD_PID=
}

# Run a client as a user of the near end, with a time limit.
near() { HOME=$NEAR timeout "${VESK_TIMEOUT:-60}" "$@"; }
# Run a client as a user of the far end (its own server is the far veskd).
far() { (cd "$FAR" && HOME=$FAR timeout "${VESK_TIMEOUT:-60}" "$@"); }

pass() { CHECKS=$((CHECKS + 1)); }
fail() {
    CHECKS=$((CHECKS + 1))
    FAILS=$((FAILS + 1))
    echo "FAIL: $*" >&2
}
# check DESCRIPTION COMMAND...: records a pass when COMMAND succeeds.
check() {
    local what=$1
    shift
    if "$@"; then pass; else fail "$what"; fi
}
# expect_eq DESCRIPTION EXPECTED ACTUAL
expect_eq() {
    if [ "$2" == "$3" ]; then
        pass
    else
        fail "$1"
        printf '  expected: %q\n  actual:   %q\n' "$2" "$3" >&2
    fi
}

# fails_with DESCRIPTION WHAT TEXT COMMAND...: COMMAND, run as a near user,
# exits 1 with exactly TEXT on standard error (checked as "DESCRIPTION: WHAT").
fails_with() {
    near "${@:4}" 2>"$T/err"
    expect_eq "$1: status" 1 $?
    expect_eq "$1: $2" "$3" "$(cat "$T/err")"
}

# A free TCP port on 127.0.0.1.
free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# ---- transfer clients ----
W=$T/work  # the near user's working directory for upload and download
mkdir -p "$W"
# up/down ARGS...: runs the client in $W; stderr in $ERR, status in $RC.
up() { ERR=$(cd "$W" && near upload "$@" 2>&1 >/dev/null); RC=$?; }
down() { ERR=$(cd "$W" && near download "$@" 2>&1 >/dev/null); RC=$?; }
mode_of() { stat -c %a "$1"; }

# ---- forwarders in the background, by name ----
declare -A PID_OF=()
# spawn NAME COMMAND...: COMMAND as a near user in the background, standard
# error in $T/NAME.err, its pid in PID_OF[NAME].
spawn() {
    local name=$1
    shift
    HOME=$NEAR "$@" 2>"$T/$name.err" &
    PID_OF[$name]=$!
    track $!
}
alive() { kill -0 "${PID_OF[$1]}" 2>/dev/null; }
stop() { kill "${PID_OF[$1]}" 2>/dev/null; wait "${PID_OF[$1]}" 2>/dev/null; }
# sig_bit FIELD NAME SIGNO: the signal is set in the SigIgn/SigCgt mask of NAME.
sig_bit() {
    local mask
    mask=$(awk -v f="$1:" '$1 == f { print $2 }' "/proc/${PID_OF[$2]}/status")
    (((0x$mask >> ($3 - 1)) & 1))
}
SIGPIPE_NO=13
# open_sockets NAME: how many sockets NAME holds.
open_sockets() { ls -l "/proc/${PID_OF[$1]}/fd" | grep -c ' socket:'; }
listening() { ss -Hltn "sport = :$1" | grep -q .; }
# client_id REGEX: the near veskd's number for the client connection that sent
# a command line matching REGEX (empty when none did).  Needs a pair with -vv.
client_id() {
    grep -m1 -E "^veskd: client [0-9]+: $1\$" "$T/near.log" | sed -E 's/^veskd: client ([0-9]+):.*/\1/'
}
# client_cmds REGEX: the commands, in the order the near veskd read them, of
# that client connection (the handshake's 'F' -10 left out).
client_cmds() {
    local id
    id=$(client_id "$1")
    [ -n "$id" ] || return 0
    grep -E "^veskd: client $id: (local|far) " "$T/near.log" | sed -E "s/^veskd: client $id: //" |
        grep -v "^local 'F' -10\$"
}
# free_ports N [udp]: N distinct free TCP (or UDP) ports on 127.0.0.1, on one line.
free_ports() {
    python3 - "$1" "${2:-tcp}" <<'PY'
import socket, sys
kind = socket.SOCK_DGRAM if sys.argv[2] == "udp" else socket.SOCK_STREAM
socks = []
for _ in range(int(sys.argv[1])):
    s = socket.socket(socket.AF_INET, kind); s.bind(("127.0.0.1", 0)); socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
PY
}

# shim NAME: the path of the built LD_PRELOAD shim libNAME.so, or a complaint
# and failure when it is missing.
shim() {
    [ -f "$VESK_LIB/lib$1.so" ] || { echo "the shim $VESK_LIB/lib$1.so is not built" >&2; return 1; }
    echo "$VESK_LIB/lib$1.so"
}

# expect_bytes DESCRIPTION PRINTF-FORMAT FILE: FILE holds exactly what the
# format prints.
expect_bytes() {
    printf "$2" >"$T/want"
    if cmp -s "$T/want" "$3"; then
        pass
    else
        fail "$1"
        echo "  expected: $(od -An -c "$T/want" | tr -s ' ')" >&2
        echo "  actual:   $(od -An -c "$3" | tr -s ' ')" >&2
    fi
}

# Call at the end of every script.
finish() {
    # A state machine in veskd refused a move: a fault in veskd itself,
    # whatever the script's own checks saw.
    if grep -rs --include='*.log' --include='*err' "illegal move from" "$T"; then
        fail "veskd asked for an illegal state move"
    fi
    echo "$CHECKS checks, $FAILS failed"
    if [ $FAILS -ne 0 ]; then
        echo "--- near.log"; tail -n 40 "$T/near.log" 2>/dev/null
        echo "--- far.log"; tail -n 40 "$T/far.log" 2>/dev/null
        exit 1
    fi
    exit 0
}
