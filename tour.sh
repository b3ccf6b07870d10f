#!/usr/bin/env bash
# Installs what the build needs (Debian packages), builds vesk without its
# tests and gives a short tour.  When the link server is built, the tour
# starts a local pair (near end's home tour/near, far end's home tour/far).
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/deps.sh build tour
cmake -S . -B build -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"
rm -rf tour && mkdir -p tour/near tour/far && chmod 700 tour/near tour/far
cmake --install build --prefix "$PWD/tour/stage" >/dev/null
echo "== installed"
(cd tour/stage && find . -type f -o -type l | sort)
echo "== the library's checksum of README.md (CRC-16/CCITT-FALSE)"
cat > tour/crc.c <<'C'
#include <stdio.h>
#include <vesknet.h>
int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) printf("%s: %u\n", argv[i], file_crc(argv[i], 0));
    return 0;
}
C
# The installed vesknet.pc gives the flags wherever the install lies.
export PKG_CONFIG_PATH=$(dirname "$(find tour/stage -name vesknet.pc)")
cc tour/crc.c $(pkg-config --cflags --libs vesknet) \
    -Wl,-rpath,"$(pkg-config --variable=libdir vesknet)" -o tour/crc
tour/crc README.md
if [ ! -x tour/stage/bin/veskd ]; then
    echo "== the link server veskd is not part of this build yet; the pair tour starts once it is"
    exit 0
fi
echo "== $(tour/stage/bin/veskd --version); its manual: man -l tour/stage/share/man/man8/veskd.8.gz"

# The pair: the near veskd runs the far one through an exec: link, each with
# its own home; the far end's working directory is tour/far.
export NEAR=$PWD/tour/near FAR=$PWD/tour/far BIN=$PWD/tour/stage/bin
export PATH="$BIN:$PATH"
echo "== starting a local pair (near home $NEAR, far home $FAR)"
HOME=$NEAR veskd --link "exec:cd '$FAR' && exec env HOME='$FAR' '$BIN/veskd' --link stdio 2>>'$PWD/tour/far.log'" \
    2>>tour/near.log &
VESKD_PID=$!
trap 'kill $VESKD_PID 2>/dev/null; wait $VESKD_PID 2>/dev/null; rm -rf "${WORK:-}"' EXIT
for _ in $(seq 100); do [ -S "$NEAR/.vesk/socket" ] && break; sleep 0.1; done
[ -S "$NEAR/.vesk/socket" ] || { cat tour/near.log tour/far.log; exit 1; }

# Each step of the tour is a script in tour.d, run in order with NEAR, FAR and
# BIN set, SHIMS naming where the build put the test shims and WORK a fresh
# directory of its own; every client runs as a user of the near end.
export SHIMS=${VESK_SHIMS:-$PWD/build/lib}
for step in tour.d/*.sh; do
    [ -e "$step" ] || continue
    WORK=$(mktemp -d)
    HOME=$NEAR WORK=$WORK bash "$step"
    rm -rf "$WORK"
done
echo "== stopping the pair"
kill $VESKD_PID
wait $VESKD_PID 2>/dev/null || true
trap - EXIT
echo "== tour done"
