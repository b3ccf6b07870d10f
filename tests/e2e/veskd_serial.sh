#!/usr/bin/env bash
# veskd on serial devices: two ends on the two sides of a pty pair that socat
# joins.  An upload crosses; the lock keeps a second veskd off a device in
# use; either end killed and started again is greeted again on the same
# line by the other, which was never stopped; the device's settings and its
# lock are given back at exit.  No timed checks: the waits are bounds.
source "$(dirname "$0")/lib.sh"
command -v socat >/dev/null || { echo "socat is not installed" >&2; exit 1; }
SPEED=115200

socat -d -d pty,raw,echo=0,link="$T/A" pty,raw,echo=0,link="$T/B" 2>"$T/socat.log" &
track $!
wait_for "the pty pair" 10 test -e "$T/A" -a -e "$T/B" || exit 1
# socat ends when the last holder of a side lets go: a holder that never
# reads keeps the pair while an end is dead.  The exclusive use (TIOCEXCL)
# that a killed end leaves on a pty lasts as long as the pair does, where a
# real device loses it with its last user; on SIGUSR1 the holder ends it, so
# that a user other than root may open the device again.
python3 -c '
import fcntl, os, signal, sys, termios, time
fds = [os.open(p, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK) for p in sys.argv[2:]]
signal.signal(signal.SIGUSR1, lambda *_: [fcntl.ioctl(fd, termios.TIOCNXCL) for fd in fds])
open(sys.argv[1], "w").write(str(os.getpid()))
time.sleep(300)' "$T/holder.pid" "$T/A" "$T/B" &
track $!
wait_for "the holder" 10 test -s "$T/holder.pid" || exit 1
HOLDER=$(cat "$T/holder.pid")  # not $!: python3 may be a wrapper's child
track "$HOLDER"

# serial_end NAME DEVICE HOME: a veskd on DEVICE serving HOME (its working
# directory too), in the background; pid in PID_OF[NAME], log in $T/NAME.log.
serial_end() {
    (cd "$3" && HOME=$3 exec veskd -v --link "serial:$2:$SPEED" 2>>"$T/$1.log") &
    PID_OF[$1]=$!
    track $!
}
# wait_up NAME N: NAME's link came up the Nth time (its log counts every
# veskd started as NAME).
wait_up() { wait_for "$1's link up (time $2)" 60 bash -c "[ \$(grep -c 'link up: far end' '$T/$1.log') -ge $2 ]"; }
# upload_once FILE: a fresh file of random bytes uploaded and compared.
upload_once() {
    head -c 200000 /dev/urandom >"$W/$1"
    up "$1"
    expect_eq "$1: status ($ERR)" 0 "$RC"
    check "$1: identical" cmp "$W/$1" "$FAR/$1"
}
# lock_of DEVICE: its lock file, when this user can write lock files.
lock_of() {
    [ -w /run/lock ] || return 0
    local dev
    dev=$(readlink -f "$1")
    dev=${dev#/dev/}
    echo "/run/lock/LCK..${dev//\//_}"
}

serial_end a "$T/A" "$NEAR"
serial_end b "$T/B" "$FAR"
wait_up a 1 && wait_up b 1
check "the near socket is there" test -S "$NEAR/.vesk/socket"
upload_once first.bin
lock=$(lock_of "$T/A")
if [ -n "$lock" ]; then
    expect_eq "the lock names the end's pid" "$(printf '%10d' "${PID_OF[a]}")" "$(head -n1 "$lock")"
fi

# A second veskd on a device in use: refused, naming the holder.
mkdir -m 700 "$T/other"
HOME=$T/other timeout 20 veskd --link "serial:$T/A:$SPEED" 2>"$T/second.err"
expect_eq "a second veskd on the device: status" 1 $?
check "a second veskd on the device: why" \
    grep -Eq "is in use: process ${PID_OF[a]} holds its lock|holds it for itself" "$T/second.err"
kill -USR1 $HOLDER
wait_for "the device's speed to be readable" 10 bash -c "stty -F '$T/A' speed >/dev/null"
expect_eq "the device runs at the link's speed" "$SPEED" "$(stty -F "$T/A" speed)"

# The far end dies and comes back: the near one greets it on the same line.
kill -9 "${PID_OF[b]}"
wait_for "the far end to be gone" 10 bash -c "! kill -0 ${PID_OF[b]}"
kill -USR1 $HOLDER
serial_end b "$T/B" "$FAR"
wait_up a 2 && wait_up b 2
upload_once after-far.bin

# The near end dies; the device is set to another speed before it comes
# back, and is found so again after it ends.
kill -9 "${PID_OF[a]}"
wait_for "the near end to be gone" 10 bash -c "! kill -0 ${PID_OF[a]}"
kill -USR1 $HOLDER
stty -F "$T/A" 9600
before=$(stty -F "$T/A" -g)
serial_end a "$T/A" "$NEAR"
wait_up a 3 && wait_up b 3
upload_once after-near.bin
check "the far end kept its line and greeted again" grep -q 'greeting it on the same line' "$T/b.log"

stop a
expect_eq "the device's settings are put back at exit" "$before" "$(stty -F "$T/A" -g)"
[ -z "$lock" ] || check "the lock is removed at exit" test ! -e "$lock"
# A goodbye on a line is no end of the line: the far end waits for the next.
wait_for "the far end to hear the goodbye" 20 grep -q 'the far end closed the link; greeting' "$T/b.log"
check "the far end outlives a goodbye" kill -0 "${PID_OF[b]}"
lock=$(lock_of "$T/B")
stop b
[ -z "$lock" ] || check "the far end's lock is removed at exit" test ! -e "$lock"
finish
