#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tempdir.h"
#include "vesknet.h"

namespace {

// A stand-in link server on $HOME/.vesk/socket that records every request and
// answers from a script.
class StandIn {
  public:
    using Script = std::function<std::string(const std::string &request)>;
    // hang_up: close each connection after its first reply.
    StandIn(const std::string &path, Script script, bool hang_up = false)
        : script_(std::move(script)), hang_up_(hang_up) {
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        strcpy(sa.sun_path, path.c_str());
        unlink(path.c_str());
        if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
            listen(listen_fd_, 4) != 0) {
            ADD_FAILURE() << "stand-in cannot listen on " << path;
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~StandIn() {
        shutdown(listen_fd_, SHUT_RDWR);
        close(listen_fd_);
        thread_.join();
    }
    // The requests seen so far; the serving thread adds to them meanwhile.
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return requests_;
    }
    std::atomic<int> connections{0};

  private:
    // Connections are served one after another until the stand-in is
    // destroyed, so a test can connect several times.
    void serve() {
        for (;;) {
            int c = accept(listen_fd_, nullptr, nullptr);
            if (c < 0) return;
            ++connections;
            std::string cur;
            char ch;
            while (read(c, &ch, 1) == 1) {
                cur.push_back(ch);
                if (ch == '\0') {
                    {
                        std::lock_guard<std::mutex> hold(mutex_);
                        requests_.push_back(cur);
                    }
                    std::string r = script_(cur);
                    if (!r.empty() && write(c, r.data(), r.size()) < 0) break;
                    if (hang_up_ && !r.empty()) break;
                    cur.clear();
                }
            }
            close(c);
        }
    }
    int listen_fd_ = -1;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    Script script_;
    bool hang_up_ = false;
    std::thread thread_;
};

std::string framed_reply(const std::string &text) {
    return std::string("xx") + text + '\0';
}

// A server that answers every request with its version.
std::string version_only(const std::string &) {
    return framed_reply("dVERSION 20305 7f000002 peer 501");
}

class ConnectTest : public TempDirTest {
  protected:
    std::string home;
    std::string old_home;
    void SetUp() override {
        TempDirTest::SetUp();
        home = dir_;
        if (const char *h = getenv("HOME")) old_home = h;
        setenv("HOME", home.c_str(), 1);
        mkdir((home + "/.vesk").c_str(), 0700);
        remote_vesk_version = 0;
        vesk_remoteaddr = 0;
        vesk_remoteuser = 0;
        lcompression = rcompression = -1;
        priority = 0;
        share = 0;
        memset(vesk_remotehost, 0, sizeof vesk_remotehost);
    }
    void TearDown() override {
        TempDirTest::TearDown();
        setenv("HOME", old_home.c_str(), 1);
        remote_vesk_version = 0;
        share = 0;
    }
    // Connects with suffix while a stand-in at socket (the private one when
    // empty) answers with script; returns the requests it saw.
    std::vector<std::string> connect_via(StandIn::Script script, const char *suffix = "",
                                         const std::string &socket = "") {
        StandIn srv(socket.empty() ? home + "/.vesk/socket" : socket, std::move(script));
        int fd = socket_connect_server(-1, suffix);
        EXPECT_GE(fd, 0) << command_result;
        if (fd >= 0) close(fd);
        return srv.requests();
    }
    // Connects in undecided share mode (-1); returns the mode it settled on.
    int undecided_share(const std::string &socket, const char *suffix) {
        share = -1;
        connect_via(version_only, suffix, socket);
        return share;
    }
};

TEST_F(ConnectTest, HandshakeParsesVersionReply) {
    std::vector<std::string> reqs = connect_via([](const std::string &r) {
        return r[2] == 'F' ? framed_reply("dVERSION 20305 7f000002 peer 501") : framed_reply("d");
    });
    EXPECT_EQ(remote_vesk_version, 20305u);
    EXPECT_EQ(vesk_remoteaddr, 0x7f000002u);
    EXPECT_STREQ(vesk_remotehost, "peer");
    EXPECT_EQ(vesk_remoteuser, 501u);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0], std::string("@?F-10\0", 7));
}

TEST_F(ConnectTest, DoubleFailureFallsBackAndSettingsSent) {
    lcompression = 0;
    priority = 4;
    std::vector<std::string> reqs = connect_via(
        [](const std::string &r) {
            if (r[2] == 'd') return std::string();
            return r[2] == 'F' ? framed_reply("nnope") : framed_reply("d");
        },
        nullptr);
    EXPECT_EQ(remote_vesk_version, 10800u);
    EXPECT_STREQ(vesk_remotehost, "remotehost");
    EXPECT_EQ(vesk_remoteaddr, 0x7F0000FEu);
    // 10800 is older than 20000, so the remote priority goes out as B.
    std::vector<std::string> want = {std::string("@?F-10\0", 7), std::string("@>F-1\0", 6),
                                     std::string("@?F-10\0", 7), std::string("@?C0\0", 5),
                                     std::string("@?d4\0", 5),   std::string("@>B4\0", 5)};
    EXPECT_EQ(reqs, want);
}

// A server whose link is down refuses the handshake and hangs up: the
// connect fails with its reason, and the next connect asks again.
TEST_F(ConnectTest, RefusedHandshakeFailsWithTheServersReason) {
    {
        StandIn srv(
            home + "/.vesk/socket",
            [](const std::string &) { return framed_reply("elink to far is down, reconnecting"); },
            true);
        EXPECT_EQ(socket_connect_server(-1, ""), -1);
        EXPECT_STREQ(command_result, "link to far is down, reconnecting");
        EXPECT_EQ(remote_vesk_version, 0u);
    }
    StandIn srv(home + "/.vesk/socket", [](const std::string &r) {
        return r[2] == 'F' ? framed_reply("dVERSION 20305 7f000002 peer 501") : framed_reply("d");
    });
    int fd = socket_connect_server(-1, "");
    ASSERT_GE(fd, 0) << command_result;
    close(fd);
    EXPECT_EQ(remote_vesk_version, 20305u);
}

TEST_F(ConnectTest, PrivatePathWithSuffixAndLocalFallback) {
    int fd = socket_connect_server(-1, "2");
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(std::string(command_result),
              "Failed to connect to vesk socket '" + home + "/.vesk/socket2'");
    EXPECT_STREQ(vesk_remotehost, vesk_localhost);
    EXPECT_EQ(vesk_remoteaddr, vesk_localaddr);
    EXPECT_EQ(remote_vesk_version, 0u);
}

// A user without ~/.vesk is told where the socket was looked for: in the
// home directory, not in a /.vesk/socket of the root.
TEST_F(ConnectTest, PrivateFailureNamesTheHomeSocket) {
    rmdir((home + "/.vesk").c_str());
    EXPECT_EQ(socket_connect_server(-1, ""), -1);
    EXPECT_EQ(std::string(command_result),
              "Failed to connect to vesk socket '" + home + "/.vesk/socket'");
}

TEST_F(ConnectTest, SharedPathAndUndecidedEndsPrivate) {
    mkdir((home + "/tmp").c_str(), 0700);
    mkdir((home + "/tmp/private7").c_str(), 0700);
    share = 2;
    EXPECT_EQ(socket_connect_server(-1, "7"), -1);
    EXPECT_EQ(std::string(command_result),
              "Failed to connect to vesk socket '" + home + "/tmp/private7/socket'");
    share = -1;
    EXPECT_EQ(socket_connect_server(-1, "7"), -1);
    EXPECT_EQ(share, 0);
    EXPECT_EQ(std::string(command_result),
              "Failed to connect to vesk socket '" + home + "/.vesk/socket7'");
}

TEST_F(ConnectTest, ConnectServerExitsOnFailure) {
    EXPECT_EXIT(connect_server("nosuch"), ::testing::ExitedWithCode(1), "^$");
}

TEST_F(ConnectTest, LongHostNameStaysInBuffer) {
    std::string name(400, 'h');
    connect_via([&](const std::string &) { return framed_reply("dVERSION 1 2 " + name + " 3"); });
    EXPECT_EQ(strlen(vesk_remotehost), 255u);
    EXPECT_EQ(remote_vesk_version, 1u);
}

}  // namespace

namespace {

TEST_F(ConnectTest, CallerSocketReplacedOnSameNumber) {
    int tcp = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(tcp, 0);
    {
        StandIn srv(home + "/.vesk/socket", version_only);
        EXPECT_EQ(socket_connect_server(tcp, ""), tcp);
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        ASSERT_EQ(getsockname(tcp, reinterpret_cast<sockaddr *>(&ss), &len), 0);
        EXPECT_EQ(ss.ss_family, AF_UNIX);
        close(tcp);
    }
}

TEST(CorePaths, TooLongPathRefused) {
    std::string p(200, 'p');
    errno = 0;
    EXPECT_LT(connect_unix(-1, p.c_str()), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(CorePaths, SetBlockReportsPreviousMode) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_NE(set_block(sv[0]), 0);
    EXPECT_EQ(set_nonblock(sv[0]), 0);
    EXPECT_EQ(set_block(sv[0]), 0);
    close(sv[0]);
    close(sv[1]);
}

}  // namespace

namespace {

std::string request_of(const char *bytes, size_t n) {
    return std::string(bytes, n);
}

// Waits (bounded) until the stand-in has seen want requests.
void await_requests(const StandIn &srv, size_t want) {
    for (int i = 0; i < 200 && srv.requests().size() < want; ++i) usleep(10000);
}

TEST_F(ConnectTest, HandshakeOncePerProcessSettingsEveryConnection) {
    lcompression = 1;
    rcompression = 0;
    priority = -5;
    std::vector<std::string> reqs;
    int conns = 0;
    {
        StandIn srv(home + "/.vesk/socket", [](const std::string &r) {
            if (r[2] == 'd') return std::string();
            return r[2] == 'F' ? framed_reply("dVERSION 20305 7f000002 peer 501")
                               : framed_reply("d");
        });
        for (int i = 0; i < 2; ++i) {
            int fd = socket_connect_server(-1, "");
            ASSERT_GE(fd, 0) << command_result;
            await_requests(srv, i == 0 ? 5u : 9u);
            close(fd);
        }
        await_requests(srv, 9);
        reqs = srv.requests();
        conns = srv.connections;
    }
    EXPECT_EQ(conns, 2);
    std::vector<std::string> settings = {request_of("@?C1\0", 5), request_of("@>C0\0", 5),
                                         request_of("@?d-5\0", 6), request_of("@>d-5\0", 6)};
    std::vector<std::string> want = {request_of("@?F-10\0", 7)};
    want.insert(want.end(), settings.begin(), settings.end());
    want.insert(want.end(), settings.begin(), settings.end());
    EXPECT_EQ(reqs, want);
}

TEST_F(ConnectTest, NoSettingsSentWhenUnset) {
    lcompression = -1;
    rcompression = -1;
    priority = 0;
    EXPECT_EQ(connect_via(version_only), std::vector<std::string>{request_of("@?F-10\0", 7)});
}

// The repeat's answer counts; a zero address in it becomes 127.0.0.254.
TEST_F(ConnectTest, RepeatedQueryAnswerUsedAndZeroAddressReplaced) {
    int seen_f = 0;
    std::vector<std::string> reqs = connect_via([&](const std::string &r) {
        if (r[2] != 'F') return framed_reply("d");
        ++seen_f;
        return seen_f < 3 ? framed_reply("nbusy") : framed_reply("dVERSION 20100 0 far 7");
    });
    EXPECT_EQ(remote_vesk_version, 20100u);
    EXPECT_EQ(vesk_remoteaddr, 0x7F0000FEu);
    EXPECT_STREQ(vesk_remotehost, "far");
    EXPECT_EQ(vesk_remoteuser, 7u);
    EXPECT_EQ(reqs.size(), 3u);
}

// Undecided mode tries group, then user mode, and ends private when all fail.
TEST_F(ConnectTest, UndecidedFallsBackToPrivateServer) {
    EXPECT_EQ(undecided_share(home + "/.vesk/socket", ""), 0);
}

TEST_F(ConnectTest, UndecidedStopsAtSharedServer) {
    mkdir((home + "/tmp").c_str(), 0700);
    mkdir((home + "/tmp/private3").c_str(), 0700);
    EXPECT_EQ(undecided_share(home + "/tmp/private3/socket", "3"), 1);
}

// A suffix far longer than any path buffer must fail cleanly, not overflow.
TEST_F(ConnectTest, HugeSuffixFailsWithoutOverflow) {
    std::string suffix(3 * 4096, 's');
    EXPECT_EQ(socket_connect_server(-1, suffix.c_str()), -1);
    std::string text(command_result);
    EXPECT_EQ(text.rfind("Failed to connect to vesk socket '" + home + "/.vesk/socketsss", 0), 0u);
    EXPECT_EQ(strlen(com_result), sizeof com_result - 1);
    share = 2;
    EXPECT_EQ(socket_connect_server(-1, suffix.c_str()), -1);
    EXPECT_EQ(std::string(command_result).rfind("Failed to connect to vesk socket '", 0), 0u);
}

TEST_F(ConnectTest, FailureStartsFromNoErrorReported) {
    // Every call resets the text, so a stale reply never passes for a reason.
    strcpy(com_result, "xxdstale");
    EXPECT_EQ(socket_connect_server(-1, "none"), -1);
    EXPECT_EQ(command_result, com_result + 3);
    EXPECT_NE(std::string(command_result).find("socketnone"), std::string::npos);
}

}  // namespace
