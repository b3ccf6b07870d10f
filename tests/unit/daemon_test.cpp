// veskd's lifecycle: the reconnect backoff.
#include <gtest/gtest.h>

#include <cstdint>

#include "daemon.h"

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
