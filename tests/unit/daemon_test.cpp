// veskd's lifecycle: the reconnect backoff, the liveness default of each
// link kind, and the status report.
#include <gtest/gtest.h>

#include <cstdint>

#include "daemon.h"
#include "status.h"

using vesk::backoff_ms;

TEST(Backoff, DoublesFromOneSecondUpToAMinuteWithJitter) {
    // random 0 and UINT32_MAX give the two ends of the spread.
    EXPECT_GE(backoff_ms(0, 0), 750);
    EXPECT_LE(backoff_ms(0, UINT32_MAX), 1250);
    EXPECT_EQ(backoff_ms(0, 250), 1000);
    EXPECT_EQ(backoff_ms(1, 500), 2000);
    EXPECT_EQ(backoff_ms(5, 8000), 32000);
    for (int attempt : {6, 7, 30, 1000, 1 << 30}) {
        EXPECT_GE(backoff_ms(attempt, 0), 45000) << attempt;
        EXPECT_LE(backoff_ms(attempt, UINT32_MAX), 60000) << attempt;
    }
}

TEST(AliveDefault, LongerOnLinesOfCheckedPacketsThanOnTcp) {
    using vesk::default_alive_ms;
    using vesk::transport::LinkKind;
    for (LinkKind kind : {LinkKind::kStdio, LinkKind::kExec, LinkKind::kSerial}) {
        EXPECT_EQ(default_alive_ms(kind, true), 90 * 1000);
        EXPECT_EQ(default_alive_ms(kind, false), 30 * 1000);  // --trust-line
    }
    EXPECT_EQ(default_alive_ms(LinkKind::kTcp, true), 30 * 1000);
    EXPECT_EQ(default_alive_ms(LinkKind::kTcpListen, true), 30 * 1000);
}

// The status report of a fixed state: units follow the size of each figure,
// text from the far end is shown escaped, and the line's counters and the
// next try appear only where they exist.
TEST(Status, TextAndJsonOfAFixedState) {
    vesk::status::View v;
    v.state = "up";
    v.state_ms = 3725 * 1000;
    v.link = "tcp:far:7301";
    v.up = true;
    v.far_host = "far\nhost";
    v.far_addr = "10.0.0.2";
    v.far_version = 20305;
    v.far_uid = 1000;
    v.rtt_us = 1500;
    v.bytes_in = 123;
    v.bytes_out = 4567;
    v.rate_in = 999;
    v.rate_out = 2500000;
    v.rate_in_up = 1000;
    v.rate_out_up = 0;
    v.reconnections = 2;
    v.now_ms = 90 * 1000;
    vesk::ClientInfo c;
    c.id = 7;
    c.kind = "upload";
    c.pid = 42;
    c.uid = 1000;
    c.bytes_in = 10;
    c.bytes_out = 5;
    c.since_ms = 0;
    v.clients.push_back(c);
    EXPECT_EQ(vesk::status::text(v),
              "state: up for 1 h 2 min\n"
              "link: tcp:far:7301\n"
              "far end: far\\x0ahost (10.0.0.2), version 20305, user 1000\n"
              "round trip: 1.5 ms\n"
              "rate: in 999 B/s, out 2.5 MB/s (last 10 s); in 1.0 kB/s, out 0 B/s (since up)\n"
              "bytes: in 123, out 4567\n"
              "far clients served here: 0\n"
              "reconnections: 2\n"
              "client 7: upload, pid 42, uid 1000, 15 bytes, for 1 min 30 s\n");
    std::string j = vesk::status::json(v);
    EXPECT_NE(j.find("\"far\":{\"host\":\"far\\u000ahost\""), std::string::npos) << j;
    EXPECT_NE(j.find("\"next_try_seconds\":null"), std::string::npos) << j;
    EXPECT_EQ(j.find("damaged"), std::string::npos) << j;
    EXPECT_EQ(j.back(), '\n');

    vesk::status::View down;
    down.state = "down";
    down.state_ms = 500;
    down.next_try_ms = 1500;
    down.since_s = 86400;
    down.reason = "link lost: the far end went away";
    EXPECT_EQ(vesk::status::text(down).substr(0, 40), "state: down for 0.5 s, next try in 1.5 s");
    EXPECT_NE(vesk::status::text(down).find("\nsince: 1970-01-02 00:00:00 UTC\n"),
              std::string::npos);
    EXPECT_NE(vesk::status::text(down).find("\nreason: link lost: the far end went away\n"),
              std::string::npos);
    EXPECT_NE(vesk::status::json(down).find("\"since\":\"1970-01-02T00:00:00Z\""),
              std::string::npos);

    // Up, but a round trip from before the far end fell silent is no round trip.
    v.heard_ago_ms = 15000;
    v.rtt_age_ms = 15000;
    EXPECT_NE(vesk::status::text(v).find("last heard: 15.0 s ago\nround trip: none measured for "
                                         "15.0 s (the last was 1.5 ms)\n"),
              std::string::npos)
        << vesk::status::text(v);
}

// Whatever bytes a name holds, the JSON stays valid: UTF-8 passes, and any
// byte that is not part of it is escaped; the text shows such bytes as \xHH.
TEST(Status, BytesThatAreNotUtf8AreEscaped) {
    EXPECT_EQ(vesk::status::json_string("a\xc3\xa9\xff\xc3(\xed\xa0\x80\xf0\x9f\x98\x80\""),
              "\"a\xc3\xa9\\u00ff\\u00c3(\\u00ed\\u00a0\\u0080\xf0\x9f\x98\x80\\\"\"");
    vesk::status::View v;
    v.link = "exec:\xff\xc2\x9b";
    EXPECT_NE(vesk::status::text(v).find("link: exec:\\xff\\xc2\\x9b\n"), std::string::npos);
}

// The last rate covers at most the span, from the oldest sample kept.
TEST(Status, RateOverTheLastSpan) {
    vesk::status::Rates r;
    uint64_t in = 1, out = 1;
    r.last(0, 0, 0, &in, &out);
    EXPECT_EQ(in, 0u);
    for (int64_t s = 0; s <= 20; s++) r.sample(s * 1000, uint64_t(s) * 1000, 0);
    r.last(20 * 1000, 20 * 1000 + 0, 0, &in, &out);
    EXPECT_EQ(in, 1000u);
    // A burst in the last second shows over the span it falls in.
    r.last(21 * 1000, 20 * 1000 + 110 * 1000, 0, &in, &out);
    EXPECT_EQ(in, 120u * 1000 * 1000 / 11000);
}
