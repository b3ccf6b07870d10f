#!/usr/bin/env bash
# upload and download against the scripted stand-in server: the exact
# messages of refusals, unreadable replies, cut streams, wrong checksums and
# local read errors, which a real pair does not produce on demand.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

mkdir -p "$NEAR/.vesk"
chmod 700 "$NEAR/.vesk"
LOG=$T/stub.log
SHIM=$(shim fileio) || exit 1
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
# That 'O' is upload's last request and has no reply: the stub may act on it
# after upload has gone.
wait_for "the far mode" 10 bash -c "[ \"\$(stat -c %a '$FAR/a')\" = 400 ]"
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
ERR=$(cd "$W" && LD_PRELOAD="$SHIM" VESK_SHIM_PATH="$W/big" \
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
expect_eq "7 refused leaves a partial local copy" 440 "$(mode_of "$W/r")"
rm -f "$W/r"

# An unreadable '7' reply: '2' is sent and the next file still arrives whole.
cp "$FAR/r" "$FAR/s"
stub --reply '7=garbage'
down r
expect_eq "7 reply unreadable" $'receiving r\n\tSkipped : can\'t stat r: garbage' "$ERR"
check "abandon sent" grep -qx '>2 ' "$LOG"
rm -f "$W/r"

# A stream cut short: the copy keeps its partial mode (the far 0640's read
# bits) and is resumed to the end.
stub --stream-limit 10000
down r
expect_eq "cut stream" $'receiving r\n\n\tLocal file is a different size from initial remote size!\nCRC F\n\tRemote and local file checksums don\'t match after upload!' "$ERR"
expect_eq "cut stream status" 1 "$RC"
expect_eq "a cut copy stays partial" 440 "$(mode_of "$W/r")"
stub
down r
expect_eq "resume a cut download" $'receiving r\n\tAttempting to restart download from 10000\nCRC OK' "$ERR"
check "resumed download is identical" cmp -s "$FAR/r" "$W/r"
expect_eq "finished copy takes the remote mode" 640 "$(mode_of "$W/r")"

# Two cut files in one run, each resumed by the next run.
rm -f "$W/r" "$W/s"
stub --stream-limit 10000
down r s
expect_eq "two cut files" 1 "$RC"
stub
down r s
expect_eq "both resumed" $'receiving r\n\tAttempting to restart download from 10000\nCRC OK\nreceiving s\n\tAttempting to restart download from 10000\nCRC OK' "$ERR"
check "both resumed copies are identical" cmp -s "$FAR/s" "$W/s"

stub --stream-limit 100
ERR=$(cd "$W" && near download r -as - 2>&1 >"$T/out")
expect_eq "standard output short count" $'receiving r as -\n\n\tCount of bytes received is different from initial remote size!' "$ERR"

rm -f "$W/r"
stub --crc 1
down r
expect_eq "checksum mismatch after download" $'receiving r\nCRC F\n\tRemote and local file checksums don\'t match after upload!' "$ERR"
expect_eq "a mismatching download is marked partial again" 440 "$(mode_of "$W/r")"

# The checksum probe after the data refused: a failure, and the copy never
# gets its final mode unverified.
rm -f "$W/r"
stub --fail-later 'D=gone away'
down r
expect_eq "checksum probe refused" $'receiving r\nCRC \n\tgone away\n\tcouldn\'t stat remote file after download. Please check it.' "$ERR"
expect_eq "checksum probe refused: status" 1 "$RC"
expect_eq "checksum probe refused: copy stays partial" 440 "$(mode_of "$W/r")"

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

# --- the order of the requests --------------------------------------------------
# requests LOG: the log from the first file-status probe on, with the relative
# times of 'O' (which depend on the clock) blanked out.
requests() {
    sed -n '/^>D/,$p' "$LOG" | sed -E 's/^>O ([0-7]+) -?[0-9]+ -?[0-9]+/>O \1 T T/'
}

rm -f "$FAR/o" "$W/o"
head -c 5000 /dev/urandom >"$W/o"
chmod 640 "$W/o"
stub
up o
expect_eq "fresh upload: requests" $'>D o\n>D \\n0\\no\n>6 0 400\\no\n?l 5000\n>M \n>F \n>O 640 T T\\no\n>D \\n0\\no' "$(requests)"
head -c 2000 "$W/o" >"$FAR/o"
chmod 400 "$FAR/o"
stub
up o
expect_eq "resumed upload: requests" $'>D o\n>D \\n0\\no\n>1 2000 400\\no\n?l 3000\n>M \n>F \n>O 640 T T\\no\n>D \\n0\\no' "$(requests)"
: >"$W/z"
chmod 644 "$W/z"
stub
up z
expect_eq "empty source: no dump at all" $'>D z\n>D \\n0\\nz\n>6 0 400\\nz\n>M \n>F \n>O 644 T T\\nz\n>D \\n0\\nz' "$(requests)"

# Two files: the second file's probe goes out right behind the first file's
# closing requests, and the stand-in still sees each file's requests in order.
rm -f "$FAR/o" "$FAR/o2"
cp "$W/o" "$W/o2"
stub
up o o2
expect_eq "two files: output" $'sending o\nCRC OK\nsending o2\nCRC OK' "$ERR"
expect_eq "two files: requests" $'>D o2\n>D \\n0\\no\n>6 0 400\\no\n?l 5000\n>M \n>F \n>O 640 T T\\no\n>D \\n0\\no\n>D \\n0\\no2\n>6 0 400\\no2\n?l 5000\n>M \n>F \n>O 640 T T\\no2\n>D \\n0\\no2' "$(requests)"
# The second probe is answered ahead: its file is still skipped, or with -f
# replaced, as when it waits.
chmod 644 "$FAR/o2"
rm -f "$FAR/o"
up o o2
expect_eq "probe answered ahead: skip" $'sending o\nCRC OK\nsending o2\n\tSkipping, remote file has write/execute permission' "$ERR"
rm -f "$FAR/o"
head -c 3000 /dev/urandom >"$W/o2"
up -f o o2
expect_eq "probe answered ahead: -f" $'sending o\nCRC OK\nsending o2\n\tWarning, overwriting file on remote host\nCRC OK' "$ERR"
# A failure inside a batch of requests sent together: that file's message,
# then the next file goes on.
stub --fail-later 'D=gone'
up -f o o2
expect_eq "failure inside a batch" $'sending o\nCRC \n\tgone\n\tcouldn\'t stat remote file after upload. Please check it.\nsending o2\nCRC \n\tgone\n\tcouldn\'t stat remote file after upload. Please check it.' "$ERR"
expect_eq "failure inside a batch: status" 1 "$RC"

# download: probe (short form for an absent target), '7' from 0, then on the
# new connection only the settings and the checksum probe; -u adds 'Z'.
rm -f "$W/o"
head -c 5000 /dev/urandom >"$FAR/o"
stub
down -u o
expect_eq "fresh download: requests" $'>D o\n>7 0\\no\n?d -5\n>d -5\n>D \\n5000\\no\n>Z o' "$(requests)"
check "fresh download: no compression request" bash -c "! grep -q '^.C' '$LOG'"
head -c 5000 /dev/urandom >"$FAR/o"
head -c 1200 "$FAR/o" >"$W/o"
chmod 444 "$W/o"
touch -d '+1 hour' "$W/o"
stub
down o
expect_eq "resumed download: requests" $'>D \\n1200\\no\n>7 1200\\no\n?d -5\n>d -5\n>D \\n5000\\no' "$(requests)"

# A lone directory argument: only its own probe is sent.
mkdir -p "$FAR/only"
stub
up only
expect_eq "lone remote directory: output" "" "$ERR"
expect_eq "lone remote directory: requests" '>D only' "$(requests)"
expect_eq "lone remote directory: status" 0 "$RC"

# Standard output: never stat'ed or changed, no checksum probe; -u removes
# the remote file once the count matches.
head -c 3000 /dev/urandom >"$FAR/so"
cp "$FAR/so" "$T/so.orig"
stub
ERR=$(cd "$W" && near download -u so -as - 2>&1 >"$T/so.out")
expect_eq "stdout -u: output" $'receiving so as -\n\tSent file removed.' "$ERR"
expect_eq "stdout -u: requests" $'>D so\n>7 0\\nso\n?d -5\n>d -5\n>Z so' "$(requests)"
check "stdout -u: data" cmp -s "$T/so.orig" "$T/so.out"

# The common options reach both servers.
rm -f "$FAR/o"
stub
ERR=$(cd "$W" && near upload -c -p 3 o 2>&1 >/dev/null)
expect_eq "-p prints the new priority" $'Changing priority to 3\nsending o\nCRC OK' "$ERR"
expect_eq "-c and -p settings" $'?C 1\n>C 1\n?d 3\n>d 3' "$(grep -E '^.[Cd] ' "$LOG")"
rm -f "$W/o"
stub
down -r o
expect_eq "download -r asks for no compression" $'?C 0\n>C 0\n?d -5\n>d -5\n?C 0\n>C 0\n?d -5\n>d -5' \
    "$(grep -E '^.[Cd] ' "$LOG")"

# --- waiting for the socket -----------------------------------------------------
# Past 64 KiB since the last report point a write waits for the socket to take
# more; every report point starts the count again, printed or not.
head -c 1048576 /dev/urandom >"$W/w"
waits() {
    rm -f "$FAR/w" "$T/waits"
    (cd "$W" && HOME=$NEAR LD_PRELOAD="$SHIM" VESK_SELECT_LOG="$T/waits" \
        timeout 60 upload "$@" w 2>/dev/null)
    awk '{ n += $1 } END { print n + 0 }' "$T/waits"
}
stub
n=$(waits)
check "a quiet upload waits only at report points ($n)" test "$n" -lt 500
check "the quiet copy is identical" cmp -s "$W/w" "$FAR/w"
n=$(waits -vv)
check "progress lines start the count again ($n)" test "$n" -lt 500
check "the waited-for copy is identical" cmp -s "$W/w" "$FAR/w"

# --- summary, totals and progress lines -------------------------------------------
rm -f "$FAR/v1" "$FAR/v2"
head -c 100 /dev/urandom >"$W/v1"
head -c 200 /dev/urandom >"$W/v2"
stub
ERR=$(cd "$W" && near upload -v v1 v2 2>&1 >/dev/null)
re=$'^sending v1\n\r\t100 bytes sent in [0-9]+\\.[0-9] seconds; CPS = [0-9]+ {19}CRC OK\nsending v2\n\r\t200 bytes sent in [0-9]+\\.[0-9] seconds; CPS = [0-9]+ {19}CRC OK\n300 total bytes sent in [0-9]+\\.[0-9] seconds; overall CPS [0-9]+$'
check "upload summary and totals lines" test -n "$([[ $ERR =~ $re ]] && echo y)"
head -c 150 /dev/urandom >"$W/v1"
ERR=$(cd "$W" && near upload -v -f v1 2>&1 >/dev/null)
re=$'^sending v1\n\tWarning, overwriting file on remote host\n\r\t150 bytes sent in [0-9]+\\.[0-9] seconds; CPS = [0-9]+ {19}CRC OK$'
check "one file: summary but no totals" test -n "$([[ $ERR =~ $re ]] && echo y)"
rm -f "$W/v1" "$W/v2"
ERR=$(cd "$W" && near download -v v1 v2 2>&1 >/dev/null)
re=$'^receiving v1\n\r\t150 bytes received in [0-9]+\\.[0-9] seconds; CPS = [0-9]+ {15}CRC OK\nreceiving v2\n\r\t200 bytes received in [0-9]+\\.[0-9] seconds; CPS = [0-9]+ {15}CRC OK\n350 total bytes received in [0-9]+\\.[0-9] seconds; overall CPS [0-9]+$'
check "download summary and totals lines" test -n "$([[ $ERR =~ $re ]] && echo y)"

# An empty file at verbosity 3: the short opening line, no data read; an
# empty upload source prints no progress line at all.
: >"$FAR/e0"
ERR=$(cd "$W" && near download -vv e0 2>&1 >/dev/null)
re=$'^receiving e0\n\r\t0  \r\t0 bytes received in [0-9.]+ seconds; CPS = 0 {15}CRC OK$'
check "empty download at verbosity 3" test -n "$([[ $ERR =~ $re ]] && echo y)"
rm -f "$FAR/z"
ERR=$(cd "$W" && near upload -vv z 2>&1 >/dev/null)
re=$'^sending z\n\r\t0 bytes sent in [0-9.]+ seconds; CPS = 0 {19}CRC OK$'
check "empty upload at verbosity 3" test -n "$([[ $ERR =~ $re ]] && echo y)"

# -f on a finished, equal remote copy: nothing is sent; one -v brings back
# the line that -f otherwise suppresses.
rm -f "$FAR/eq"
head -c 4000 /dev/urandom >"$W/eq"
chmod 644 "$W/eq"
stub
up eq
stub
up -f eq
expect_eq "-f, equal copy: silent" "sending eq" "$ERR"
expect_eq "-f, equal copy: status" 0 "$RC"
check "-f, equal copy: no data" bash -c "! grep -q '^>[16]' '$LOG'"
up -f -v eq
expect_eq "-f -v, equal copy" $'sending eq\n\tSame size local and remote file, setting file mode' "$ERR"

# At verbosity 3 a resumed download first reads up to the next multiple of
# the read block (1024 bytes): 23 bytes from 1001.
head -c 300000 /dev/urandom >"$FAR/rb"
head -c 1001 "$FAR/rb" >"$W/rb"
chmod 444 "$W/rb"
touch -d '+1 hour' "$W/rb"
ERR=$(cd "$W" && near download -vv rb 2>&1 >/dev/null)
want=$'\tAttempting to restart download from 1001\n\r\t1001 of 300000 (0%)   \r\t1024 of 300000 (0%)'
check "the first block ends on the read block" test -n "$([[ $ERR == *"$want"* ]] && echo y)"
check "aligned resume is identical" cmp -s "$FAR/rb" "$W/rb"

# --- a hostile tree listing ---------------------------------------------------------
# Names that climb out, are absolute, repeat or carry escapes are refused and
# printed escaped; a huge listing is refused before anything is queued.  One
# file at a time: the stand-in serves one connection after another.
entry() { printf '%s 644 %s 1600000000.000000001 1600000000.000000001 %s %s\n' "$1" "$2" "${#3}" "$3"; }
{
    printf 'd 755 0 1600000000.000000000 1600000000.000000000 1 .\n'
    entry f 2 ../evil
    entry f 2 /tmp/abs
    entry f 2 $'esc\e[31m'
    entry f 2 ok
    entry f 2 ok
    entry f 2 nodir/x
} >"$T/listing"
printf 'ok' >"$FAR/ok"
stub --version 20307 --listing "$T/listing"
down -j 1 -R tree -as hostile
check "hostile listing: status" test "$RC" = 1
check "hostile listing: nothing outside the tree" test ! -e "$W/evil" -a ! -e /tmp/abs.vesk
check "hostile listing: escapes shown escaped" grep -qF 'esc\x1b[31m' <<<"$ERR"
check "hostile listing: no raw escape" bash -c '! grep -q $'"'"'\e'"'"' <<<"$1"' _ "$ERR"
check "hostile listing: the good file came" cmp -s "$FAR/ok" "$W/hostile/ok"
check "hostile listing: a file under no listed directory is refused" test ! -e "$W/hostile/nodir"
stub --version 20307 --reply 'Q=4611686018427387904'
down -j 1 -R tree -as huge
expect_eq "huge listing refused" $'receiving tree as huge\n\tSkipped : can\'t list remote directory tree: the far listing is too large or unreadable' "$ERR"

finish
