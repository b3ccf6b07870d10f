// veskd's channel layer (Session, Client, RemoteSide, CommandRunner) against a far
// veskd that the test plays frame by frame, with clients on socketpairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/un.h>

#include "dispatch.h"
#include "farend.h"
#include "log.h"
#include "tempdir.h"

using namespace vesk;
using namespace std::string_literals;

namespace {

// Every wait is bounded by this, ms: nothing here leaves the process.
constexpr int kWaitMs = 5000;
constexpr uint8_t kFar = frame::kFromOpener;  // on frames of the far end's channels
// Data sent past a channel's credit: a few times any window granted here.
constexpr int kFloodFrames = 64;
const std::string kBlock(frame::kDataMax, 'f');

class Channels : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        signal(SIGPIPE, SIG_IGN);
        log::set_verbosity(-1);
        Config c;
        c.alive_ms = 0;
        std::string why;
        ASSERT_TRUE(Scope::confine(dir_, &c.far_files, &why)) << why;
        c.local_files = c.far_files;
        session = std::make_unique<Session>(loop, c, far.ends(), owner);
        session->start();
        // The smallest window: data beyond one frame waits for credit.
        far.send_hello(frame::kDataMax, far_version);
        ASSERT_TRUE(until([&] { return owner.up; }));
    }
    void TearDown() override {
        session.reset();
        for (auto &[fd, h] : heard) close(fd);
        TempDirTest::TearDown();
    }

    // A client of this veskd; sndbuf > 0 keeps what veskd can hand it small.
    int client(int sndbuf = 0) {
        int c[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, c), 0);
        if (sndbuf) setsockopt(c[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        session->adopt(c[0], ucred{getpid(), getuid(), getgid()});
        heard[c[1]].channel = uint32_t(heard.size()) + 1;  // as the session numbers them
        return c[1];
    }
    // The client sends its requests (the last NUL is added here).
    void say(int fd, const std::string &requests) {
        EXPECT_EQ(write(fd, requests.c_str(), requests.size() + 1), ssize_t(requests.size() + 1));
    }
    // A channel of the far end's own, asking this veskd.
    void far_asks(uint32_t channel, const std::vector<std::string> &requests) {
        far.send(frame::kOpen, kFar, channel);
        for (const std::string &r : requests) far.send(frame::kRequest, kFar, channel, r);
    }
    // Runs the loop until done() or kWaitMs; the far end reads all the while.
    bool until(const std::function<bool()> &done) {
        for (int64_t end = monotonic_ms() + kWaitMs; !done();) {
            if (monotonic_ms() > end) return false;
            far.flush();
            loop.after(1, [this] { loop.stop(); });
            loop.run();
            far.receive([this](const frame::Header &h, std::string_view p) {
                got[{h.type, h.channel}].emplace_back(p);
            });
        }
        return true;
    }
    // Payloads of the frames of a type the far end got on a channel.
    std::vector<std::string> &on(uint8_t type, uint32_t channel) { return got[{type, channel}]; }
    // The client's next reply, without its NUL.
    std::string answer(int fd) {
        std::string &t = heard[fd].text;
        if (!until([&] { return hear(fd).text.find('\0') != std::string::npos; })) return "(none)";
        std::string a = t.substr(0, t.find('\0'));
        t.erase(0, a.size() + 1);
        return a;
    }
    // Whether the far end's answer still reaches the client.
    bool served(int fd) {
        // The answer must wait for this request: a reply before it is a stray.
        size_t asked = on(frame::kRequest, heard[fd].channel).size();
        say(fd, "@>F-9");
        if (!until([&] { return on(frame::kRequest, heard[fd].channel).size() > asked; }))
            return false;
        far.send(frame::kReply, 0, heard[fd].channel, "dserved");
        return answer(fd) == "@>dserved";
    }
    struct Heard {
        uint32_t channel = 0;
        std::string text;
        bool eof = false;
    };
    Heard &hear(int fd) {
        char buf[4096];
        ssize_t r;
        while ((r = read(fd, buf, sizeof buf)) > 0) heard[fd].text.append(buf, size_t(r));
        heard[fd].eof |= r == 0;
        return heard[fd];
    }
    // The far end grants more credit than any test sends.
    void grant(uint32_t channel) {
        std::string credit;
        frame::put_u32(credit, 1 << 20);
        far.send(frame::kCredit, kFar, channel, credit);
    }
    // A UDP socket on loopback at *port (0: any; *port gets it), -1 if taken.
    int udp(uint16_t *port) {
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sa{AF_INET, htons(*port), {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t n = sizeof sa;
        if (bind(s, reinterpret_cast<sockaddr *>(&sa), n) != 0) return close(s), -1;
        getsockname(s, reinterpret_cast<sockaddr *>(&sa), &n);
        *port = ntohs(sa.sin_port);
        return s;
    }

    uint32_t far_version = proto::kLocalVersion;
    Loop loop;
    farend::Link far;
    farend::Owner owner;
    std::unique_ptr<Session> session;
    std::map<std::pair<uint8_t, uint32_t>, std::vector<std::string>> got;
    std::map<int, Heard> heard;
};

TEST_F(Channels, FarRepliesReachTheClientsThatAsked) {
    int a = client(), b = client();
    say(a, "@>F-9");
    say(b, "@>F-1");
    ASSERT_TRUE(
        until([&] { return !on(frame::kRequest, 1).empty() && !on(frame::kRequest, 2).empty(); }));
    far.send(frame::kReply, 0, 2, "dfor b");
    far.send(frame::kReply, 0, 1, "efor a");
    EXPECT_EQ(answer(a), "@>efor a");
    EXPECT_EQ(answer(b), "@>dfor b");
}

TEST_F(Channels, FarRequestsGoAheadOfTheirAnswersLocalOnesWaitAndTheClientMayHangUp) {
    int a = client();
    say(a, "@>F-9\0@>F-1\0@?F-6\0@>F-9"s);
    ASSERT_TRUE(until([&] { return on(frame::kRequest, 1).size() == 2; }));
    farend::spin(loop, 2);
    EXPECT_EQ(on(frame::kRequest, 1).size(), 2u) << "went before the local request behind it";
    far.send(frame::kReply, 0, 1, "dfirst");
    far.send(frame::kReply, 0, 1, "dsecond");
    EXPECT_EQ(answer(a), "@>dfirst");
    EXPECT_EQ(answer(a), "@>dsecond");
    EXPECT_EQ(answer(a), "@?d1");
    ASSERT_TRUE(until([&] { return on(frame::kRequest, 1).size() == 3; }));
    shutdown(a, SHUT_RDWR);
    EXPECT_TRUE(until([&] { return !on(frame::kClose, 1).empty(); }));
    // Behind a request that opens something nothing goes ahead.
    int b = client();
    say(b, "@>70\nx\0@>F-9"s);
    ASSERT_TRUE(until([&] { return on(frame::kRequest, 2).size() == 1; }));
    farend::spin(loop, 2);
    EXPECT_EQ(on(frame::kRequest, 2).size(), 1u);
}

TEST_F(Channels, PipelinedRequestsAreAnsweredInOrderAndNoReplyCodesGetNone) {
    int a = client();
    std::string many;
    for (int i = 0; i < 1000; i++) many += "@?F-6\0"s;
    say(a, many + "@?9DISPLAY=:9\0@>5\0@>F-9"s);
    ASSERT_TRUE(until([&] { return on(frame::kRequest, 1).size() == 2; }));
    far.send(frame::kReply, 0, 1, "dlast");
    for (int i = 0; i < 1000; i++) ASSERT_EQ(answer(a), "@?d1");
    EXPECT_EQ(answer(a), "@>dlast");
    far_asks(7, {"5", "e127.0.0.1:5555", "F", "F-1", "F-6"});
    EXPECT_TRUE(until([&] { return on(frame::kReply, 7).size() == 3; }));
    EXPECT_EQ(on(frame::kReply, 7)[0].substr(0, 1) + on(frame::kReply, 7)[1].substr(0, 1), "dd");
    EXPECT_EQ(on(frame::kReply, 7)[2], "d7");
}

TEST_F(Channels, OneFarRequestIsInServiceAtATime) {
    make("big", std::string(4 * frame::kDataMax, 'x'));
    far_asks(7, {"70\nbig", "2", "60 400\nmade"});  // '2' answers behind what credit holds
    ASSERT_TRUE(until([&] { return !on(frame::kData, 7).empty(); }));
    EXPECT_NE(access(path("made").c_str(), F_OK), 0) << "served while the request before it was";
    grant(7);
    EXPECT_TRUE(until([&] { return on(frame::kReply, 7).size() == 2; }));
    EXPECT_EQ(on(frame::kDataReset, 7).size(), 1u);
    EXPECT_EQ(access(path("made").c_str(), F_OK), 0);
}

TEST_F(Channels, AFailedReadDuringAReadEndsItWithoutAnEndOfStream) {
    make("big", std::string(16 * frame::kDataMax, 'x'));  // more than is queued at once
    far_asks(7, {"70\nbig", "70\nmissing", "F-6"});
    grant(7);
    ASSERT_TRUE(until([&] { return on(frame::kReply, 7).size() == 3; }));
    EXPECT_EQ(on(frame::kReply, 7)[1].substr(0, 1), "e");
    EXPECT_EQ(on(frame::kReply, 7)[2], "d7");
    EXPECT_TRUE(on(frame::kEof, 7).empty());
}

TEST_F(Channels, RepliesThatAnswerNothingAreDropped) {
    int a = client();
    far.send(frame::kReply, 0, 1, "dstray before");
    far.send(frame::kReply, 0, 99, "dno such channel");
    farend::spin(loop, 2);
    say(a, "@>F-9");
    ASSERT_TRUE(until([&] { return !on(frame::kRequest, 1).empty(); }));
    far.send(frame::kReply, 0, 1, "dfirst");
    far.send(frame::kReply, 0, 1, "dstray after");
    EXPECT_EQ(answer(a), "@>dfirst");
    EXPECT_TRUE(served(a));
}

TEST_F(Channels, DumpsWriteTheirCountIntoFilesHereAndForTheFarEnd) {
    int a = client();
    say(a, "@?60 400\nout");
    EXPECT_EQ(answer(a).substr(0, 3), "@?d");
    say(a, "@?L-5\0@?L0\0@?l5\0hello@?F-6"s);
    for (int i = 0; i < 2; i++) EXPECT_EQ(answer(a), "@?eBad count");  // nothing to dump
    EXPECT_EQ(answer(a), "@?d1");  // the count's bytes went to the file, the rest are requests
    far_asks(7, {"60 400\nnew"});
    far.send(frame::kData, kFar, 7, "hello, far end");
    far_asks(7, {"M", "O644 -50 -60\nnew", "Dnew"});
    ASSERT_TRUE(until([&] { return on(frame::kReply, 7).size() == 2; }));
    EXPECT_EQ(on(frame::kReply, 7)[1].substr(0, 4), "d14 ");
    std::stringstream files;
    files << std::ifstream(path("out")).rdbuf() << std::ifstream(path("new")).rdbuf();
    EXPECT_EQ(files.str(), "hellohello, far end");
    struct stat st {};
    EXPECT_EQ(stat(path("new").c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0644u);
}

TEST_F(Channels, StreamWithNothingConnectedEndsWhenItsInputEnds) {
    far.send(frame::kOpen, kFar, 7);
    far.send(frame::kData, kFar, 7, "into the void");
    far.send(frame::kEof, kFar, 7);
    EXPECT_TRUE(until([&] { return !on(frame::kEof, 7).empty(); }));
    int a = client();
    say(a, "@?X" + path("nothing"));
    EXPECT_EQ(answer(a).substr(0, 3), "@?e");
    say(a, "@?5");
    shutdown(a, SHUT_WR);
    EXPECT_TRUE(until([&] { return hear(a).eof; }));
}

TEST_F(Channels, RequestsBehindUnreadRepliesAreServedAfterAHalfClose) {
    int a = client(4096);
    const int kRequests = 12000;  // 48 KB, replies far beyond what veskd holds for a client
    std::string requests;
    for (int i = 0; i < kRequests; i++) requests += "@?F"s + '\0';
    requests.pop_back();
    say(a, requests);
    shutdown(a, SHUT_WR);
    int turns = 0;  // the end is read while the replies pile up unread
    until([&] { return ++turns > 50; });
    ASSERT_TRUE(until([&] { return hear(a).eof; }));
    EXPECT_EQ(std::count(heard[a].text.begin(), heard[a].text.end(), '\0'), kRequests);
}

TEST_F(Channels, BadRequestsEndTheirClientOnly) {
    int a = client(), b = client();
    say(a, "@>D" + std::string(5000, 'x'));
    say(b, "garbage");
    EXPECT_EQ(answer(a), "@?eRequest too long");
    EXPECT_EQ(answer(b), "@?eBad request");
    EXPECT_TRUE(until([&] { return hear(a).eof && hear(b).eof; }));
    far_asks(7, {"~x"});
    ASSERT_TRUE(until([&] { return !on(frame::kReply, 7).empty(); }));
    EXPECT_EQ(on(frame::kReply, 7)[0], "eUnknown command '~' (126)");
}

TEST_F(Channels, UdpPairsCarryDatagramsWhileTheirConnectionLasts) {
    uint16_t app_port = 0, pair_port = 0;
    int app = udp(&app_port);
    close(udp(&pair_port));
    int a = client();
    say(a, "@?V5 4\0@?T5 "s + std::to_string(pair_port) + "\0@?T999 1"s);
    for (const char *want : {"@?dOK", "@?dOK", "@?eNo such UDP pair"}) EXPECT_EQ(answer(a), want);
    sockaddr_in to{AF_INET, htons(pair_port), {htonl(INADDR_LOOPBACK)}, {}};
    sendto(app, "ping", 4, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    ASSERT_TRUE(until([&] { return !on(frame::kDgram, 5).empty(); }));
    EXPECT_EQ(on(frame::kDgram, 5)[0], "ping");
    far.send(frame::kDgram, 0, 5, "pong");  // back to whoever sent last
    char buf[16] = {};
    EXPECT_TRUE(until([&] { return recv(app, buf, sizeof buf, 0) == 4; }));
    EXPECT_STREQ(buf, "pong");
    far_asks(7, {"V6 3", "W6 :127.0.0.1:" + std::to_string(app_port)});
    ASSERT_TRUE(until([&] { return on(frame::kReply, 7).size() == 2; }));
    far.send(frame::kDgram, kFar, 6, "aimed");
    socklen_t n = sizeof to;
    EXPECT_TRUE(until([&] {
        return recvfrom(app, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&to), &n) == 5;
    }));
    sendto(app, "back", 4, 0, reinterpret_cast<sockaddr *>(&to), n);
    EXPECT_TRUE(until([&] { return !on(frame::kDgram, 6).empty(); }));
    shutdown(a, SHUT_RDWR);  // the pair goes with its connection, and its port with it
    EXPECT_TRUE(until([&] {
        int s = udp(&pair_port);
        return s >= 0 && close(s) == 0;
    }));
    close(app);
}

TEST_F(Channels, FarEndBeyondCreditLosesOnlyTheClientsChannel) {
    int a = client(4096), b = client();
    say(a, "@>70\nbig");  // and never reads what comes
    ASSERT_TRUE(until([&] { return !on(frame::kRequest, 1).empty(); }));
    far.send(frame::kReply, 0, 1, "dflood follows");
    for (int i = 0; i < kFloodFrames; i++) far.send(frame::kData, 0, 1, kBlock);
    EXPECT_TRUE(until([&] { return !on(frame::kClose, 1).empty(); }));
    EXPECT_TRUE(served(b));
}

TEST_F(Channels, FarEndBeyondCreditLosesOnlyItsStream) {
    int b = client();
    int lst = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un su{AF_UNIX, {}};
    snprintf(su.sun_path, sizeof su.sun_path, "%s", path("never-accepts").c_str());
    ASSERT_EQ(bind(lst, reinterpret_cast<sockaddr *>(&su), sizeof su), 0);
    ASSERT_EQ(listen(lst, 1), 0);
    far_asks(7, {"X"s + su.sun_path});
    ASSERT_TRUE(until([&] { return !on(frame::kReply, 7).empty(); }));
    for (int i = 0; i < kFloodFrames; i++) far.send(frame::kData, kFar, 7, kBlock);
    EXPECT_TRUE(until([&] { return !on(frame::kClose, 7).empty(); }));
    EXPECT_TRUE(served(b));
    close(lst);
}

TEST_F(Channels, LinkDownClosesEveryClient) {
    int a = client(), b = client();
    say(a, "@>F-9");
    ASSERT_TRUE(until([&] { return !on(frame::kRequest, 1).empty(); }));
    far.hang_up();
    EXPECT_TRUE(until([&] { return owner.down && hear(a).eof && hear(b).eof; }));
    EXPECT_FALSE(owner.clean);
}

class OlderFarEnd : public Channels {
    void SetUp() override {
        far_version = 20056;
        Channels::SetUp();
    }
};

TEST_F(OlderFarEnd, IsReportedAndItsRequestsNewerThanItAreRefused) {
    int a = client();
    say(a, "@?F-10");
    EXPECT_EQ(answer(a), "@?dVERSION 20056 7f000001 far " + std::to_string(getuid()));
    far_asks(7, {"70\nbig"});
    EXPECT_TRUE(until([&] { return !on(frame::kReply, 7).empty(); }));
    EXPECT_EQ(on(frame::kReply, 7)[0], "eUnsupported vesk option");
}

}  // namespace

// A veskd with few descriptors: the far end may hold half of them.
class FarEndWithFewFiles : public Channels {
  protected:
    static constexpr rlim_t kOpenFiles = 64;
    void SetUp() override {
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved_), 0);
        rlimit low = saved_;
        low.rlim_cur = std::min(kOpenFiles, saved_.rlim_cur);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        Channels::SetUp();
    }
    void TearDown() override {
        Channels::TearDown();
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    rlimit saved_{};
};

TEST_F(FarEndWithFewFiles, OpensPastItsBudgetFailWithAReason) {
    const uint32_t budget = kOpenFiles / 2;
    for (uint32_t ch = 1; ch <= budget + 1; ch++) far_asks(ch, {"60 400\nf" + std::to_string(ch)});
    ASSERT_TRUE(until([&] { return !on(frame::kReply, budget + 1).empty(); }));
    for (uint32_t ch = 1; ch <= budget; ch++)
        ASSERT_TRUE(until([&] { return !on(frame::kReply, ch).empty(); }));
    for (uint32_t ch = 1; ch <= budget; ch++) EXPECT_EQ(on(frame::kReply, ch)[0], "d");
    EXPECT_EQ(on(frame::kReply, budget + 1)[0], "eToo many open files for the far end");
    // Closing one gives its file back.
    far.send(frame::kClose, kFar, 1);
    farend::spin(loop, 2);
    far_asks(budget + 2, {"60 400\nlast"});
    ASSERT_TRUE(until([&] { return !on(frame::kReply, budget + 2).empty(); }));
    EXPECT_EQ(on(frame::kReply, budget + 2)[0], "d");
}

// The protocol's rows: each code once and named, and an old form treated
// as the code it stands for (same channel mode, same thing opened).  veskd's
// table: a second row for a code is never reached (that each row is a
// protocol code served by the right unit is checked when it builds).
TEST(CommandTable, EveryRowIsNamedOnceAndTheTablesAgree) {
    std::set<char> codes;
    for (const proto::Command &c : proto::kCommands) {
        EXPECT_TRUE(c.name != nullptr && *c.name != '\0') << c.code;
        EXPECT_TRUE(codes.insert(c.code).second) << c.code;
        if (c.old_form == '\0') continue;
        const proto::Command *old = proto::find_command(c.old_form);
        ASSERT_TRUE(old) << c.code;
        EXPECT_EQ(old->first_version, 0u) << c.code;
        EXPECT_EQ(old->mode, c.mode) << c.code;
        EXPECT_EQ(old->opens, c.opens) << c.code;
    }
    std::set<char> seen;
    for (const dispatch::Route &r : dispatch::routes()) EXPECT_TRUE(seen.insert(r.code).second);
}
