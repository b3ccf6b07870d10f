#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "vesknet.h"

namespace {
std::string write_temp(const std::string &data) {
    char path[] = "/tmp/vesk_crc_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
    return path;
}

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
}  // namespace

TEST(Crc, CheckValue) {
    auto p = write_temp("123456789");
    EXPECT_EQ(file_crc(p.c_str(), 0), 0x29B1u);
    EXPECT_EQ(file_crc(p.c_str(), 9), 0x29B1u);
    unlink(p.c_str());
}

TEST(Crc, PrefixLength) {
    auto p = write_temp("123456789abc");
    EXPECT_EQ(file_crc(p.c_str(), 9), 0x29B1u);
    unlink(p.c_str());
}

TEST(Crc, EmptyFileIsInit) {
    auto p = write_temp("");
    EXPECT_EQ(file_crc(p.c_str(), 0), 0xFFFFu);
    unlink(p.c_str());
}

TEST(Crc, ShorterThanLen) {
    auto p = write_temp("abc");
    EXPECT_EQ(file_crc(p.c_str(), 4), 0u);
    unlink(p.c_str());
}

TEST(Crc, Unreadable) {
    EXPECT_EQ(file_crc("/nonexistent/vesk/file", 0), 0u);
}

TEST(Crc, LargeMatchesReference) {
    std::string data;
    for (int i = 0; i < 3 * 1024 * 1024 + 13; ++i)
        data.push_back(static_cast<char>((i * 131) ^ (i >> 7)));
    auto p = write_temp(data);
    EXPECT_EQ(file_crc(p.c_str(), 0), reference_crc(data));
    EXPECT_EQ(file_crc(p.c_str(), 1000003), reference_crc(data.substr(0, 1000003)));
    unlink(p.c_str());
}
