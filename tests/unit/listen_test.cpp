#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "vesknet.h"

namespace {
constexpr int kWaitMs = 10000;
constexpr int kConnections = 300;
constexpr int kBacklog = 512;

int echo_port;

int bound_port(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin_port);
}

// Binds an ephemeral port through the library by probing upwards from a random base.
int listen_any(int *port) {
    for (int p = 20000 + (getpid() % 20000); p < 65000; ++p) {
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

int to_echo(int index, sockaddr_in *peer) {
    if (index != 0 || peer->sin_addr.s_addr != htonl(INADDR_LOOPBACK)) return -1;
    return connect_local(echo_port);
}
}  // namespace

TEST(Listen, PortRange) {
    EXPECT_EQ(bind_tcp_listen(0, 5), -1);
    EXPECT_EQ(bind_tcp_listen(70000, 5), -1);
}

TEST(Listen, InUseIsMinusTwo) {
    int port = 0;
    int fd = listen_any(&port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bound_port(fd), port);
    EXPECT_EQ(bind_tcp_listen(port, 5), -2);
    close(fd);
}

TEST(Listen, AddrText) {
    sockaddr_in sa{};
    sa.sin_addr.s_addr = htonl(0x0A000102);
    sa.sin_port = 8080;
    EXPECT_STREQ(sockaddr_to_str(&sa, 0), "10.0.1.2:8080");
}

TEST(Listen, RelaysManyConnections) {
    signal(SIGPIPE, SIG_IGN);
    int efd = listen_any(&echo_port);
    ASSERT_GE(efd, 0);
    int port = 0;
    int lfd = listen_any(&port);
    ASSERT_GE(lfd, 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(efd);
        int fds[1] = {lfd};
        do_connect(1, fds, to_echo);
        _exit(0);
    }
    close(lfd);
    // Kills the relay child even when an assertion leaves the test early.
    struct ChildGuard {
        pid_t pid;
        ~ChildGuard() {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } guard{child};
    // Echo server: one thread per connection, echoes until EOF then closes.
    std::thread echo([efd] {
        std::vector<std::thread> workers;
        for (int i = 0; i < kConnections; ++i) {
            pollfd p{efd, POLLIN, 0};
            if (poll(&p, 1, kWaitMs) <= 0) break;
            int c = accept(efd, nullptr, nullptr);
            if (c < 0) break;
            workers.emplace_back([c] {
                char buf[8192];
                for (;;) {
                    pollfd q{c, POLLIN, 0};
                    if (poll(&q, 1, kWaitMs) <= 0) break;
                    ssize_t n = read(c, buf, sizeof buf);
                    if (n <= 0) break;
                    if (write(c, buf, static_cast<size_t>(n)) != n) break;
                }
                close(c);
            });
        }
        for (auto &w : workers) w.join();
    });
    std::vector<int> clients;
    for (int i = 0; i < kConnections; ++i) {
        int c = connect_local(port);
        ASSERT_GE(c, 0);
        clients.push_back(c);
    }
    int good = 0;
    for (int i = 0; i < kConnections; ++i) {
        std::string msg = "conn-" + std::to_string(i) + std::string(1000, 'x');
        ASSERT_EQ(write(clients[i], msg.data(), msg.size()), static_cast<ssize_t>(msg.size()));
        shutdown(clients[i], SHUT_WR);
        std::string got;
        char buf[4096];
        for (;;) {
            pollfd p{clients[i], POLLIN, 0};
            if (poll(&p, 1, kWaitMs) <= 0) break;
            ssize_t n = read(clients[i], buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        if (got == msg) ++good;
        close(clients[i]);
    }
    EXPECT_EQ(good, kConnections);
    echo.join();
    close(efd);
}
