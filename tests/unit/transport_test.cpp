#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tempdir.h"
#include "tcplink.h"
#include "compress.h"
#include "ends.h"
#include "keycheck.h"
#include "linkarg.h"
#include "serial.h"

using vesk::transport::LinkEnds;

namespace {

constexpr int kReadTimeoutMs = 5000;  // bound on every test read
constexpr size_t kAuthMessageBytes = 37;

// Reads exactly n bytes or fails within the timeout.
std::string read_n(int fd, size_t n) {
    std::string out;
    while (out.size() < n) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, kReadTimeoutMs) <= 0) break;
        char buf[4096];
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) break;
        out.append(buf, r);
    }
    return out;
}

struct Pair {
    int a = -1, b = -1;
    Pair() {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        a = sv[0];
        b = sv[1];
    }
    ~Pair() {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
    }
};

struct AuthResult {
    bool ok = false;
    std::string error;
    vesk::transport::CheckFault fault = vesk::transport::CheckFault::kOther;
};

// Runs both sides of the key check, one in a thread.
void run_both(int fa, const std::string &ka, int fb, const std::string &kb, AuthResult *ra,
              AuthResult *rb) {
    std::thread t([&] {
        ra->ok = vesk::transport::authenticate(fa, ka, true, &ra->error, nullptr, &ra->fault);
    });
    rb->ok = vesk::transport::authenticate(fb, kb, false, &rb->error, nullptr, &rb->fault);
    t.join();
}

class KeyFileTest : public TempDirTest {};

TEST(Link, ExecRoundTrip) {
    LinkEnds ends;
    std::string error;
    ASSERT_TRUE(vesk::transport::open_exec("cat", &ends, &error)) << error;
    EXPECT_EQ(ends.in_fd, ends.out_fd);
    EXPECT_GT(ends.child, 0);
    EXPECT_FALSE(ends.is_tcp);
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    // Write and read at once: cat echoes, and a 100 kB echo overflows the
    // socket buffers if read only afterwards.
    std::thread writer([&] {
        EXPECT_EQ(write(ends.out_fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        shutdown(ends.out_fd, SHUT_WR);
    });
    std::string echo = read_n(ends.in_fd, data.size());
    writer.join();
    EXPECT_TRUE(echo == data);
    EXPECT_EQ(read_n(ends.in_fd, 1), "");  // cat saw the end and left
    close(ends.in_fd);
    int st = 0;
    EXPECT_EQ(waitpid(ends.child, &st, 0), ends.child);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

TEST(Link, ExecCommandSeesDefaultSigpipe) {
    // A daemon that ignores SIGPIPE must not hand that on to its link command.
    signal(SIGPIPE, SIG_IGN);
    LinkEnds ends;
    std::string error;
    ASSERT_TRUE(vesk::transport::open_exec("grep SigIgn /proc/self/status", &ends, &error));
    std::string line = read_n(ends.in_fd, 64);
    close(ends.in_fd);
    waitpid(ends.child, nullptr, 0);
    signal(SIGPIPE, SIG_DFL);
    // SIGPIPE is signal 13: bit 12 of the mask, in the lowest hex digit but three.
    auto pos = line.find('\t');
    ASSERT_NE(pos, std::string::npos) << line;
    unsigned long long mask = std::strtoull(line.c_str() + pos + 1, nullptr, 16);
    EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << line;
}

TEST(Link, SpecParsedAndRefused) {
    vesk::transport::LinkTarget target;
    std::string error;
    ASSERT_TRUE(vesk::transport::parse_link("exec:ssh far veskd", &target, &error));
    EXPECT_TRUE(target.kind == vesk::transport::LinkKind::kExec);
    EXPECT_EQ(target.command, "ssh far veskd");
    ASSERT_TRUE(vesk::transport::parse_link("tcp-listen:*:7300", &target, &error));
    EXPECT_TRUE(target.kind == vesk::transport::LinkKind::kTcpListen);
    EXPECT_EQ(target.where, "*:7300");
    ASSERT_TRUE(vesk::transport::parse_link("stdio", &target, &error));
    EXPECT_TRUE(target.kind == vesk::transport::LinkKind::kStdio);
    EXPECT_FALSE(vesk::transport::parse_link("serial/dev/ttyS0", &target, &error));
    EXPECT_NE(error.find("unknown link"), std::string::npos);
    EXPECT_FALSE(vesk::transport::parse_link("exec:", &target, &error));
    EXPECT_FALSE(vesk::transport::parse_link("tcp::9", &target, &error));
    EXPECT_FALSE(vesk::transport::parse_link("tcp-listen:127.0.0.1:0", &target, &error));
    EXPECT_NE(error.find("ADDR:PORT expected"), std::string::npos);
    EXPECT_TRUE(vesk::transport::parse_link("tcp-listen:[::]:7300", &target, &error));
    EXPECT_TRUE(vesk::transport::parse_link("tcp:[::1]:7300", &target, &error));
    EXPECT_FALSE(vesk::transport::parse_link("tcp:[]:7300", &target, &error));
    EXPECT_FALSE(vesk::transport::parse_link("tcp:[::1]7300", &target, &error));
    std::vector<vesk::transport::Address> to;
    ASSERT_TRUE(vesk::transport::tcp_resolve("[::1]:7300", &to, &error)) << error;
    EXPECT_EQ(vesk::transport::address_text(reinterpret_cast<const sockaddr *>(&to.at(0).sa)),
              "[::1]:7300");
    LinkEnds ends;
    EXPECT_FALSE(vesk::transport::key_check(-1, "", true, &ends, &error));
    EXPECT_EQ(error, "tcp links need --key FILE");
}

TEST(Link, SerialParsedAndRefused) {
    using vesk::transport::parse_link;
    vesk::transport::LinkTarget target;
    std::string error;
    ASSERT_TRUE(parse_link("serial:/dev/ttyUSB0:115200", &target, &error)) << error;
    EXPECT_TRUE(target.kind == vesk::transport::LinkKind::kSerial);
    EXPECT_EQ(target.serial.device, "/dev/ttyUSB0");
    EXPECT_EQ(target.serial.baud, 115200u);
    EXPECT_FALSE(target.serial.rtscts || target.serial.xonxoff || target.serial.carrier);
    // A by-path name holds colons of its own.
    const std::string by_path = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
    ASSERT_TRUE(parse_link("serial:" + by_path + ":9600:rtscts,carrier", &target, &error));
    EXPECT_EQ(target.serial.device, by_path);
    EXPECT_EQ(target.serial.baud, 9600u);
    EXPECT_TRUE(target.serial.rtscts && target.serial.carrier && !target.serial.xonxoff);
    ASSERT_TRUE(parse_link("serial:/dev/ttyS0:4000000:xonxoff", &target, &error));
    EXPECT_TRUE(target.serial.xonxoff);

    EXPECT_FALSE(parse_link("serial:/dev/ttyS0:115201", &target, &error));
    EXPECT_NE(error.find("unsupported serial speed 115201"), std::string::npos) << error;
    EXPECT_FALSE(parse_link("serial:/dev/ttyS0:99999999999", &target, &error));
    EXPECT_NE(error.find("unsupported serial speed"), std::string::npos) << error;
    EXPECT_FALSE(parse_link("serial:/dev/ttyS0:115200:rtscts,parity", &target, &error));
    EXPECT_NE(error.find("unknown serial option \"parity\""), std::string::npos) << error;
    EXPECT_FALSE(parse_link("serial:/dev/ttyS0", &target, &error));
    EXPECT_NE(error.find("serial:DEVICE:SPEED"), std::string::npos) << error;
    EXPECT_FALSE(parse_link("serial::115200", &target, &error));
    EXPECT_FALSE(parse_link("serial:/dev/ttyS0:fast", &target, &error));
}

TEST(Link, EndsHungUpOnlyOnceTheFarSideClosed) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    LinkEnds ends;
    ends.in_fd = ends.out_fd = sv[0];
    EXPECT_FALSE(vesk::transport::ends_hung_up(ends));
    ASSERT_EQ(write(sv[1], "x", 1), 1);  // bytes waiting are no hang-up
    EXPECT_FALSE(vesk::transport::ends_hung_up(ends));
    close(sv[1]);
    EXPECT_TRUE(vesk::transport::ends_hung_up(ends));
    close(sv[0]);
}

class SerialLockTest : public TempDirTest {};

TEST_F(SerialLockTest, StaleTakenOverLiveRefused) {
    using vesk::transport::LockResult;
    EXPECT_EQ(vesk::transport::lock_name("/dev/ttyUSB0"), "LCK..ttyUSB0");
    EXPECT_EQ(vesk::transport::lock_name("/dev/no-such/tty3"), "LCK..no-such_tty3");
    pid_t me = getpid(), holder = 0;
    std::string error;
    // A process that has ended: its lock is stale.
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_GT(dead, 0);
    waitpid(dead, nullptr, 0);
    make("LCK..ttyS0", std::to_string(dead) + "\n");
    ASSERT_EQ(vesk::transport::take_lock(dir_, "LCK..ttyS0", me, &holder, &error),
              LockResult::kTaken)
        << error;
    char want[16];
    snprintf(want, sizeof want, "%10d\n", int(me));
    FILE *f = fopen(path("LCK..ttyS0").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char got[32] = "";
    EXPECT_NE(fgets(got, sizeof got, f), nullptr);
    fclose(f);
    EXPECT_STREQ(got, want);
    // A live holder (our parent) keeps it, and is named.
    pid_t parent = getppid();
    make("LCK..ttyS1", "      " + std::to_string(parent) + "\n");
    EXPECT_EQ(vesk::transport::take_lock(dir_, "LCK..ttyS1", me, &holder, &error),
              LockResult::kHeld);
    EXPECT_EQ(holder, parent);
    // Only our own lock is dropped.
    EXPECT_FALSE(vesk::transport::drop_lock(dir_, "LCK..ttyS1", me));
    EXPECT_EQ(access(path("LCK..ttyS1").c_str(), F_OK), 0);
    EXPECT_TRUE(vesk::transport::drop_lock(dir_, "LCK..ttyS0", me));
    EXPECT_NE(access(path("LCK..ttyS0").c_str(), F_OK), 0);
    // A directory that does not exist: go on without a lock.
    EXPECT_EQ(vesk::transport::take_lock(path("none"), "LCK..ttyS0", me, &holder, &error),
              LockResult::kUnwritable);
}

TEST(Link, Stdio) {
    LinkEnds ends = vesk::transport::stdio_ends();
    EXPECT_EQ(ends.in_fd, 0);
    EXPECT_EQ(ends.out_fd, 1);
    EXPECT_EQ(ends.child, -1);
}

TEST_F(KeyFileTest, TcpPairOnLoopback) {
    std::string key = make("key", "a shared secret\n", 0600);
    std::string other = make("other", "another shared secret\n", 0600);
    // Port from the kernel: bind to 0, read it back, free it for the listener.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    socklen_t len = sizeof sin;
    getsockname(probe, reinterpret_cast<sockaddr *>(&sin), &len);
    std::string port = std::to_string(ntohs(sin.sin_port));
    close(probe);

    for (bool same : {true, false}) {
        std::string error;
        int ls = vesk::transport::tcp_listen("127.0.0.1:" + port, &error);
        ASSERT_GE(ls, 0) << error;
        int err = 0;
        std::vector<vesk::transport::Address> to;
        ASSERT_TRUE(vesk::transport::tcp_resolve("127.0.0.1:" + port, &to, &error)) << error;
        int c = vesk::transport::tcp_connect_start(to.at(0), "here", &err, &error);
        ASSERT_GE(c, 0) << error;
        struct pollfd pc = {c, POLLOUT, 0}, pl = {ls, POLLIN, 0};
        ASSERT_EQ(poll(&pc, 1, kReadTimeoutMs), 1);
        ASSERT_EQ(vesk::transport::tcp_connect_error(c), 0);
        ASSERT_EQ(poll(&pl, 1, kReadTimeoutMs), 1);
        int l = accept(ls, nullptr, nullptr);
        ASSERT_GE(l, 0);
        close(ls);
        LinkEnds le, ce;
        std::string el, ec;
        bool okl = false, okc = false;
        std::thread t([&] { okl = vesk::transport::key_check(l, key, false, &le, &el); });
        okc = vesk::transport::key_check(c, same ? key : other, true, &ce, &ec);
        t.join();
        if (same) {
            ASSERT_TRUE(okl) << el;
            ASSERT_TRUE(okc) << ec;
            EXPECT_TRUE(le.is_tcp && ce.is_tcp);
            EXPECT_EQ(write(ce.out_fd, "ping", 4), 4);
            EXPECT_EQ(read_n(le.in_fd, 4), "ping");
        } else {
            EXPECT_FALSE(okl);
            EXPECT_FALSE(okc);
            EXPECT_NE(ec.find("key check failed"), std::string::npos) << ec;
        }
        close(l);
        close(c);
    }
}

TEST(Auth, SameKeyPasses) {
    Pair p;
    AuthResult a, b;
    run_both(p.a, "k3y", p.b, "k3y", &a, &b);
    EXPECT_TRUE(a.ok) << a.error;
    EXPECT_TRUE(b.ok) << b.error;
    // Nothing beyond the exchange was consumed: data right after it arrives.
    ASSERT_EQ(write(p.a, "after", 5), 5);
    EXPECT_EQ(read_n(p.b, 5), "after");
}

TEST(Auth, DifferentKeysRefused) {
    Pair p;
    AuthResult a, b;
    run_both(p.a, "one key", p.b, "another key", &a, &b);
    EXPECT_FALSE(a.ok);
    EXPECT_FALSE(b.ok);
    EXPECT_EQ(a.error, "key check failed: the far end does not hold the same key");
    EXPECT_EQ(b.error, a.error);
    EXPECT_EQ(a.fault, vesk::transport::CheckFault::kWrongKey);
}

// A listener with a link up says so; the connecting end tells that apart
// from a key failure, also when its own hello meets the closed socket.
TEST(Auth, BusyListenerNamed) {
    Pair p;
    ASSERT_TRUE(vesk::transport::send_busy(p.b));
    close(p.b);
    p.b = -1;
    AuthResult a;
    a.ok = vesk::transport::authenticate(p.a, "k", true, &a.error, nullptr, &a.fault);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, "the far end refused the link: a link is up already");
    EXPECT_EQ(a.fault, vesk::transport::CheckFault::kBusy);
}

TEST(Auth, SameRoleOnBothSidesRefused) {
    Pair p;
    AuthResult a, b;
    std::thread t([&] { a.ok = vesk::transport::authenticate(p.a, "k", true, &a.error); });
    b.ok = vesk::transport::authenticate(p.b, "k", true, &b.error);
    t.join();
    EXPECT_FALSE(a.ok);
    EXPECT_FALSE(b.ok);
}

// Whatever is sent to one side comes straight back: a reflecting peer must
// not pass by echoing the nonce and then the proof.
TEST(Auth, ReflectionRefused) {
    Pair p;
    std::string proof;
    std::thread echo([&] {
        std::string hello = read_n(p.b, kAuthMessageBytes);
        ASSERT_EQ(write(p.b, hello.data(), hello.size()), static_cast<ssize_t>(hello.size()));
        proof = read_n(p.b, kAuthMessageBytes);
        if (!proof.empty()) write(p.b, proof.data(), proof.size());
    });
    std::string error;
    EXPECT_FALSE(vesk::transport::authenticate(p.a, "k", true, &error));
    shutdown(p.a, SHUT_WR);
    echo.join();
    EXPECT_NE(error.find("key check failed"), std::string::npos);
    // It must not even reveal its MAC to such a peer.
    EXPECT_TRUE(proof.empty());
}

TEST(Auth, GarbageAndTruncatedPeersRefused) {
    {
        Pair p;
        ASSERT_EQ(write(p.b, std::string(kAuthMessageBytes, 'x').data(), kAuthMessageBytes),
                  static_cast<ssize_t>(kAuthMessageBytes));
        std::string error;
        EXPECT_FALSE(vesk::transport::authenticate(p.a, "k", true, &error));
        EXPECT_NE(error.find("does not speak"), std::string::npos) << error;
    }
    {
        Pair p;
        ASSERT_EQ(write(p.b, "VK\x01\x01", 4), 4);  // a hello cut short, then the end
        shutdown(p.b, SHUT_WR);
        std::string error;
        EXPECT_FALSE(vesk::transport::authenticate(p.a, "k", true, &error));
        EXPECT_NE(error.find("closed"), std::string::npos) << error;
    }
    {
        // A peer that sends a valid-looking hello and then a forged proof.
        Pair p;
        std::thread peer([&] {
            std::string hello = read_n(p.b, kAuthMessageBytes);
            std::string mine = hello;
            mine[4] = 'A';
            mine[5] ^= 1;
            write(p.b, mine.data(), mine.size());
            std::string proof(kAuthMessageBytes, '\0');
            proof.replace(0, 5,
                          "VK\x01\x02"
                          "A",
                          5);
            read_n(p.b, kAuthMessageBytes);
            write(p.b, proof.data(), proof.size());
        });
        std::string error;
        EXPECT_FALSE(vesk::transport::authenticate(p.a, "k", true, &error));
        peer.join();
        EXPECT_EQ(error, "key check failed: the far end does not hold the same key");
    }
}

// A peer that says nothing at all: the check gives up after its timeout
// (about 10 s) instead of holding the daemon's start for ever.
TEST(Auth, SilentPeerTimesOut) {
    Pair p;
    std::string error;
    EXPECT_FALSE(vesk::transport::authenticate(p.a, "k", false, &error));
    EXPECT_EQ(error, "no answer from the far end within 10 s");
}

TEST(Compress, RoundTrip) {
    std::vector<uint8_t> in(64 * 1024);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>("abcabcabd"[i % 9]);
    std::vector<uint8_t> packed, unpacked{1, 2, 3};
    ASSERT_TRUE(vesk::transport::compress(in, packed));
    EXPECT_LT(packed.size(), in.size());
    ASSERT_TRUE(vesk::transport::decompress(packed, unpacked, in.size()));
    EXPECT_EQ(unpacked, in);
    // Exactly the declared size is the limit; one byte less is refused.
    EXPECT_FALSE(vesk::transport::decompress(packed, unpacked, in.size() - 1));
    EXPECT_TRUE(unpacked.empty());
}

TEST(Compress, IncompressibleOrEmptyStaysRaw) {
    std::vector<uint8_t> noise(509);
    uint32_t x = 12345;
    for (auto &b : noise) {
        x = x * 1103515245 + 12345;
        b = static_cast<uint8_t>(x >> 24);
    }
    std::vector<uint8_t> out{9};
    EXPECT_FALSE(vesk::transport::compress(noise, out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(vesk::transport::compress({}, out));
}

TEST(Compress, CorruptInputRefused) {
    std::vector<uint8_t> in(4096, 'a');
    std::vector<uint8_t> packed, out;
    ASSERT_TRUE(vesk::transport::compress(in, packed));

    std::vector<uint8_t> cut(packed.begin(), packed.end() - 1);
    EXPECT_FALSE(vesk::transport::decompress(cut, out, in.size()));
    std::vector<uint8_t> trailing = packed;
    trailing.push_back(0);
    EXPECT_FALSE(vesk::transport::decompress(trailing, out, in.size()));
    std::vector<uint8_t> garbage(100, 0x55);
    EXPECT_FALSE(vesk::transport::decompress(garbage, out, 1 << 20));
    EXPECT_FALSE(vesk::transport::decompress({}, out, 1 << 20));
    for (size_t i = 4; i < packed.size(); ++i) {  // every byte after the magic
        std::vector<uint8_t> bad = packed;
        bad[i] ^= 0xFF;
        std::vector<uint8_t> o;
        if (vesk::transport::decompress(bad, o, in.size())) {
            EXPECT_LE(o.size(), in.size());
        }
    }
}

}  // namespace

// The listener's seats: room while there is some; a full source or table
// gives up its oldest silent connection, then one whose check has dragged
// past the grace, and never a peer that is still inside it.
TEST(ListenerSeats, MakeRoom) {
    using namespace vesk::tcplink;
    std::vector<Seat> seats;
    EXPECT_EQ(make_room(seats, "a", 0), 0u);
    for (size_t i = 0; i < kSeatsPerSource; i++) seats.push_back(Seat{"a", 100});
    EXPECT_EQ(make_room(seats, "b", 100), seats.size());
    EXPECT_EQ(make_room(seats, "a", 100), kNoRoom);
    EXPECT_EQ(make_room(seats, "a", 100 + kTalkGraceMs), 0u);
    seats[2].talking_since_ms = -1;
    EXPECT_EQ(make_room(seats, "a", 100), 2u);
    seats.assign(kSeatsMax, Seat{"x", 100});
    seats[0].source = "a";
    EXPECT_EQ(make_room(seats, "a", 100), kNoRoom);
    seats[5].talking_since_ms = -1;
    EXPECT_EQ(make_room(seats, "a", 100), 5u);
    seats[5].talking_since_ms = 200;
    EXPECT_EQ(make_room(seats, "a", 100 + kTalkGraceMs), 0u);
}

// Sources: an IPv4 address, an IPv4-mapped one as that, an IPv6 /64.
TEST(ListenerSeats, SourceOf) {
    using namespace vesk::tcplink;
    sockaddr_in four{};
    four.sin_family = AF_INET;
    inet_pton(AF_INET, "127.1.2.3", &four.sin_addr);
    EXPECT_EQ(source_of(reinterpret_cast<sockaddr *>(&four)), "127.1.2.3");
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::ffff:127.1.2.3", &six.sin6_addr);
    EXPECT_EQ(source_of(reinterpret_cast<sockaddr *>(&six)), "127.1.2.3");
    inet_pton(AF_INET6, "fd00:1:2:3:4:5:6:7", &six.sin6_addr);
    EXPECT_EQ(source_of(reinterpret_cast<sockaddr *>(&six)), "fd00:1:2:3::/64");
}
