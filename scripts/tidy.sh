#!/usr/bin/env bash
# Runs clang-tidy, with the checks of .clang-tidy, over every source file of a
# configured build (its compile_commands.json; the tests and the benchmarks
# included), a process per core.
#
#   bash scripts/tidy.sh [BUILD_DIR]     BUILD_DIR defaults to build
#
# Exit status 0 when no check fires, 1 when one does, 2 when the build has no
# compile commands.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
commands=$build/compile_commands.json
if [ ! -f "$commands" ]; then
    echo "tidy: no $commands; configure the build first" >&2
    exit 2
fi
# clang-tidy prints its findings on stdout; stderr only counts the warnings
# that the configuration silences.
python3 -c '
import json, sys
print("\n".join(sorted({e["file"] for e in json.load(open(sys.argv[1]))})))
' "$commands" | xargs -P"$(nproc)" -n4 clang-tidy -p "$build" --quiet 2>/dev/null || {
    echo "tidy: clang-tidy found the faults above" >&2
    exit 1
}
