#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages), builds
# everything in build/ and runs every test (unit and end-to-end).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build test
cmake -S . -B build -DVESK_BUILD_TESTS=ON -DVESK_BUILD_BENCH=ON ${VESK_CMAKE_FLAGS:-} >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)" "$@"
