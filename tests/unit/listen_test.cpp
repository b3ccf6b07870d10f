// Listening ports through the library: the port range, a port in use, the
// address text, and do_connect relaying hundreds of connections at once.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "testnet.h"
#include "vesknet.h"

using namespace testnet;

namespace {
constexpr int kConnections = 300;
constexpr int kBacklog = 512;

int echo_port;

int bound_port(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin_port);
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
    int fd = listen_any(&port, kBacklog);
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
    Forward fw;
    ASSERT_TRUE(fw.start(&echo_port, kBacklog, 0, to_echo));
    EchoServer echo(fw.far, kWaitMs);
    std::vector<int> clients;
    for (int i = 0; i < kConnections; ++i) {
        int c = connect_local(fw.port);
        ASSERT_GE(c, 0);
        clients.push_back(c);
    }
    int good = 0;
    for (int i = 0; i < kConnections; ++i) {
        std::string msg = "conn-" + std::to_string(i) + std::string(1000, 'x');
        ASSERT_EQ(write(clients[i], msg.data(), msg.size()), static_cast<ssize_t>(msg.size()));
        shutdown(clients[i], SHUT_WR);
        std::string got = read_upto(clients[i], SIZE_MAX, kWaitMs);
        if (got == msg) ++good;
        close(clients[i]);
    }
    EXPECT_EQ(good, kConnections);
}
