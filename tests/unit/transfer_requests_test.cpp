// Unit tests of the transfer programs' requests: a far reply's reason read
// back as an errno code, and a collected reply handed over as a value.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <sys/socket.h>
#include <unistd.h>

#include "requests.h"

using namespace vesk::transfer;

namespace {

TEST(TransferFarErrno, AStrerrorTextGivesItsCode) {
    EXPECT_EQ(far_errno(strerror(ENOENT)), ENOENT);
    EXPECT_EQ(far_errno(strerror(ENOTDIR)), ENOTDIR);
    EXPECT_EQ(far_errno(strerror(EACCES)), EACCES);
}

TEST(TransferFarErrno, AnyOtherTextGivesZero) {
    EXPECT_EQ(far_errno(""), 0);
    EXPECT_EQ(far_errno("Unsupported vesk option"), 0);
    // Only the whole text names a code.
    EXPECT_EQ(far_errno(std::string(strerror(ENOENT)) + " "), 0);
}

TEST(TransferRequests, AFailedFarReplyIsAValueWithItsCode) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    // The reply waits before the request goes: collect reads it at once.
    const std::string reply = std::string("@>e") + strerror(ENOTDIR) + '\0';
    ASSERT_EQ(write(sv[1], reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    Requests req;
    req.reset(sv[0]);
    Reply r = req.call('D', 0, "%s", "some/name");
    EXPECT_TRUE(r.failed());
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.text, strerror(ENOTDIR));
    EXPECT_EQ(r.far_error, ENOTDIR);
    close(sv[0]);
    close(sv[1]);
}

TEST(TransferRequests, ATicketCollectedTwiceHasNoReply) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const std::string reply = std::string("@>d12 3\0", 8);
    ASSERT_EQ(write(sv[1], reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    Requests req;
    req.reset(sv[0]);
    Requests::Ticket t = req.post('D', 0, "%s", "name");
    Reply first = req.collect(t);
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(first.text, "12 3");
    EXPECT_EQ(first.far_error, 0);
    Reply again = req.collect(t);
    EXPECT_EQ(again.status, -1);
    EXPECT_EQ(again.text, "no result forthcoming");
    close(sv[0]);
    close(sv[1]);
}

}  // namespace
