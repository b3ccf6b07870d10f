// Clock pass arithmetic: round trip, carry, borrow and the reply parse.
#include <gtest/gtest.h>

#include <climits>

#include "../../utils/clock_step.h"

using timesync::ClockReading;

namespace {

// remote corrected by diff microseconds reads sec.usec.
void expect_corrected(ClockReading remote, int64_t diff, int64_t sec, int64_t usec) {
    ClockReading out{-1, -1};
    EXPECT_TRUE(timesync::corrected_time(remote, diff, &out));
    EXPECT_EQ(out.sec, sec) << remote.sec << "." << remote.usec << " + " << diff;
    EXPECT_EQ(out.usec, usec) << remote.sec << "." << remote.usec << " + " << diff;
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
    expect_corrected({1000, 999000}, 2500, 1001, 1500);
}

TEST(TimesyncCorrectedTime, AddsTheWholeRoundTrip) {
    expect_corrected({2000, 0}, 40000, 2000, 40000);
}

TEST(TimesyncCorrectedTime, CarriesSeveralSeconds) {
    expect_corrected({100, 500000}, 2600000, 103, 100000);
}

TEST(TimesyncCorrectedTime, ExactSecondLeavesNoMicroseconds) {
    expect_corrected({100, 999999}, 1, 101, 0);
}

TEST(TimesyncCorrectedTime, NegativeRemainderBorrowsASecond) {
    expect_corrected({3000, 100}, -100000, 2999, 900100);
    expect_corrected({3000, 0}, -1000000, 2999, 0);  // exactly one second back: no borrow
    expect_corrected({3000, 0}, -1500000, 2998, 500000);
}

TEST(TimesyncCorrectedTime, PastThe32BitLimit) {
    expect_corrected({2147483647, 999999}, 1, 2147483648LL, 0);
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
