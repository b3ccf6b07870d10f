#!/usr/bin/env bash
# upload and download against the scripted stand-in server: the exact
# messages of refusals, unreadable replies, cut streams, wrong checksums and
# local read errors, which a real pair does not produce on demand.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

W=$T/work
mkdir -p "$W" "$NEAR/.vesk"
chmod 700 "$NEAR/.vesk"
LOG=$T/stub.log
STUB_PID=

# stub [xfer_stub options...]: (re)starts the stand-in with a fresh log.
stub() {
    if [ -n "$STUB_PID" ]; then
        kill "$STUB_PID" 2>/dev/null
        wait "$STUB_PID" 2>/dev/null
    fi
    rm -f "$NEAR/.vesk/socket" "$LOG"
    (cd "$FAR" && exec "$VESK_BIN/xfer_stub" --socket "$NEAR/.vesk/socket" --log "$LOG" "$@") &
    STUB_PID=$!
    track "$STUB_PID"
    wait_for "the stub socket" 10 test -S "$NEAR/.vesk/socket" || exit 1
}

# up/down ARGS...: runs the client in $W; stderr in $ERR, status in $RC.
up() { ERR=$(cd "$W" && near upload "$@" 2>&1 >/dev/null); RC=$?; }
down() { ERR=$(cd "$W" && near download "$@" 2>&1 >/dev/null); RC=$?; }
mode_of() { stat -c %a "$1"; }

head -c 20000 /dev/urandom >"$W/a"
chmod 644 "$W/a"

# --- upload ---------------------------------------------------------------

stub --fail '6=no room'
up a
expect_eq "refused open" $'sending a\n\tSkipped : Couldn\'t open remote file, no room' "$ERR"
expect_eq "refused open status" 1 "$RC"

stub --crc 1
up a
expect_eq "checksum mismatch after upload" \
    $'sending a\nCRC F\n\tRemote and local file checksums don\'t match after upload!' "$ERR"
expect_eq "mismatch status" 1 "$RC"
expect_eq "a mismatching copy is marked unfinished again" 400 "$(mode_of "$FAR/a")"

# An old server: '6' and '1' carry only the name, resuming adds 'E', and no
# "CRC " is printed.
rm -f "$FAR/a"
stub --version 20056
up a
expect_eq "old server fresh upload" $'sending a\nOK' "$ERR"
check "old server open carries only the name" grep -qx '>6 a' "$LOG"
check "old server probe is the short form" grep -qx '>D a' "$LOG"
head -c 5000 "$W/a" >"$FAR/a"
chmod 400 "$FAR/a"
up a
expect_eq "old server resume" $'sending a\n\tAttempting to restart upload from 5000\nOK' "$ERR"
check "resume opens by name then seeks" grep -qx '>E 5000' "$LOG"
check "old server copy is identical" cmp -s "$W/a" "$FAR/a"
head -c 5000 "$W/a" >"$FAR/a"
chmod 400 "$FAR/a"
stub --version 20056 --fail 'E=bad seek'
up a
expect_eq "refused seek" $'sending a\n\tAttempting to restart upload from 5000\n\tSkipped, remote seek failed, bad seek' "$ERR"

# A server too old for 'O': the remote copy keeps its partial mode.
rm -f "$FAR/a"
stub --version 20054
up a
expect_eq "server without O" $'sending a\nOK' "$ERR"
check "no O sent to a server without it" bash -c "! grep -q '^>O' '$LOG'"

# A local read error in the middle of a dump: the owed bytes are settled by a
# fresh connection, the copy stays partial and a second run completes it.
rm -f "$FAR/a"
stub
head -c 300000 /dev/urandom >"$W/big"
ERR=$(cd "$W" && LD_PRELOAD="$VESK_BIN/../lib/libfileio.so" VESK_SHIM_PATH="$W/big" \
    VESK_READFAIL_AT=70000 near upload big 2>&1 >/dev/null)
RC=$?
# The stand-in drops a dump it did not receive whole, so the copy ends at the
# first dump (65536 bytes).
expect_eq "read error" $'sending big\nCRC F\n\tRemote file is a different size from local after upload!\n\t(r=65536,l=300000)' "$ERR"
expect_eq "read error status" 1 "$RC"
expect_eq "the owed dump was settled by a second connection" 2 "$(grep -c '^?C 0' "$LOG")"
check "no final mode after a read error" bash -c "! grep -q '^>O' '$LOG'"
expect_eq "the cut copy is still partial" 400 "$(mode_of "$FAR/big")"
check "the cut copy is a prefix of the source" cmp -s "$FAR/big" <(head -c 65536 "$W/big")
up big
expect_eq "resume after the read error" $'sending big\n\tAttempting to restart upload from 65536\nCRC OK' "$ERR"
check "resumed copy is identical" cmp -s "$W/big" "$FAR/big"

# Names that do not fit the 256-byte name buffer are refused per file.
mkdir -p "$FAR/d"
long=$(printf 'n%.0s' $(seq 300))
up a -as "$long" d
expect_eq "over-long joined name" $'sending a as d/'"$long"$'\n\tSkipped : remote name longer than 255 bytes' "$ERR"
expect_eq "over-long status" 1 "$RC"

# --- download ---------------------------------------------------------------

head -c 30000 /dev/urandom >"$FAR/r"
chmod 640 "$FAR/r"
stub --fail 'D=gone'
down r
expect_eq "probe refused" $'receiving r\n\tSkipped : can\'t open remote file' "$ERR"
stub --reply 'D=junk'
down r
expect_eq "probe unreadable" $'receiving r\n\tSkipped : can\'t stat r: junk' "$ERR"
stub --fail '7=locked'
down r
expect_eq "7 refused" $'receiving r\n\tSkipped : Couldn\'t open remote file, locked' "$ERR"
expect_eq "7 refused leaves a partial local copy" 444 "$(mode_of "$W/r")"
rm -f "$W/r"

# An unreadable '7' reply: '2' is sent and the next file still arrives whole.
cp "$FAR/r" "$FAR/s"
stub --reply '7=garbage'
down r
expect_eq "7 reply unreadable" $'receiving r\n\tSkipped : can\'t stat r: garbage' "$ERR"
check "abandon sent" grep -qx '>2 ' "$LOG"
rm -f "$W/r"

# A stream cut short: the copy keeps mode 0444 and is resumed to the end.
stub --stream-limit 10000
down r
expect_eq "cut stream" $'receiving r\n\n\tLocal file is a different size from initial remote size!\nCRC F\n\tRemote and local file checksums don\'t match after upload!' "$ERR"
expect_eq "cut stream status" 1 "$RC"
expect_eq "a cut copy stays partial" 444 "$(mode_of "$W/r")"
stub
down r
expect_eq "resume a cut download" $'receiving r\n\tAttempting to restart download from 10000\nCRC OK' "$ERR"
check "resumed download is identical" cmp -s "$FAR/r" "$W/r"
expect_eq "finished copy takes the remote mode" 640 "$(mode_of "$W/r")"

stub --stream-limit 100
ERR=$(cd "$W" && near download r -as - 2>&1 >"$T/out")
expect_eq "standard output short count" $'receiving r as -\n\n\tCount of bytes received is different from initial remote size!' "$ERR"

rm -f "$W/r"
stub --crc 1
down r
expect_eq "checksum mismatch after download" $'receiving r\nCRC F\n\tRemote and local file checksums don\'t match after upload!' "$ERR"
expect_eq "a mismatching download is marked partial again" 444 "$(mode_of "$W/r")"

rm -f "$W/r"
stub --fail 'Z=busy'
down -u r
expect_eq "removal refused" $'receiving r\nCRC OK\n\tUnable to remove sent file' "$ERR"
expect_eq "removal refused status" 1 "$RC"
check "remote kept" test -f "$FAR/r"

# Every file that reached '7' gets a fresh connection: three handshakes-worth
# of settings for two files (the first connection plus one per data phase).
rm -f "$W/r" "$W/s"
stub
down r s
expect_eq "two files" $'receiving r\nCRC OK\nreceiving s\nCRC OK' "$ERR"
expect_eq "a connection per data phase" 3 "$(grep -c '^?d -5' "$LOG")"

finish
