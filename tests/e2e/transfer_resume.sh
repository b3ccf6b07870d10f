#!/usr/bin/env bash
# Interrupted transfers through a real local pair and what a second run makes
# of the partial copy: resumed when it is a prefix of the source, refused
# (or replaced with -f) when its start differs or the source has changed.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

SHIM=$(shim fileio) || exit 1
start_pair

size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
bigger_than() { [ "$(size_of "$1")" -gt "$2" ]; }
is_prefix() { cmp -s "$1" <(head -c "$(size_of "$1")" "$2"); }
# slowly PATH CMD...: runs a client in $W in the background with its I/O on
# PATH slowed down; sets PID.
slowly() {
    local path=$1
    shift
    (cd "$W" && exec env HOME="$NEAR" LD_PRELOAD="$SHIM" VESK_SHIM_PATH="$path" \
        VESK_DELAY_US="$DELAY" "$@" 2>>"$T/slow.err") &
    PID=$!
    track "$PID"
}
gone() { ! kill -0 "$1" 2>/dev/null; }
# The far veskd is the near one's child (its command line no longer names
# HOME once env has executed it).
far_veskd() { pgrep -P "$VESKD_PID" -x veskd | head -n1; }
# Kills a client of ours and reaps it (wait returns once it is gone).
stop() {
    kill -9 "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}
settled() {
    local a
    a=$(size_of "$1")
    sleep 0.3
    [ "$a" = "$(size_of "$1")" ]
}

MIB=$((1024 * 1024))
head -c $((8 * MIB)) /dev/urandom >"$W/big"
chmod 600 "$W/big"

# half_way VERB NAME SRC DST: starts VERB (upload or download) of NAME with its
# local side slowed by $DELAY and waits until DST holds a MiB.
half_way() {
    local slow=$3
    [ "$1" = download ] && slow=$4
    slowly "$slow" "$1" "$2"
    wait_for "a partial $1" 30 bigger_than "$4" $MIB
}
# again VERB NAME: a second run of the client.
again() { if [ "$1" = upload ]; then up "$2"; else down "$2"; fi; }

# --- the client killed half-way ------------------------------------------------
cp "$W/big" "$FAR/dbig"
chmod 640 "$FAR/dbig"
# A partial download has only its source's read bits (0640 gives 0440).
for c in "upload big $W/big $FAR/big 20000 400 600 sending" \
    "download dbig $FAR/dbig $W/dbig 300 440 640 receiving"; do
    read -r verb name src dst DELAY pmode fmode word <<<"$c"
    half_way "$verb" "$name" "$src" "$dst"
    stop "$PID"
    wait_for "the copy to settle" 10 settled "$dst"
    part=$(size_of "$dst")
    expect_eq "interrupted $verb left a partial copy" "$pmode" "$(mode_of "$dst")"
    check "the partial $verb is a prefix" is_prefix "$dst" "$src"
    again "$verb" "$name"
    expect_eq "$verb resumed" "$word $name"$'\n\tAttempting to restart '"$verb from $part"$'\nCRC OK' "$ERR"
    check "resumed $verb identical" cmp -s "$src" "$dst"
    expect_eq "resumed $verb mode" "$fmode" "$(mode_of "$dst")"
done

# --- the far link server killed half-way ------------------------------------------
cp "$W/big" "$W/big2"
cp "$W/big" "$FAR/dbig2"
# A private source's partial copy is private too.
chmod 600 "$FAR/dbig2"
for c in "upload big2 $W/big2 $FAR/big2 20000 400 far" \
    "download dbig2 $FAR/dbig2 $W/dbig2 300 400 local"; do
    read -r verb name src dst DELAY pmode side <<<"$c"
    half_way "$verb" "$name" "$src" "$dst"
    kill -9 "$(far_veskd)"
    if ! wait_for "$verb to give up after the far end died" 20 gone "$PID"; then
        fail "$verb still running 20 s after the far veskd was killed"
        stop "$PID"
    fi
    stop_pair
    start_pair
    expect_eq "the $side copy stays partial" "$pmode" "$(mode_of "$dst")"
    check "the $side copy is a prefix" is_prefix "$dst" "$src"
    again "$verb" "$name"
    expect_eq "$verb resumed after the far end died" 0 "$RC"
    check "$verb resumed after the far end died: identical" cmp -s "$src" "$dst"
done

# --- a partial copy whose start differs ----------------------------------------------
head -c 100000 /dev/urandom >"$W/s"
head -c 5000 /dev/urandom >"$FAR/s"
chmod 400 "$FAR/s"
up s
expect_eq "upload: start differs" $'sending s\n\tSkipping, remote file differs from beginning of local' "$ERR"
expect_eq "upload: start differs status" 1 "$RC"
up -f s
expect_eq "upload -f replaces it" $'sending s\n\tWarning, overwriting file on remote host\nCRC OK' "$ERR"
check "upload -f identical" cmp -s "$W/s" "$FAR/s"

head -c 100000 /dev/urandom >"$FAR/t"
head -c 5000 /dev/urandom >"$W/t"
chmod 444 "$W/t"
touch -d '+1 hour' "$W/t" # not older than the remote file
down t
expect_eq "download: start differs" $'receiving t\n\tSkipping, local file differs from beginning of remote' "$ERR"
expect_eq "download: start differs status" 1 "$RC"
down -f t
expect_eq "download -f replaces it" $'receiving t\nCRC OK' "$ERR"
check "download -f identical" cmp -s "$FAR/t" "$W/t"

# A refused resume leaves the partial copy exactly as it was: at 0444, never
# writable (a writable copy is taken for a finished one by the next run).
head -c $((8 * MIB)) /dev/urandom >"$FAR/chg"
head -c $((4 * MIB)) "$FAR/chg" >"$W/chg"
chmod 444 "$W/chg"
printf 'X' | dd of="$FAR/chg" bs=1 seek=1000 conv=notrunc status=none
touch -d '-1 hour' "$FAR/chg"
down chg
expect_eq "download: changed start" $'receiving chg\n\tSkipping, local file differs from beginning of remote' "$ERR"
expect_eq "a refused resume keeps the copy partial" 444 "$(mode_of "$W/chg")"

# An empty partial copy is resumed from 0.
head -c 10000 /dev/urandom >"$W/e"
: >"$FAR/e"
chmod 400 "$FAR/e"
up e
expect_eq "empty remote partial" $'sending e\n\tAttempting to restart upload from 0\nCRC OK' "$ERR"
check "empty remote partial completed" cmp -s "$W/e" "$FAR/e"
head -c 10000 /dev/urandom >"$FAR/e2"
: >"$W/e2"
chmod 444 "$W/e2"
touch -d '+1 hour' "$W/e2"
down e2
expect_eq "empty local partial" $'receiving e2\n\tAttempting to restart download from 0\nCRC OK' "$ERR"
check "empty local partial completed" cmp -s "$FAR/e2" "$W/e2"

# --- the source changed since the partial copy --------------------------------------
head -c 50000 /dev/urandom >"$W/m"
head -c 20000 "$W/m" >"$FAR/m"
chmod 400 "$FAR/m"
touch -d '-1 hour' "$FAR/m"
up m
expect_eq "local source modified" $'sending m\n\tSkipping, the local file has been modified' "$ERR"
expect_eq "local source modified status" 1 "$RC"
head -c 50000 /dev/urandom >"$FAR/n"
head -c 20000 "$FAR/n" >"$W/n"
chmod 444 "$W/n"
touch -d '-10 min' "$FAR/n"
touch -d '-1 hour' "$W/n"
down n
expect_eq "remote source modified" $'receiving n\n\tSkipping, the remote file has been modified' "$ERR"
expect_eq "remote source modified status" 1 "$RC"
down -f n
check "download -f after a remote change" cmp -s "$FAR/n" "$W/n"

# --- local larger / remote larger ------------------------------------------------------
head -c 3000 /dev/urandom >"$W/l"
head -c 4000 /dev/urandom >"$FAR/l"
chmod 400 "$FAR/l"
up l
expect_eq "remote larger" $'sending l\n\tSkipping, remote file is larger than local' "$ERR"
head -c 3000 /dev/urandom >"$FAR/k"
head -c 4000 /dev/urandom >"$W/k"
chmod 444 "$W/k"
touch -d '+1 hour' "$W/k"
down k
expect_eq "local larger" $'receiving k\n\tSkipping, local file is larger than remote' "$ERR"

# --- a finished mode only once the data is on disk ---------------------------------------
# The shim logs syncs and mode changes of one file in order: the far veskd's
# for an upload, download's own for a download.
stop_pair
head -c 100000 /dev/urandom >"$W/durable"
chmod 644 "$W/durable"
LD_PRELOAD=$SHIM VESK_SHIM_PATH=$(realpath "$FAR")/durable VESK_SYNC_LOG=$T/sync-up.log start_pair
up durable
check "synced upload identical" cmp -s "$W/durable" "$FAR/durable"
expect_eq "upload syncs before the final mode" "sync mode 644" \
    "$(grep -x -e sync -e 'mode 644' "$T/sync-up.log" | xargs)"
cp "$W/durable" "$FAR/ddurable"
chmod 640 "$FAR/ddurable"
(cd "$W" && LD_PRELOAD=$SHIM VESK_SHIM_PATH=$(realpath "$W")/ddurable \
    VESK_SYNC_LOG=$T/sync-down.log near download ddurable 2>/dev/null)
check "synced download identical" cmp -s "$W/ddurable" "$FAR/ddurable"
expect_eq "download syncs before the final mode" "sync mode 640" \
    "$(grep -x -e sync -e 'mode 640' "$T/sync-down.log" | xargs)"

finish
