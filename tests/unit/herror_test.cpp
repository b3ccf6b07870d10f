#include <gtest/gtest.h>
#include <netdb.h>

#include <string>

#include "vesknet.h"

namespace {

TEST(StrherrorTest, KnownCodes) {
    EXPECT_STREQ(vesk_strherror(0), "Hostname lookup failed; no error reported");
    EXPECT_STREQ(vesk_strherror(HOST_NOT_FOUND), "Host not found");
    EXPECT_STREQ(vesk_strherror(TRY_AGAIN), "Non-authoritative `host not found', or server failed");
    EXPECT_STREQ(vesk_strherror(NO_RECOVERY), "Non-recoverable hostname lookup error");
    EXPECT_STREQ(vesk_strherror(NO_DATA), "Valid name, no data record of requested type");
}

TEST(StrherrorTest, UnknownCodesPrintNumber) {
    EXPECT_STREQ(vesk_strherror(5), "Hostname lookup error 5");
    EXPECT_STREQ(vesk_strherror(7), "Hostname lookup error 7");
    EXPECT_STREQ(vesk_strherror(-1), "Hostname lookup error -1");
    EXPECT_STREQ(vesk_strherror(-2147483647 - 1), "Hostname lookup error -2147483648");
}

TEST(StrherrorTest, SameBufferOverwrittenEachCall) {
    char *first = vesk_strherror(1);
    std::string saved = first;
    char *second = vesk_strherror(3);
    EXPECT_EQ(first, second);
    EXPECT_EQ(saved, "Host not found");
    EXPECT_STREQ(first, "Non-recoverable hostname lookup error");
}

TEST(HerrorTest, PrintsPrefixAndTextForCurrentCode) {
    h_errno = HOST_NOT_FOUND;
    testing::internal::CaptureStderr();
    vesk_herror("lookup");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "lookup: Host not found\n");

    h_errno = 9;
    testing::internal::CaptureStderr();
    vesk_herror("x");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "x: Hostname lookup error 9\n");
}

}  // namespace
