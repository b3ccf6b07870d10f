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
__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(uint32_t crc, const uint8_t *p, size_t n) {
    uint64_t c = ~crc;
    while (n >= 8) {
        uint64_t v;
        memcpy(&v, p, 8);
        c = __builtin_ia32_crc32di(c, v);
        p += 8;
        n -= 8;
    }
    uint32_t c32 = uint32_t(c);
    while (n-- > 0) c32 = __builtin_ia32_crc32qi(c32, *p++);
    return ~c32;
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
