#!/usr/bin/env bash
# Builds vesk and gives a short tour.  When the link server is built, the tour
# starts a local pair (near end's home tour/near, far end's home tour/far).
set -euo pipefail
cd "$(dirname "$0")"
cmake -S . -B build >/dev/null
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
cc -Itour/stage/include tour/crc.c -Ltour/stage/lib -lvesknet -Wl,-rpath,"$PWD/tour/stage/lib" -o tour/crc
tour/crc README.md
if [ ! -x build/bin/veskd ]; then
    echo "== the link server veskd is not part of this build yet; the pair tour starts once it is"
    exit 0
fi
