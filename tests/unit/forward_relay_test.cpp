// The accept-and-relay loop under the conditions that a busy forwarder meets:
// clients that reset their connection while the far side is silent, and
// descriptors running out while clients queue.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "vesknet.h"

namespace {

constexpr int kWaitMs = 10000;
constexpr int kPollStepMs = 20;
constexpr int kBacklog = 16;

int remote_port;

int listen_any(int *port) {
    for (int p = 30000 + (getpid() % 20000); p < 65000; ++p) {
        int fd = bind_tcp_listen(p, kBacklog);
        if (fd >= 0) {
            *port = p;
            return fd;
        }
    }
    return -1;
}

int connect_local(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

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

// Runs do_connect on lfd in a child; the guard kills it when the test ends.
// max_fds > 0 caps the child's descriptors (soft and hard, so the relay
// cannot lift it) after closing everything it does not need.
struct RelayChild {
    pid_t pid = -1;
    RelayChild(int lfd, int max_fds) {
        pid = fork();
        if (pid != 0) return;
        if (max_fds > 0) {
            dup2(lfd, 3);
            for (int fd = 4; fd < 1024; ++fd) close(fd);
            lfd = 3;
            rlimit lim{static_cast<rlim_t>(max_fds), static_cast<rlim_t>(max_fds)};
            setrlimit(RLIMIT_NOFILE, &lim);
        }
        int fds[1] = {lfd};
        do_connect(1, fds, to_remote);
        _exit(0);
    }
    ~RelayChild() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// Reads until EOF or kWaitMs of silence; returns what came.
std::string read_all(int fd) {
    std::string got;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kWaitMs) <= 0) break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// Reads what arrives within kWaitMs, at most one read.
std::string read_some(int fd) {
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) <= 0) return "";
    ssize_t n = read(fd, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

}  // namespace

TEST(ForwardRelay, ResetClientFreesRelayWhileFarSideIsSilent) {
    signal(SIGPIPE, SIG_IGN);
    int rfd = listen_any(&remote_port);
    ASSERT_GE(rfd, 0);
    int port = 0;
    int lfd = listen_any(&port);
    ASSERT_GE(lfd, 0);
    RelayChild child(lfd, 0);
    ASSERT_GT(child.pid, 0);
    close(lfd);

    int c = connect_local(port);
    ASSERT_GE(c, 0);
    pollfd p{rfd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, kWaitMs), 1);
    int far = accept(rfd, nullptr, nullptr);
    ASSERT_GE(far, 0);
    ASSERT_EQ(write(c, "hello", 5), 5);
    EXPECT_EQ(read_some(far), "hello");
    // The relay now holds its two descriptors.
    int baseline = open_fds(child.pid) - 2;
    // Abortive close: the relay sees a reset, not an orderly end.
    linger hard{1, 0};
    setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(c);

    // The far side never speaks, yet the relay must end: it passes the end on
    // and gives back both descriptors.
    EXPECT_EQ(read_all(far), "");
    int left = -1;
    for (int waited = 0; waited < kWaitMs; waited += kPollStepMs) {
        left = open_fds(child.pid);
        if (left == baseline) break;
        usleep(kPollStepMs * 1000);
    }
    EXPECT_EQ(left, baseline);
    close(far);
    close(rfd);
}

TEST(ForwardRelay, ClientsQueuedWhileOutOfDescriptorsAreServedLater) {
    signal(SIGPIPE, SIG_IGN);
    int rfd = listen_any(&remote_port);
    ASSERT_GE(rfd, 0);
    int port = 0;
    int lfd = listen_any(&port);
    ASSERT_GE(lfd, 0);
    // Descriptors 0-3 are taken (stdio and the listener); 4 goes to epoll,
    // which leaves 5-8: exactly two relays of two descriptors each.
    constexpr int kRelayFdLimit = 9;
    RelayChild child(lfd, kRelayFdLimit);
    ASSERT_GT(child.pid, 0);
    close(lfd);

    // Far side: echo every connection until it ends.
    std::atomic<bool> stop{false};
    std::thread echo([rfd, &stop] {
        std::vector<std::thread> workers;
        while (!stop) {
            pollfd p{rfd, POLLIN, 0};
            if (poll(&p, 1, kPollStepMs) <= 0) continue;
            int s = accept(rfd, nullptr, nullptr);
            if (s < 0) continue;
            workers.emplace_back([s] {
                char buf[4096];
                for (;;) {
                    pollfd q{s, POLLIN, 0};
                    if (poll(&q, 1, kWaitMs) <= 0) break;
                    ssize_t n = read(s, buf, sizeof buf);
                    if (n <= 0 || write(s, buf, static_cast<size_t>(n)) != n) break;
                }
                close(s);
            });
        }
        for (auto &w : workers) w.join();
    });

    auto roundtrip = [](int fd, const std::string &msg) {
        if (write(fd, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) return false;
        std::string got;
        char buf[256];
        while (got.size() < msg.size()) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kWaitMs) <= 0) return false;
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) return false;
            got.append(buf, static_cast<size_t>(n));
        }
        return got == msg;
    };
    int a = connect_local(port);
    int b = connect_local(port);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_TRUE(roundtrip(a, "first"));
    EXPECT_TRUE(roundtrip(b, "second"));
    // The third client completes its handshake in the kernel's queue but
    // cannot be accepted until a relay ends.
    int c = connect_local(port);
    ASSERT_GE(c, 0);
    close(a);
    EXPECT_TRUE(roundtrip(c, "third, after a descriptor came back"));
    EXPECT_TRUE(roundtrip(b, "second is still fine"));
    close(b);
    close(c);
    stop = true;
    echo.join();
    close(rfd);
}
