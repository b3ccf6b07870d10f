#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "buffer_internal.h"
#include "testnet.h"
#include "vesknet.h"

namespace {
constexpr int kBuffMaxBytes = 256 * 1024;
constexpr int kReadChunkBytes = 64 * 1024;
}  // namespace

TEST(Buffer, FifoOrderAndEmpty) {
    vesk_buff b{};
    EXPECT_EQ(get_from_buffer(&b), -1);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(add_to_buffer(&b, i & 0xFF), 0);
    EXPECT_EQ(b.count, 300u);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(get_from_buffer(&b), i & 0xFF);
    EXPECT_EQ(get_from_buffer(&b), -1);
    vesk::buffer_release(&b);
    EXPECT_EQ(b.store, 0u);
}

TEST(Buffer, PrimeLeavesEmptyWithStorage) {
    vesk_buff b{};
    add_to_buffer(&b, 0);
    EXPECT_EQ(get_from_buffer(&b), 0);
    EXPECT_EQ(b.count, 0u);
    EXPECT_NE(b.store, 0u);
    vesk::buffer_release(&b);
}

TEST(Buffer, CapacityBounded) {
    vesk_buff b{};
    int added = 0;
    while (add_to_buffer(&b, 'x') == 0 && added <= kBuffMaxBytes) ++added;
    EXPECT_EQ(added, kBuffMaxBytes);
    vesk::buffer_release(&b);
}

TEST(Buffer, CallerZeroingEmpties) {
    vesk_buff b{};
    add_to_buffer(&b, 'a');
    add_to_buffer(&b, 'b');
    get_from_buffer(&b);
    b.start = b.end = b.count = 0;
    EXPECT_EQ(get_from_buffer(&b), -1);
    add_to_buffer(&b, 'z');
    EXPECT_EQ(get_from_buffer(&b), 'z');
    vesk::buffer_release(&b);
}

TEST(Buffer, ReadWriteThroughPipe) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "hello", 5), 5);
    vesk_buff b{};
    EXPECT_EQ(read_into_buff(p[0], &b, 3), 3);
    EXPECT_EQ(read_into_buff(p[0], &b, 0), 2);
    EXPECT_EQ(b.count, 5u);
    int q[2];
    ASSERT_EQ(pipe(q), 0);
    EXPECT_EQ(write_from_buff(q[1], &b, 2), 2);
    EXPECT_EQ(write_from_buff(q[1], &b, 0), 3);
    EXPECT_EQ(b.count, 0u);
    char got[8] = {};
    ASSERT_EQ(read(q[0], got, sizeof got), 5);
    EXPECT_STREQ(got, "hello");
    close(p[1]);
    veskerrno = 0;
    EXPECT_EQ(read_into_buff(p[0], &b, 0), 0);
    EXPECT_NE(veskerrno, 0);
    testnet::close_all({p[0], q[0], q[1]});
    vesk::buffer_release(&b);
}

TEST(Buffer, ReadChunkLimitAndEagain) {
    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    fcntl(s[0], F_SETFL, O_NONBLOCK);
    vesk_buff b{};
    EXPECT_EQ(read_into_buff(s[0], &b, 0), 0);
    EXPECT_EQ(veskerrno, 0);
    std::string big(3 * kReadChunkBytes, 'q');
    fcntl(s[1], F_SETFL, O_NONBLOCK);
    ssize_t sent = write(s[1], big.data(), big.size());
    ASSERT_GT(sent, kReadChunkBytes);
    int got = read_into_buff(s[0], &b, 0);
    EXPECT_GT(got, 0);
    EXPECT_LE(got, kReadChunkBytes);
    testnet::close_all({s[0], s[1]});
    vesk::buffer_release(&b);
}

TEST(Buffer, WriteToClosedPeerFinishes) {
    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    close(s[1]);
    signal(SIGPIPE, SIG_IGN);
    vesk_buff b{};
    add_to_buffer(&b, 'x');
    EXPECT_LT(write_from_buff(s[0], &b, 0), 1);
    EXPECT_EQ(veskerrno, EPIPE);
    add_to_buffer(&b, 'y');
    EXPECT_LT(write_from_buff_async(s[0], &b, 0), 1);
    EXPECT_EQ(veskerrno, EPIPE);
    close(s[0]);
    vesk::buffer_release(&b);
}

TEST(Buffer, AsyncWriteDoesNotBlock) {
    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    vesk_buff b{};
    for (int i = 0; i < kBuffMaxBytes; ++i) add_to_buffer(&b, 'a');
    int total = 0;
    for (int i = 0; i < 100; ++i) {
        int n = write_from_buff_async(s[0], &b, 0);
        if (n < 1) break;
        total += n;
    }
    EXPECT_LT(total, kBuffMaxBytes);
    EXPECT_EQ(veskerrno, 0);
    EXPECT_EQ(static_cast<int>(b.count), kBuffMaxBytes - total);
    testnet::close_all({s[0], s[1]});
    vesk::buffer_release(&b);
}
