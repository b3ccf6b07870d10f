// The link's pace: round trips and rates from pings placed in the stream,
// and the frame size, unsent limit and in-flight cap that follow.
#include "pace.h"

#include <gtest/gtest.h>

using vesk::Pace;

namespace {
constexpr size_t kLeast = 512;
constexpr size_t kMost = 16384;

// Pings every 5 ms while the link carries rate bytes per second, each
// answered after rtt_us; returns the time after the last PONG.
int64_t run(Pace &p, int64_t t, uint64_t &offset, uint64_t &token, uint64_t rate, int64_t rtt_us,
            int pings, bool backlogged) {
    for (int i = 0; i < pings; i++) {
        offset += rate * 5000 / 1000000;
        p.ping_sent(++token, offset, t);
        EXPECT_TRUE(p.pong(token, t + rtt_us, backlogged));
        t += 5000;
    }
    return t + rtt_us;
}
}  // namespace

TEST(Pace, UnknownUntilMeasured) {
    Pace p;
    EXPECT_EQ(p.frame_bytes(kLeast, kMost), kMost);
    EXPECT_EQ(p.unsent_limit(kMost), Pace::kUnsentStart);
    EXPECT_EQ(p.inflight_cap(kMost), UINT64_MAX);
    // A PONG of no ping in flight measures nothing.
    EXPECT_FALSE(p.pong(42, 1000, true));
    EXPECT_EQ(p.rtt_us(), 0);
}

TEST(Pace, FramesAndLimitsFollowABackloggedRate) {
    Pace p;
    uint64_t offset = 0, token = 0;
    const uint64_t rate = 1250000;  // 10 Mbit/s
    run(p, 1000000, offset, token, rate, 20000, 40, true);
    EXPECT_EQ(p.min_rtt_us(), 20000);
    EXPECT_NEAR(double(p.rate()), double(rate), rate * 0.05);
    // About 2 ms of the rate per frame, and a little more unsent.
    size_t frame = p.frame_bytes(kLeast, kMost);
    EXPECT_NEAR(double(frame), 2500.0, 150.0);
    EXPECT_NEAR(double(p.unsent_limit(frame)), frame + rate * Pace::kUnsentTimeUs / 1e6, 250.0);
    // In flight: 1.25 round trips and a gap between pings (an eighth of the
    // round trip) of the rate, and two frames.
    EXPECT_NEAR(double(p.inflight_cap(frame)), rate * 0.0275 + 2.0 * frame, 2000.0);
    EXPECT_EQ(p.acked(), offset);
}

TEST(Pace, AnIdleSpanDoesNotLowerTheRateAndAFastLinkKeepsFullFrames) {
    Pace p;
    uint64_t offset = 0, token = 0;
    // A quiet link says nothing of its rate: no small frames, no cap.
    int64_t quiet = run(p, 0, offset, token, 10000, 200, 40, false);
    EXPECT_EQ(p.rate(), 0u);
    EXPECT_EQ(p.inflight_cap(kMost), UINT64_MAX);
    offset += 1000000;
    quiet += 1000000;
    int64_t t = run(p, quiet, offset, token, 100000000, 200, 20, true);
    uint64_t fast = p.rate();
    EXPECT_EQ(p.frame_bytes(kLeast, kMost), kMost);
    // 200 us away: nothing to gain from a cap.
    EXPECT_EQ(p.inflight_cap(kMost), UINT64_MAX);
    // Little to send: the link seems slow but is not.
    run(p, t, offset, token, 10000, 200, 40, false);
    EXPECT_EQ(p.rate(), fast);
}

TEST(Pace, UnansweredPingsAreForgottenInOrder) {
    Pace p;
    p.ping_sent(1, 100, 0);
    p.ping_sent(2, 200, 10);
    p.ping_sent(3, 300, 20);
    // The far end dropped the first two PONGs.
    EXPECT_TRUE(p.pong(3, 1020, false));
    EXPECT_EQ(p.pings_out(), 0u);
    EXPECT_EQ(p.acked(), 300u);
    EXPECT_EQ(p.rtt_us(), 1000);
    EXPECT_FALSE(p.pong(1, 1030, false));
    for (uint64_t i = 0; i < Pace::kPingsMax + 3; i++) p.ping_sent(10 + i, 400 + i, 2000);
    EXPECT_EQ(p.pings_out(), Pace::kPingsMax);
}
