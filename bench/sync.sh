#!/usr/bin/env bash
# What syncing a copy before its finished mode costs: upload through a local
# veskd pair into a disk-backed directory (never tmpfs: there a sync is free),
# 1,000 files of 4 KiB in one run and one file of 1 GiB, a few runs each.
#
#   bash bench/sync.sh [RUNS] [BIN...]   (default 3 runs of build/bin)
#
# Each BIN is a build's bin directory; giving two (an older build first)
# compares them run by run, alternating, so that drift in the disk's speed
# falls on both.  TMPDIR names the disk-backed directory (default /var/tmp).
set -u
RUNS=${1:-3}
shift
HERE=$(cd "$(dirname "$0")" && pwd)
BINS=("$@")
[ ${#BINS[@]} -gt 0 ] || BINS=("$HERE/../build/bin")
export TMPDIR=${TMPDIR:-/var/tmp}
export VESK_BIN=${BINS[0]}
source "$HERE/../tests/e2e/lib.sh"
source "$HERE/common.sh"
set +e
echo "== $(findmnt -no FSTYPE,SOURCE -T "$T") under $T"

SMALL=$T/small
mkdir -p "$SMALL"
for i in $(seq -w 0 999); do head -c 4096 /dev/urandom >"$SMALL/f$i"; done
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$T/big.bin"

printf '%-8s %-6s %s\n' what run "seconds per build (${BINS[*]})"
for what in small big; do
    for r in $(seq "$RUNS"); do
        line=""
        for bin in "${BINS[@]}"; do
            VESK_BIN=$bin
            rm -rf "${FAR:?}"/*
            start_pair
            if [ "$what" = small ]; then
                cd "$SMALL" && timed x "" -- env HOME="$NEAR" "$bin/upload" -q f*
            else
                cd "$T" && timed x "" -- env HOME="$NEAR" "$bin/upload" -q big.bin
            fi
            rc=$?
            cd "$HERE"
            stop_pair
            sync
            line="$line $SECS"
            [ $rc = 0 ] || line="$line(failed)"
        done
        printf '%-8s %-6s%s\n' "$what" "$r" "$line"
    done
done
