#!/usr/bin/env bash
# upload and download against the local pair: a round trip, then an upload
# cut off half-way and resumed by a second run.
set -u
cd "$WORK"
MIB=$((1024 * 1024))
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }

echo "== upload: a 3 MiB file to the far end"
head -c $((3 * MIB)) /dev/urandom >photo.raw
chmod 644 photo.raw
upload photo.raw 2>&1
echo "status $?; far copy: $(stat -c '%s bytes, mode %a' "$FAR/photo.raw")"

echo "== download: it comes back as photo.back"
download photo.raw -as photo.back 2>&1
cmp photo.raw photo.back && echo "photo.back is identical to photo.raw"

echo "== an upload interrupted half-way, then resumed"
head -c $((16 * MIB)) /dev/urandom >big.raw
if [ -f "$SHIMS/libfileio.so" ]; then
    # The test shim slows the reads of big.raw so that the copy can be cut.
    LD_PRELOAD="$SHIMS/libfileio.so" VESK_SHIM_PATH="$WORK/big.raw" VESK_DELAY_US=20000 \
        upload big.raw 2>/dev/null &
    pid=$!
    for _ in $(seq 200); do
        [ "$(size_of "$FAR/big.raw")" -gt $((2 * MIB)) ] && break
        sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    sleep 0.3
else
    # Without the shim, an interruption is simulated: the far end keeps the
    # first 5 MiB, with the mode that marks an unfinished copy.
    head -c $((5 * MIB)) big.raw >"$FAR/big.raw"
    chmod 400 "$FAR/big.raw"
fi
echo "far copy after the interruption: $(stat -c '%s bytes, mode %a' "$FAR/big.raw"); mode 400 marks it unfinished"
upload -v big.raw 2>&1 | tr '\r' '\n' | grep -v '^$'
cmp big.raw "$FAR/big.raw" && echo "the far copy of big.raw is complete and identical"
