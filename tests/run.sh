#!/usr/bin/env bash
# Builds everything in build/ and runs every test (unit and end-to-end).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build ${VESK_CMAKE_FLAGS:-} >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)" "$@"
