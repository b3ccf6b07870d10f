// The accept-and-relay loop under the conditions that a busy forwarder meets:
// clients that reset their connection while the far side is silent, and
// descriptors running out while clients queue.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "testnet.h"
#include "vesknet.h"

using namespace testnet;

namespace {

constexpr int kPollStepMs = 20;
constexpr int kBacklog = 16;

int remote_port;

int to_remote(int, sockaddr_in *) {
    return connect_local(remote_port);
}

int open_fds(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n - 2;  // . and ..
}

}  // namespace

TEST(ForwardRelay, ResetClientFreesRelayWhileFarSideIsSilent) {
    signal(SIGPIPE, SIG_IGN);
    Forward fw;
    ASSERT_TRUE(fw.start(&remote_port, kBacklog, 0, to_remote));

    int c = connect_local(fw.port);
    ASSERT_GE(c, 0);
    pollfd p{fw.far, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, kWaitMs), 1);
    int far = accept(fw.far, nullptr, nullptr);
    ASSERT_GE(far, 0);
    ASSERT_EQ(write(c, "hello", 5), 5);
    EXPECT_EQ(read_upto(far, 5, kWaitMs), "hello");
    // The relay now holds its two descriptors.
    int baseline = open_fds(fw.relay) - 2;
    // Abortive close: the relay sees a reset, not an orderly end.
    linger hard{1, 0};
    setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(c);

    // The far side never speaks, yet the relay must end: it passes the end on
    // and gives back both descriptors.
    EXPECT_EQ(read_upto(far, SIZE_MAX, kWaitMs), "");
    int left = -1;
    for (int waited = 0; waited < kWaitMs; waited += kPollStepMs) {
        left = open_fds(fw.relay);
        if (left == baseline) break;
        usleep(kPollStepMs * 1000);
    }
    EXPECT_EQ(left, baseline);
    close(far);
}

TEST(ForwardRelay, ClientsQueuedWhileOutOfDescriptorsAreServedLater) {
    signal(SIGPIPE, SIG_IGN);
    Forward fw;
    // Descriptors 0-3 are taken (stdio and the listener); 4 goes to epoll,
    // which leaves 5-8: exactly two relays of two descriptors each.
    constexpr int kRelayFdLimit = 9;
    ASSERT_TRUE(fw.start(&remote_port, kBacklog, kRelayFdLimit, to_remote));

    EchoServer echo(fw.far, kWaitMs);  // the far side

    auto roundtrip = [](int fd, const std::string &msg) {
        return write_all(fd, msg) && read_upto(fd, msg.size(), kWaitMs) == msg;
    };
    int a = connect_local(fw.port);
    int b = connect_local(fw.port);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_TRUE(roundtrip(a, "first"));
    EXPECT_TRUE(roundtrip(b, "second"));
    // The third client completes its handshake in the kernel's queue but
    // cannot be accepted until a relay ends.
    int c = connect_local(fw.port);
    ASSERT_GE(c, 0);
    close(a);
    EXPECT_TRUE(roundtrip(c, "third, after a descriptor came back"));
    EXPECT_TRUE(roundtrip(b, "second is still fine"));
    close(b);
    close(c);
}
