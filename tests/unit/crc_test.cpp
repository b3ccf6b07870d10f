// file_crc and the CRC-16 block paths against a bitwise reference.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>
#include <unistd.h>

#include "crc.h"
#include "vesknet.h"

namespace {
// Bitwise reference, independent of the table code.
unsigned reference_crc(const std::string &s) {
    unsigned crc = 0xFFFF;
    for (unsigned char c : s) {
        crc ^= static_cast<unsigned>(c) << 8;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
    }
    return crc;
}

// file_crc over the first len bytes of a file holding data.
unsigned crc_of(const std::string &data, long len) {
    char path[] = "/tmp/vesk_crc_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
    unsigned crc = file_crc(path, len);
    unlink(path);
    return crc;
}
}  // namespace

TEST(Crc, CheckValue) {
    EXPECT_EQ(crc_of("123456789", 0), 0x29B1u);
    EXPECT_EQ(crc_of("123456789", 9), 0x29B1u);
}

TEST(Crc, PrefixLength) {
    EXPECT_EQ(crc_of("123456789abc", 9), 0x29B1u);
}

TEST(Crc, EmptyFileIsInit) {
    EXPECT_EQ(crc_of("", 0), 0xFFFFu);
}

TEST(Crc, ShorterThanLen) {
    EXPECT_EQ(crc_of("abc", 4), 0u);
}

TEST(Crc, Unreadable) {
    EXPECT_EQ(file_crc("/nonexistent/vesk/file", 0), 0u);
}

TEST(Crc, LargeMatchesReference) {
    std::string data;
    for (int i = 0; i < 3 * 1024 * 1024 + 13; ++i)
        data.push_back(static_cast<char>((i * 131) ^ (i >> 7)));
    EXPECT_EQ(crc_of(data, 0), reference_crc(data));
    EXPECT_EQ(crc_of(data, 1000003), reference_crc(data.substr(0, 1000003)));
}

// Table and carry-less paths must agree with the bitwise reference for every
// length around the fast path's thresholds and block sizes, at every
// alignment, and from any running state (file_crc chains blocks through it).
TEST(Crc, FastPathMatchesTableOnRandomData) {
    if (!vesk::crc16_clmul_available()) GTEST_SKIP() << "no carry-less multiply on this CPU";
    std::mt19937 rng(12345);
    std::vector<uint8_t> data(70000);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 600; ++n) lengths.push_back(n);
    for (size_t n : {1023, 1024, 1025, 4095, 4096, 4097, 65535, 65536, 65537}) lengths.push_back(n);
    for (int i = 0; i < 40; ++i) lengths.push_back(rng() % 65000);
    int checked = 0;
    for (size_t n : lengths) {
        size_t offset = rng() % 16;
        uint16_t state = (n % 3 == 0) ? 0xFFFF : static_cast<uint16_t>(rng());
        const uint8_t *p = data.data() + offset;
        uint16_t table = vesk::crc16_table(state, p, n);
        ASSERT_EQ(vesk::crc16_clmul(state, p, n), table) << "length " << n << " state " << state;
        if (n < 2048 && state == 0xFFFF) {
            std::string s(reinterpret_cast<const char *>(p), n);
            ASSERT_EQ(table, reference_crc(s)) << "length " << n;
        }
        ++checked;
    }
    EXPECT_GT(checked, 600);
}

TEST(Crc, FastPathCheckValueAndAllOnes) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(vesk::crc16_update(0xFFFF, check, sizeof check), 0x29B1);
    // Long runs of one byte value exercise the folds without help from
    // varied data; both extremes.
    for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}}) {
        std::vector<uint8_t> run(4099, fill);
        std::string s(run.begin(), run.end());
        EXPECT_EQ(vesk::crc16_update(0xFFFF, run.data(), run.size()), reference_crc(s));
    }
}
