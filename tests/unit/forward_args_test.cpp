// Argument parsing of the forwarders: ports, display names, UDP targets; and
// displink's reading of an X client's connection setup.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <unistd.h>

#include "../../forward/args.h"
#include "../../forward/xsetup.h"
#include "vesknet.h"

using namespace vesk::forward;

TEST(ForwardArgs, LocalTcpPortNumbers) {
    EXPECT_EQ(local_tcp_port("8080"), 8080);
    EXPECT_EQ(local_tcp_port("80x"), 80);  // digits up to the first other character
    EXPECT_EQ(local_tcp_port("0"), 0);
    // Out of range is passed on for the bind to refuse, never wrapped.
    EXPECT_EQ(local_tcp_port("70000"), 70000);
    EXPECT_GT(local_tcp_port("99999999999999"), 65535);
}

TEST(ForwardArgs, LocalTcpPortServiceNames) {
    EXPECT_EQ(local_tcp_port("http"), 80);
    EXPECT_EQ(local_tcp_port("smtp"), 25);
    EXPECT_EQ(local_tcp_port("no-such-service-here"), 0);
    EXPECT_EQ(local_tcp_port("x80"), 0);
}

TEST(ForwardArgs, DisplayDefaults) {
    DisplayStart none = display_start(nullptr);
    EXPECT_EQ(none.host, "");
    EXPECT_EQ(none.number, kDefaultDisplay);
    DisplayStart no_colon = display_start("somehost");
    EXPECT_EQ(no_colon.host, "");
    EXPECT_EQ(no_colon.number, kDefaultDisplay);
    DisplayStart unix_name = display_start("host:unix");
    EXPECT_EQ(unix_name.host, "host");
    EXPECT_EQ(unix_name.number, kDefaultDisplay);
}

TEST(ForwardArgs, DisplayNumbers) {
    EXPECT_EQ(display_start(":0").number, 0);
    EXPECT_EQ(display_start(":0").host, "");
    DisplayStart screen = display_start("host:0.0");
    EXPECT_EQ(screen.host, "host");
    EXPECT_EQ(screen.number, 0);
    EXPECT_EQ(display_start("a:b:7").host, "a");
    EXPECT_EQ(display_start("a:b:7").number, kDefaultDisplay);
    EXPECT_EQ(display_start("h:100").number, 100);
    // Huge numbers stay past every port instead of overflowing the port sum.
    int huge = display_start("h:99999999999999999999999").number;
    EXPECT_GT(kXPortBase + huge, 65535);
    EXPECT_GT(huge, 0);
}

TEST(ForwardArgs, DisplayNameCutAt1023) {
    // Exactly 1023 characters: all kept.
    std::string inside = std::string(1021, 'a') + ":5";
    DisplayStart in = display_start(inside.c_str());
    EXPECT_EQ(in.host, std::string(1021, 'a'));
    EXPECT_EQ(in.number, 5);
    // Colon at 1023: beyond it, so the kept text is all host and the search starts at 9.
    std::string beyond = std::string(1023, 'b') + ":5";
    DisplayStart out = display_start(beyond.c_str());
    EXPECT_EQ(out.host, std::string(1023, 'b'));
    EXPECT_EQ(out.number, kDefaultDisplay);
    // Colon at 1022 with the digit cut off: the number text is empty.
    std::string cut = std::string(1022, 'c') + ":";
    EXPECT_EQ(display_start((cut + "7").c_str()).number, kDefaultDisplay);
}

TEST(ForwardArgs, UdpTargets) {
    UdpTarget bare = udp_target("53");
    EXPECT_FALSE(bare.has_host);
    EXPECT_EQ(bare.port, 53);
    UdpTarget named = udp_target("dns.example:5353");
    EXPECT_TRUE(named.has_host);
    EXPECT_EQ(named.host, "dns.example");
    EXPECT_EQ(named.port, 5353);
    UdpTarget empty_host = udp_target(":53");
    EXPECT_TRUE(empty_host.has_host);
    EXPECT_EQ(empty_host.host, "");
    EXPECT_EQ(empty_host.port, 53);
    // Only the low 16 bits count: these are all port 0, which callers refuse.
    EXPECT_EQ(udp_target("h:0").port, 0);
    EXPECT_EQ(udp_target("h:65536").port, 0);
    EXPECT_EQ(udp_target("0").port, 0);
    EXPECT_EQ(udp_target("h:x").port, 0);
    EXPECT_EQ(udp_target("h:65537").port, 1);
    EXPECT_EQ(udp_target("1.2.3.4:7:8").host, "1.2.3.4");
}

TEST(ForwardArgs, LocalUdpPort) {
    EXPECT_EQ(local_udp_port("5353"), 5353);
    EXPECT_EQ(local_udp_port("abc"), 0);
    EXPECT_EQ(local_udp_port("70000"), 70000 & 0xFFFF);
}

TEST(ForwardArgs, DottedHostResolvesWithoutALinkServer) {
    // No link server is reachable from an empty home: a dotted address must
    // still resolve, since it names itself.
    char home[] = "/tmp/vesk-fwd-home.XXXXXX";
    ASSERT_NE(mkdtemp(home), nullptr);
    setenv("HOME", home, 1);
    const hostent *entry = vesk_gethostbyname("127.0.0.1");
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(entry->h_length, 4);
    in_addr got{};
    std::memcpy(&got, entry->h_addr_list[0], sizeof got);
    EXPECT_EQ(got.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(entry->h_addr_list[1], nullptr);
    // A name still needs the far side, which is not there.
    EXPECT_EQ(vesk_gethostbyname("far.example"), nullptr);
    rmdir(home);
}

TEST(XSetup, CookieCheckedInEitherByteOrderAndReplaced) {
    namespace x = vesk::forward::x11;
    std::vector<uint8_t> cookie(x::kCookieBytes, 0xab), other(x::kCookieBytes, 0xcd);
    for (bool msb : {true, false}) {
        x::Head h;
        h.msb = msb;
        h.major = 11;
        std::vector<uint8_t> setup = x::with_auth(h, x::kCookieName, cookie);
        ASSERT_EQ(setup.size(), 12u + 20u + 16u);  // the 18-byte name padded to 20
        x::Head got;
        ASSERT_TRUE(x::parse_head(setup.data(), &got));
        EXPECT_EQ(got.msb, msb);
        EXPECT_EQ(got.major, 11);
        EXPECT_EQ(x::setup_bytes(got), setup.size());
        EXPECT_TRUE(x::carries_cookie(got, setup.data(), cookie.data()));
        EXPECT_FALSE(x::carries_cookie(got, setup.data(), other.data()));
        // Without credentials: the head alone.
        EXPECT_EQ(x::with_auth(got, "", {}).size(), 12u);
        // The refusal: status 0, the reason's length, its length in words.
        std::vector<uint8_t> no = x::failure(got, "No protocol specified");
        ASSERT_EQ(no.size(), 8u + 24u);
        EXPECT_EQ(no[0], 0);
        EXPECT_EQ(no[1], 21);
        EXPECT_EQ(x::get16(no.data() + 6, msb), 6);
    }
    uint8_t bad[12] = {'X'};
    x::Head h;
    EXPECT_FALSE(x::parse_head(bad, &h));  // no byte order
    uint8_t huge[12] = {'B', 0, 0, 11, 0, 0, 0xff, 0xff, 0, 0};
    EXPECT_FALSE(x::parse_head(huge, &h));  // a name longer than any scheme's
}
