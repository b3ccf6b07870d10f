// File checksum as the link server reports it: CRC-16/CCITT-FALSE (see crc.h).
#include <algorithm>
#include <array>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <new>
#include <memory>

#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "crc.h"

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

}  // namespace

namespace vesk {

uint16_t crc16_table(uint16_t crc, const uint8_t *p, size_t n) {
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

}  // namespace vesk

#if defined(__x86_64__) || defined(__i386__)

namespace {

// The carry-less path keeps a 128-bit register X that is congruent, modulo
// the generator, to all data folded so far (bit i = coefficient of x^i, the
// first byte of a block in the top bits, as the CRC reads it).  Moving X
// forward over D bits of new data is X*x^D: with X = H*x^64 + L that is
// H*(x^(D+64) mod P) + L*(x^D mod P), two 64x16-bit carry-less products that
// fit in 80 bits, so no reduction is needed until the very end.

constexpr uint32_t kGenerator = 0x10000U | kPoly;  // x^16 + x^12 + x^5 + 1
constexpr size_t kLane = 16;                       // bytes per 128-bit register
constexpr size_t kLanes = 4;                       // independent folds in flight
constexpr size_t kStride = kLane * kLanes;         // bytes folded per main-loop pass
constexpr size_t kClmulMin = 2 * kStride;          // bytes; below this the table path wins

// x^d mod P, degree below 16.
constexpr uint64_t xpow_mod(unsigned d) {
    uint32_t r = 1;
    for (unsigned i = 0; i < d; ++i) {
        r <<= 1;
        if (r & 0x10000U) r ^= kGenerator;
    }
    return r;
}

__attribute__((target("pclmul,ssse3"))) inline __m128i load_be(const uint8_t *p) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), reverse);
}

// X*x^D mod P for the pair of constants k = {lo: x^D mod P, hi: x^(D+64) mod P}.
__attribute__((target("pclmul,ssse3"))) inline __m128i fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00));
}

}  // namespace

namespace vesk {

__attribute__((target("pclmul,ssse3"))) uint16_t crc16_clmul(uint16_t crc, const uint8_t *p,
                                                             size_t n) {
    if (n < kClmulMin) return crc16_table(crc, p, n);
    const __m128i k_stride = _mm_set_epi64x(static_cast<int64_t>(xpow_mod(kStride * 8 + 64)),
                                            static_cast<int64_t>(xpow_mod(kStride * 8)));
    const __m128i k_lane = _mm_set_epi64x(static_cast<int64_t>(xpow_mod(kLane * 8 + 64)),
                                          static_cast<int64_t>(xpow_mod(kLane * 8)));
    __m128i x0 = load_be(p);
    __m128i x1 = load_be(p + kLane);
    __m128i x2 = load_be(p + 2 * kLane);
    __m128i x3 = load_be(p + 3 * kLane);
    // The running state stands for the data before p; it enters as the top
    // 16 bits of the first block.
    x0 = _mm_xor_si128(x0, _mm_set_epi64x(static_cast<int64_t>(uint64_t{crc} << 48), 0));
    p += kStride;
    n -= kStride;
    while (n >= kStride) {
        x0 = _mm_xor_si128(fold(x0, k_stride), load_be(p));
        x1 = _mm_xor_si128(fold(x1, k_stride), load_be(p + kLane));
        x2 = _mm_xor_si128(fold(x2, k_stride), load_be(p + 2 * kLane));
        x3 = _mm_xor_si128(fold(x3, k_stride), load_be(p + 3 * kLane));
        p += kStride;
        n -= kStride;
    }
    __m128i x = _mm_xor_si128(fold(x0, k_lane), x1);
    x = _mm_xor_si128(fold(x, k_lane), x2);
    x = _mm_xor_si128(fold(x, k_lane), x3);
    while (n >= kLane) {
        x = _mm_xor_si128(fold(x, k_lane), load_be(p));
        p += kLane;
        n -= kLane;
    }
    // The CRC state of the folded data is X*x^16 mod P, which is what the
    // table path makes of X's 16 bytes from a zero state.
    alignas(16) uint8_t bytes[kLane];
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    _mm_store_si128(reinterpret_cast<__m128i *>(bytes), _mm_shuffle_epi8(x, reverse));
    return crc16_table(crc16_table(0, bytes, kLane), p, n);
}

bool crc16_clmul_available() {
    static const bool available =
        __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    return available;
}

}  // namespace vesk

#else

namespace vesk {
uint16_t crc16_clmul(uint16_t crc, const uint8_t *p, size_t n) {
    return crc16_table(crc, p, n);
}
bool crc16_clmul_available() {
    return false;
}
}  // namespace vesk

#endif

namespace vesk {
uint16_t crc16_update(uint16_t crc, const uint8_t *p, size_t n) {
    return crc16_clmul_available() ? crc16_clmul(crc, p, n) : crc16_table(crc, p, n);
}

CrcReader::CrcReader(long len) : len_(len), left_(len), crc_(kInit) {
    failed_ = done_ = len < 0;
}

bool CrcReader::step(int fd, size_t max) {
    if (done_ || max == 0) return done_;
    if (len_ > 0 && left_ == 0) return done_ = true;
    // The block lives for this step only: a checksum waiting for its next
    // slice holds no memory for it.  A short file needs no full block.
    size_t size = std::min(kBlockBytes, max);
    if (len_ > 0 && static_cast<unsigned long>(left_) < size) size = static_cast<size_t>(left_);
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[size]);
    if (!block) {
        fail();
        return true;
    }
    while (!done_ && max > 0) {
        if (len_ > 0 && left_ == 0) break;
        size_t want = std::min(size, max);
        if (len_ > 0 && static_cast<unsigned long>(left_) < want) want = static_cast<size_t>(left_);
        ssize_t got = pread(fd, block.get(), want, offset_);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail();
            break;
        }
        if (got == 0) {
            // The end: before len bytes, there is no checksum of them.
            failed_ = len_ > 0;
            done_ = true;
            break;
        }
        crc_ = crc16_update(crc_, block.get(), static_cast<size_t>(got));
        offset_ += got;
        if (len_ > 0) left_ -= got;
        max -= static_cast<size_t>(got);
    }
    if (len_ > 0 && left_ == 0) done_ = true;
    return done_;
}
}  // namespace vesk
