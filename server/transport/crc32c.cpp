// CRC-32C: the SSE4.2 instruction where the CPU has it, a byte table else.
#include "crc32c.h"

#include <array>
#include <cstring>

namespace vesk {
namespace {

constexpr uint32_t kPoly = 0x82F63B78;  // Castagnoli, reflected

constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr std::array<uint32_t, 256> kTable = make_table();

#if defined(__x86_64__)
// The crc32 instruction takes three cycles but can start one a cycle, so
// three independent lanes over neighbouring stretches run about three times
// as fast as one; the lanes' values are then joined by shifting each past
// the bytes that follow it.
constexpr size_t kLaneBytes = 1024;

__attribute__((target("sse4.2"))) uint32_t crc32c_lane(uint32_t c, const uint8_t *p, size_t n) {
    uint64_t c64 = c;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t v;
        memcpy(&v, p, 8);
        c64 = __builtin_ia32_crc32di(c64, v);
    }
    c = uint32_t(c64);
    while (n-- > 0) c = __builtin_ia32_crc32qi(c, *p++);
    return c;
}

// The state after kLaneBytes zero bytes, as a function of the state before
// it: linear, so one table a byte of the state gives it in four lookups.
struct Shift {
    uint32_t table[4][256];
    __attribute__((target("sse4.2"))) Shift() {
        static const uint8_t zeros[kLaneBytes] = {};
        uint32_t bit[32];
        for (int i = 0; i < 32; i++) bit[i] = crc32c_lane(1u << i, zeros, kLaneBytes);
        for (int k = 0; k < 4; k++) {
            for (uint32_t b = 0; b < 256; b++) {
                uint32_t v = 0;
                for (int i = 0; i < 8; i++)
                    if (b & (1u << i)) v ^= bit[8 * k + i];
                table[k][b] = v;
            }
        }
    }
    uint32_t operator()(uint32_t c) const {
        return table[0][c & 0xff] ^ table[1][(c >> 8) & 0xff] ^ table[2][(c >> 16) & 0xff] ^
               table[3][c >> 24];
    }
};

__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(uint32_t crc, const uint8_t *p, size_t n) {
    static const Shift shift;
    uint32_t c = ~crc;
    for (; n >= 3 * kLaneBytes; p += 3 * kLaneBytes, n -= 3 * kLaneBytes) {
        uint64_t a = c, b = 0, d = 0;
        for (size_t i = 0; i < kLaneBytes; i += 8) {
            uint64_t va, vb, vd;
            memcpy(&va, p + i, 8);
            memcpy(&vb, p + kLaneBytes + i, 8);
            memcpy(&vd, p + 2 * kLaneBytes + i, 8);
            a = __builtin_ia32_crc32di(a, va);
            b = __builtin_ia32_crc32di(b, vb);
            d = __builtin_ia32_crc32di(d, vd);
        }
        c = shift(shift(uint32_t(a)) ^ uint32_t(b)) ^ uint32_t(d);
    }
    return ~crc32c_lane(c, p, n);
}
bool have_sse42() {
    static const bool have = __builtin_cpu_supports("sse4.2");
    return have;
}
#endif

}  // namespace

uint32_t crc32c_portable(uint32_t crc, const void *data, size_t n) {
    auto p = static_cast<const uint8_t *>(data);
    uint32_t c = ~crc;
    while (n-- > 0) c = kTable[(c ^ *p++) & 0xff] ^ (c >> 8);
    return ~c;
}

uint32_t crc32c(uint32_t crc, const void *data, size_t n) {
#if defined(__x86_64__)
    if (have_sse42()) return crc32c_sse42(crc, static_cast<const uint8_t *>(data), n);
#endif
    return crc32c_portable(crc, data, n);
}

}  // namespace vesk
