// ByteQueue: the hard cap, size arithmetic that cannot wrap, reuse of
// consumed space, and a round trip through a descriptor; OneWay's give, which
// writes fresh bytes past an empty queue.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "bytequeue.h"
#include "oneway.h"

namespace {

TEST(ByteQueue, CapRefusesWholeAppend) {
    vesk::ByteQueue q(8);
    EXPECT_TRUE(q.append("abcde"));
    EXPECT_FALSE(q.append("wxyz"));  // 9 > 8: nothing taken
    EXPECT_EQ(q.peek(), "abcde");
    EXPECT_TRUE(q.append("xyz"));
    EXPECT_EQ(q.room(), 0u);
    EXPECT_FALSE(q.append(static_cast<const void *>("a"), SIZE_MAX));  // would wrap
    EXPECT_EQ(q.size(), 8u);
}

TEST(ByteQueue, ConsumedSpaceIsReused) {
    vesk::ByteQueue q(16);
    std::string all;
    for (int i = 0; i < 100; ++i) {
        std::string piece(5, char('a' + i % 26));
        ASSERT_TRUE(q.append(piece)) << i;
        all += piece;
        if (q.size() > 10) {
            ASSERT_EQ(q.peek(), all.substr(0, q.size()));
            all.erase(0, 7);
            q.consume(7);
        }
    }
    EXPECT_EQ(q.peek(), all);
    q.consume(SIZE_MAX);
    EXPECT_TRUE(q.empty());
}

TEST(ByteQueue, DescriptorRoundTrip) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    vesk::ByteQueue out(64), in(4);
    ASSERT_TRUE(out.append("hello"));
    EXPECT_EQ(out.write_to(sv[0]), 5);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.write_to(sv[0]), 0);  // nothing held, no call
    EXPECT_EQ(in.read_from(sv[1]), 4);  // bounded by the cap
    EXPECT_EQ(in.read_from(sv[1]), -1);
    EXPECT_EQ(errno, ENOBUFS);
    in.consume(4);
    EXPECT_EQ(in.read_from(sv[1]), 1);
    EXPECT_EQ(in.peek(), "o");
    EXPECT_EQ(in.read_from(sv[1]), -1);
    EXPECT_EQ(errno, EAGAIN);
    close(sv[0]);
    EXPECT_EQ(in.read_from(sv[1]), 0);
    close(sv[1]);
}

// Fresh bytes go straight out while nothing is held; once the socket is full
// they wait behind what is held, in order, and past the cap they are refused.
TEST(OneWay, GiveWritesPastAnEmptyQueueAndKeepsOrder) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    vesk::OneWay out(1 << 20);
    bool refused = true;
    EXPECT_EQ(out.give(sv[0], "abc", &refused).written, 3u);
    EXPECT_FALSE(refused);
    EXPECT_TRUE(out.queue().empty());
    std::string sent = "abc", big(64 * 1024, 'x');
    for (char &c : big) c = char('a' + (&c - big.data()) % 26);
    for (int i = 0; i < 4 && out.queue().empty(); i++) {
        out.give(sv[0], big, &refused);
        sent += big;
    }
    ASSERT_FALSE(out.queue().empty());  // the socket filled up
    out.give(sv[0], "tail", &refused);
    sent += "tail";
    EXPECT_FALSE(refused);
    EXPECT_TRUE(out.give(sv[0], std::string(2 << 20, 'z'), &refused).error == 0);
    EXPECT_TRUE(refused);
    std::string got;
    char buf[65536];
    for (int spins = 0; spins < 10000 && got.size() < sent.size(); spins++) {
        out.pump(-1, sv[0]);
        ssize_t n = read(sv[1], buf, sizeof buf);
        if (n > 0) got.append(buf, size_t(n));
    }
    EXPECT_EQ(got, sent);
    close(sv[0]);
    close(sv[1]);
}

}  // namespace
