// do_select_loop: copying both ways, the ends of each side, and an output that fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "testnet.h"
#include "vesknet.h"

namespace {
constexpr int kWaitMs = 5000;

// A hung relay fails the test instead of hanging it.
std::string read_all(int fd) {
    return testnet::read_upto(fd, SIZE_MAX, kWaitMs, "<timeout>");
}

// The loop's three descriptors: a two-way socket pair, an input and an output
// pipe; with dead_output nobody reads the output, so that writes to it fail.
bool open_ends(int tw[2], int in[2], int out[2], bool dead_output = false) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, tw) != 0 || pipe(in) != 0 || pipe(out) != 0)
        return false;
    if (dead_output) close(out[0]);
    return true;
}
}  // namespace

using testnet::write_all;

TEST(Relay, CopiesBothWays) {
    signal(SIGPIPE, SIG_IGN);
    int tw[2], in[2], out[2];
    ASSERT_TRUE(open_ends(tw, in, out));
    const std::string up(200000, 'u');
    const std::string down(150000, 'd');
    std::thread relay([&] { do_select_loop(tw[0], in[0], out[1]); });
    std::string far_got;
    std::thread far([&] {
        // Reading first: the loop abandons the input once the far side ends.
        far_got = testnet::read_upto(tw[1], up.size(), kWaitMs);
        write_all(tw[1], down);
        close(tw[1]);
    });
    std::string out_got;
    std::thread reader([&] { out_got = read_all(out[0]); });
    write_all(in[1], up);
    far.join();
    // The far side's end alone finishes the loop; ending the input earlier
    // would let it drop the far side's unread data.
    relay.join();
    testnet::close_all({in[1], out[1]});
    reader.join();
    EXPECT_EQ(far_got.size(), up.size());
    EXPECT_TRUE(far_got == up);
    EXPECT_EQ(out_got.size(), down.size());
    EXPECT_TRUE(out_got == down);
    testnet::close_all({in[0], out[0]});
}

TEST(Relay, InputAtEofClosesTwoway) {
    int tw[2], in[2], out[2];
    ASSERT_TRUE(open_ends(tw, in, out));
    close(in[1]);
    do_select_loop(tw[0], in[0], out[1]);
    // The two-way descriptor was closed by the loop: the far end sees EOF.
    EXPECT_EQ(read_all(tw[1]), "");
    EXPECT_EQ(fcntl(tw[0], F_GETFD), -1);
    EXPECT_GE(fcntl(in[0], F_GETFD), 0);
    EXPECT_GE(fcntl(out[1], F_GETFD), 0);
    testnet::close_all({tw[1], in[0], out[0], out[1]});
}

TEST(Relay, NegativeInputReturnsAtOnce) {
    int tw[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, tw), 0);
    do_select_loop(tw[0], -1, -1);
    EXPECT_EQ(read_all(tw[1]), "");
    close(tw[1]);
}

TEST(Relay, NegativeTwowayReturnsWithoutClosing) {
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    EXPECT_EQ(do_select_loop(-1, in[0], in[1]), 0);
    EXPECT_GE(fcntl(in[0], F_GETFD), 0);
    EXPECT_GE(fcntl(in[1], F_GETFD), 0);
    testnet::close_all({in[0], in[1]});
}

TEST(Relay, FailedOutputDiscardsUntilTwowayEnds) {
    signal(SIGPIPE, SIG_IGN);
    int tw[2], in[2], out[2];
    ASSERT_TRUE(open_ends(tw, in, out, true));
    std::thread relay([&] { do_select_loop(tw[0], in[0], out[1]); });
    for (int i = 0; i < 10; ++i) ASSERT_EQ(write(tw[1], "data", 4), 4);
    shutdown(tw[1], SHUT_WR);
    close(in[1]);
    relay.join();
    EXPECT_EQ(read_all(tw[1]), "");
    testnet::close_all({tw[1], in[0], out[1]});
}

TEST(Relay, FailedOutputStillReadsTwowayWhileInputIsSilent) {
    signal(SIGPIPE, SIG_IGN);
    int tw[2], in[2], out[2];
    ASSERT_TRUE(open_ends(tw, in, out, true));
    auto relay =
        std::async(std::launch::async, [&] { return do_select_loop(tw[0], in[0], out[1]); });
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(write(tw[1], "data", 4), 4);
        usleep(1000);
    }
    shutdown(tw[1], SHUT_WR);
    bool ended = relay.wait_for(std::chrono::milliseconds(kWaitMs)) == std::future_status::ready;
    close(in[1]);  // frees a hung loop so that the test ends either way
    relay.wait();
    EXPECT_TRUE(ended);
    testnet::close_all({tw[1], in[0], out[1]});
}
