// Clock pass arithmetic: round trip, carry, borrow and the reply parse.
#include <gtest/gtest.h>

#include <climits>

#include "../../utils/clock_step.h"

using timesync::ClockReading;

namespace {

ClockReading corrected(ClockReading remote, int64_t diff) {
    ClockReading out{-1, -1};
    EXPECT_TRUE(timesync::corrected_time(remote, diff, &out));
    return out;
}

}  // namespace

TEST(TimesyncRoundTrip, SpansASecondBoundary) {
    EXPECT_EQ(timesync::round_trip_us({10, 990000}, {11, 30000}), 40000);
    EXPECT_EQ(timesync::round_trip_us({500, 0}, {500, 2500}), 2500);
    EXPECT_EQ(timesync::round_trip_us({7, 5}, {7, 5}), 0);
    EXPECT_EQ(timesync::round_trip_us({50, 500000}, {50, 400000}), -100000);
}

TEST(TimesyncRoundTrip, AfterTheYear2038) {
    // 2^31 seconds and beyond: the 64-bit values keep the exact difference.
    EXPECT_EQ(timesync::round_trip_us({2147483647, 999999}, {2147483648, 1}), 2);
}

TEST(TimesyncCorrectedTime, CarriesAFullSecond) {
    const ClockReading t = corrected({1000, 999000}, 2500);
    EXPECT_EQ(t.sec, 1001);
    EXPECT_EQ(t.usec, 1500);
}

TEST(TimesyncCorrectedTime, AddsTheWholeRoundTrip) {
    const ClockReading t = corrected({2000, 0}, 40000);
    EXPECT_EQ(t.sec, 2000);
    EXPECT_EQ(t.usec, 40000);
}

TEST(TimesyncCorrectedTime, CarriesSeveralSeconds) {
    const ClockReading t = corrected({100, 500000}, 2600000);
    EXPECT_EQ(t.sec, 103);
    EXPECT_EQ(t.usec, 100000);
}

TEST(TimesyncCorrectedTime, ExactSecondLeavesNoMicroseconds) {
    const ClockReading t = corrected({100, 999999}, 1);
    EXPECT_EQ(t.sec, 101);
    EXPECT_EQ(t.usec, 0);
}

TEST(TimesyncCorrectedTime, NegativeRemainderBorrowsASecond) {
    ClockReading t = corrected({3000, 100}, -100000);
    EXPECT_EQ(t.sec, 2999);
    EXPECT_EQ(t.usec, 900100);
    t = corrected({3000, 0}, -1000000);  // exactly one second back: no borrow
    EXPECT_EQ(t.sec, 2999);
    EXPECT_EQ(t.usec, 0);
    t = corrected({3000, 0}, -1500000);
    EXPECT_EQ(t.sec, 2998);
    EXPECT_EQ(t.usec, 500000);
}

TEST(TimesyncCorrectedTime, PastThe32BitLimit) {
    const ClockReading t = corrected({2147483647, 999999}, 1);
    EXPECT_EQ(t.sec, 2147483648LL);
    EXPECT_EQ(t.usec, 0);
}

TEST(TimesyncCorrectedTime, RefusesSumsThatOverflow) {
    ClockReading out{};
    EXPECT_FALSE(timesync::corrected_time({LLONG_MAX, 999999}, 1, &out));
    EXPECT_FALSE(timesync::corrected_time({0, LLONG_MAX}, 1, &out));
    EXPECT_FALSE(timesync::corrected_time({LLONG_MIN, 0}, -1, &out));
}

TEST(TimesyncParse, TwoIntegersAsScanfReadsThem) {
    ClockReading r{};
    ASSERT_TRUE(timesync::parse_remote_clock("1000 999000", &r));
    EXPECT_EQ(r.sec, 1000);
    EXPECT_EQ(r.usec, 999000);
    ASSERT_TRUE(timesync::parse_remote_clock("  12\t\n34 trailing", &r));
    EXPECT_EQ(r.sec, 12);
    EXPECT_EQ(r.usec, 34);
    ASSERT_TRUE(timesync::parse_remote_clock("-5 +7", &r));
    EXPECT_EQ(r.sec, -5);
    EXPECT_EQ(r.usec, 7);
    ASSERT_TRUE(timesync::parse_remote_clock("4102444800 1", &r));  // the year 2100
    EXPECT_EQ(r.sec, 4102444800LL);
}

TEST(TimesyncParse, RefusesWhatIsNotTwoIntegers) {
    ClockReading r{};
    EXPECT_FALSE(timesync::parse_remote_clock(nullptr, &r));
    EXPECT_FALSE(timesync::parse_remote_clock("", &r));
    EXPECT_FALSE(timesync::parse_remote_clock("1000", &r));
    EXPECT_FALSE(timesync::parse_remote_clock("1000 ", &r));
    EXPECT_FALSE(timesync::parse_remote_clock("no clock", &r));
    EXPECT_FALSE(timesync::parse_remote_clock("1000 x5", &r));
    EXPECT_FALSE(timesync::parse_remote_clock("99999999999999999999 0", &r));
}

TEST(TimesyncDaemonMode, DecidedByTheLastCharacter) {
    EXPECT_TRUE(timesync::invoked_as_daemon("timesyncd"));
    EXPECT_TRUE(timesync::invoked_as_daemon("a/b/xd"));
    EXPECT_TRUE(timesync::invoked_as_daemon("d"));
    EXPECT_FALSE(timesync::invoked_as_daemon("timesync"));
    EXPECT_FALSE(timesync::invoked_as_daemon("/usr/sbin/d/timesync"));
    EXPECT_FALSE(timesync::invoked_as_daemon("timesyncD"));
    EXPECT_FALSE(timesync::invoked_as_daemon(""));
    EXPECT_FALSE(timesync::invoked_as_daemon(nullptr));
}
