#!/usr/bin/env bash
# Runs every libFuzzer harness of tests/fuzz for a while and reports, per
# harness, the executions, the rate and whether it found anything.
#
#   bash bench/fuzz.sh [seconds per harness] [harness...]     (default 300 s, all)
#
# Builds the harnesses in build-fuzz (clang, -DVESK_FUZZ=ON) unless FUZZ_BUILD
# names a build directory that has them.  Each harness starts from its seeds in
# tests/fuzz/corpus/<name>/ and keeps what it learns in a scratch corpus, so
# the tree is never changed; a crash leaves its input in the run's directory
# (printed).  Exit status 1 when any harness failed.
set -u
SECS=${1:-300}
shift
HERE=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(realpath -m "${FUZZ_BUILD:-$HERE/build-fuzz}")
if [ -z "${FUZZ_BUILD:-}" ]; then
    bash "$HERE/scripts/deps.sh" build fuzz || exit 1
    CC=clang CXX=clang++ cmake -S "$HERE" -B "$BUILD" -DVESK_FUZZ=ON >/dev/null || exit 1
    cmake --build "$BUILD" -j"$(nproc)" --target fuzzers >/dev/null || exit 1
fi
OUT=$(mktemp -d "${TMPDIR:-/tmp}/vesk-fuzz.XXXXXX")
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    for f in "$BUILD"/bin/fuzz_*; do names+=("${f##*/fuzz_}"); done
fi

status=0
printf '%-10s %8s %14s %10s  %s\n' harness seconds execs execs/s result
for name in "${names[@]}"; do
    bin=$BUILD/bin/fuzz_$name
    corpus=$OUT/$name
    mkdir -p "$corpus"
    seeds=$HERE/tests/fuzz/corpus/$name
    [ -d "$seeds" ] || seeds=
    # A hung input ends the run (-timeout); the whole run is bounded as well.
    (cd "$OUT" && timeout -s KILL $((SECS + 60)) "$bin" -max_total_time="$SECS" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$OUT/$name-" \
        "$corpus" $seeds >"$OUT/$name.log" 2>&1)
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$OUT/$name.log" | tail -n1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$OUT/$name.log" | tail -n1)
    if [ $rc -eq 0 ]; then
        result=ok
    else
        result="FAILED (exit $rc): see $OUT/$name.log"
        status=1
    fi
    printf '%-10s %8s %14s %10s  %s\n' "$name" "$SECS" "${execs:-?}" "${rate:-?}" "$result"
done
[ $status -eq 0 ] && rm -rf "$OUT"
exit $status
