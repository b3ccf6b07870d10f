// File checksum as the link server reports it: CRC-16/CCITT-FALSE.
#include <array>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <new>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include "vesknet.h"

namespace {

constexpr uint16_t kPoly = 0x1021;
constexpr uint16_t kInit = 0xFFFF;
constexpr size_t kBlockBytes = 1024 * 1024;  // read size; large enough to amortise syscalls
constexpr int kSlices = 16;

using Tables = std::array<std::array<uint16_t, 256>, kSlices>;

// Slicing-by-16 (the chain through crc is the bottleneck, so wider is faster): table k gives the
// CRC contribution of a byte followed by k zero bytes.
constexpr Tables make_tables() {
    Tables t{};
    for (int i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ kPoly : (c << 1));
        t[0][i] = c;
    }
    for (int k = 1; k < kSlices; ++k)
        for (int i = 0; i < 256; ++i)
            t[k][i] = static_cast<uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
    return t;
}

constexpr Tables kTables = make_tables();

uint16_t crc_update(uint16_t crc, const uint8_t *p, size_t n) {
    while (n >= kSlices) {
        uint16_t hi = static_cast<uint16_t>(crc ^ ((p[0] << 8) | p[1]));
        const auto &t = kTables;
        crc = static_cast<uint16_t>(t[15][hi >> 8] ^ t[14][hi & 0xFF] ^ t[13][p[2]] ^ t[12][p[3]] ^
                                    t[11][p[4]] ^ t[10][p[5]] ^ t[9][p[6]] ^ t[8][p[7]] ^
                                    t[7][p[8]] ^ t[6][p[9]] ^ t[5][p[10]] ^ t[4][p[11]] ^
                                    t[3][p[12]] ^ t[2][p[13]] ^ t[1][p[14]] ^ t[0][p[15]]);
        p += kSlices;
        n -= kSlices;
    }
    while (n-- > 0)
        crc = static_cast<uint16_t>((crc << 8) ^ kTables[0][((crc >> 8) ^ *p++) & 0xFF]);
    return crc;
}

}  // namespace

unsigned int file_crc(const char *path, long len) {
    if (path == nullptr || len < 0) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kBlockBytes]);
    if (!block) {
        close(fd);
        return 0;
    }
    uint16_t crc = kInit;
    long left = len;
    for (;;) {
        size_t want = kBlockBytes;
        if (len > 0) {
            if (left == 0) break;
            if (static_cast<unsigned long>(left) < want) want = static_cast<size_t>(left);
        }
        ssize_t got = read(fd, block.get(), want);
        if (got < 0) {
            if (errno == EINTR) continue;
            close(fd);
            return 0;
        }
        if (got == 0) {
            if (len > 0) {
                close(fd);
                return 0;
            }
            break;
        }
        crc = crc_update(crc, block.get(), static_cast<size_t>(got));
        if (len > 0) left -= got;
    }
    close(fd);
    return crc;
}
