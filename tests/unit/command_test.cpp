#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "vesknet.h"

namespace {

class CommandTest : public ::testing::Test {
  protected:
    int fds[2] = {-1, -1};
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        remote_vesk_version = 20305;
        vesk_remoteaddr = 0;
        memset(vesk_remotehost, 0, sizeof vesk_remotehost);
    }
    void TearDown() override {
        if (fds[0] >= 0) close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
        remote_vesk_version = 0;
    }
    void reply(const std::string &bytes) {
        ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything the client has sent so far, without blocking.
    std::string sent() {
        std::string out;
        char buf[4096];
        int fl = fcntl(fds[1], F_GETFL);
        fcntl(fds[1], F_SETFL, fl | O_NONBLOCK);
        ssize_t n;
        while ((n = read(fds[1], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        fcntl(fds[1], F_SETFL, fl);
        return out;
    }
};

TEST_F(CommandTest, NullFormatSendsFourBytes) {
    reply(std::string("xxdok\0", 6));
    EXPECT_EQ(send_command(fds[0], 'A', 1, nullptr), 1);
    EXPECT_EQ(sent(), std::string("@?A\0", 4));
    EXPECT_STREQ(command_result, "ok");
}

TEST_F(CommandTest, CodeZeroBecomesStatsToRemote) {
    reply(std::string("abdfine\0", 8));
    EXPECT_EQ(send_command(fds[0], 0, 0, nullptr), 1);
    EXPECT_EQ(sent(), std::string("@>F\0", 4));
}

TEST_F(CommandTest, PriorityLocalHasNoReply) {
    reply(std::string("zzdleftover\0", 12));
    EXPECT_EQ(send_command(fds[0], 'd', 1, "%d", 5), 1);
    EXPECT_EQ(sent(), std::string("@?d5\0", 5));
    EXPECT_STREQ(command_result, "no result forthcoming");
    // The unread reply must still be there for whoever reads next.
    char c;
    EXPECT_EQ(read(fds[0], &c, 1), 1);
    EXPECT_EQ(c, 'z');
}

TEST_F(CommandTest, PriorityToOldRemoteTranslatedAndReplyRead) {
    remote_vesk_version = 19999;
    reply(std::string("xxdset\0", 7));
    EXPECT_EQ(send_command(fds[0], 'd', 0, "%d", 3), 1);
    EXPECT_EQ(sent(), std::string("@>B3\0", 5));
    EXPECT_STREQ(command_result, "set");
}

TEST_F(CommandTest, XTranslation) {
    remote_vesk_version = 11499;
    reply(std::string("xxd\0", 4));
    EXPECT_EQ(send_command(fds[0], 'X', 0, "%s", "/x"), 1);
    EXPECT_EQ(sent(), std::string("@>8/x\0", 6));
    remote_vesk_version = 11500;
    reply(std::string("xxd\0", 4));
    EXPECT_EQ(send_command(fds[0], 'X', 0, "%s", "/x"), 1);
    EXPECT_EQ(sent(), std::string("@>X/x\0", 6));
}

TEST_F(CommandTest, FGating) {
    remote_vesk_version = 20154;
    EXPECT_EQ(send_command(fds[0], 'f', 0, nullptr), 0);
    EXPECT_EQ(sent(), "");
    EXPECT_STREQ(command_result, "Unsupported vesk option");
    remote_vesk_version = 20155;
    EXPECT_EQ(send_command(fds[0], 'f', 0, nullptr), 1);
    EXPECT_EQ(sent(), std::string("@>f\0", 4));
}

TEST_F(CommandTest, UnknownVersionRefusesGatedRemote) {
    remote_vesk_version = 0;
    EXPECT_EQ(send_command(fds[0], 'T', 0, "1 2"), -1);
    EXPECT_EQ(sent(), "");
}

TEST_F(CommandTest, CLocalAnswer) {
    remote_vesk_version = 20054;
    vesk_remoteaddr = 0x7f000002;
    strcpy(vesk_remotehost, "peer");
    EXPECT_EQ(send_command(fds[0], 'c', 0, "%s", "remotehost"), 0);
    EXPECT_EQ(sent(), "");
    EXPECT_STREQ(command_result, "7f000002 peer");
    remote_vesk_version = 11713;
    EXPECT_EQ(send_command(fds[0], 'c', 0, "%s", "other"), -1);
    EXPECT_EQ(sent(), "");
    remote_vesk_version = 20053;
    reply(std::string("xxd1 peer\0", 10));
    EXPECT_EQ(send_command(fds[0], 'c', 0, "%s", "peer"), 1);
    EXPECT_EQ(sent(), std::string("@>cpeer\0", 8));
}

TEST_F(CommandTest, TooLongArgumentSendsNothing) {
    std::string big(1021, 'a');
    EXPECT_EQ(send_command(fds[0], 'D', 0, "%s", big.c_str()), -1);
    EXPECT_EQ(sent(), "");
    EXPECT_STREQ(command_result, "Argument text too long");
    std::string fits(1020, 'b');
    reply(std::string("xxd\0", 4));
    EXPECT_EQ(send_command(fds[0], 'D', 0, "%s", fits.c_str()), 1);
    EXPECT_EQ(sent(), std::string("@>D") + fits + std::string(1, '\0'));
}

TEST_F(CommandTest, OverLongReplyKeepsStep) {
    std::string longreply = "xxd" + std::string(2000, 'r');
    longreply.push_back('\0');
    reply(longreply);
    reply(std::string("xxdnext\0", 8));
    EXPECT_EQ(send_command(fds[0], 'A', 0, nullptr), 1);
    EXPECT_EQ(strlen(com_result), 1023u);
    EXPECT_EQ(send_command(fds[0], 'A', 0, nullptr), 1);
    EXPECT_STREQ(command_result, "next");
}

TEST_F(CommandTest, FailureStatusAndEarlyClose) {
    reply(std::string("xxnbad\0", 7));
    EXPECT_EQ(send_command(fds[0], 'A', 0, nullptr), -1);
    EXPECT_STREQ(command_result, "bad");
    // The peer stops sending but still takes the request, as a server that
    // hangs up after reading would.
    shutdown(fds[1], SHUT_WR);
    EXPECT_EQ(send_command(fds[0], 'A', 1, nullptr), -1);
    EXPECT_STREQ(command_result, "no result forthcoming");
}

TEST_F(CommandTest, NonBlockingRestoredAfterReply) {
    set_nonblock(fds[0]);
    reply(std::string("xxd\0", 4));
    EXPECT_EQ(send_command(fds[0], 'A', 0, nullptr), 1);
    EXPECT_TRUE(fcntl(fds[0], F_GETFL) & O_NONBLOCK);
}

}  // namespace

namespace {

// One threshold rule at its edge: refused at V, sent at V + 1.
struct Gate {
    char code;
    unsigned long last_refused;
    int refused_result;
    bool has_reply;
};

TEST_F(CommandTest, ThresholdsRefuseAtEdgeAndSendAbove) {
    const Gate gates[] = {{'7', 20057, -1, true}, {'9', 19999, -1, false}, {'O', 20054, -1, false},
                          {'T', 19999, -1, true}, {'V', 19999, -1, true},  {'W', 19999, -1, true},
                          {'a', 11713, -1, true}, {'b', 11713, -1, true},  {'e', 20153, -1, false},
                          {'f', 20154, 0, false}};
    for (const Gate &g : gates) {
        SCOPED_TRACE(std::string(1, g.code));
        remote_vesk_version = g.last_refused;
        EXPECT_EQ(send_command(fds[0], g.code, 0, "%s", "x"), g.refused_result);
        EXPECT_STREQ(command_result, "Unsupported vesk option");
        EXPECT_EQ(sent(), "");
        remote_vesk_version = g.last_refused + 1;
        if (g.has_reply) reply(std::string("xxdok\0", 6));
        EXPECT_EQ(send_command(fds[0], g.code, 0, "%s", "x"), 1);
        EXPECT_EQ(sent(), std::string("@>") + g.code + std::string("x\0", 2));
    }
}

TEST_F(CommandTest, IAlwaysRefusedLocalOrRemote) {
    EXPECT_EQ(send_command(fds[0], 'I', 1, nullptr), -1);
    EXPECT_EQ(send_command(fds[0], 'I', 0, nullptr), -1);
    EXPECT_STREQ(command_result, "Unsupported vesk option");
    EXPECT_EQ(sent(), "");
}

// Before any handshake the remote version is 0: old forms, and a reply is
// read for them; local requests are judged by 20305 and keep the new forms.
TEST_F(CommandTest, VersionZeroUsesOldFormsRemotelyOnly) {
    remote_vesk_version = 0;
    const char pairs[][2] = {{'X', '8'}, {'d', 'B'}, {'g', 'G'}, {'h', 'H'}, {'l', 'L'}};
    for (const auto &p : pairs) {
        reply(std::string("xxdold\0", 7));
        EXPECT_EQ(send_command(fds[0], p[0], 0, "%d", 1), 1);
        EXPECT_EQ(sent(), std::string("@>") + p[1] + std::string("1\0", 2));
        EXPECT_STREQ(command_result, "old");
    }
    EXPECT_EQ(send_command(fds[0], 'l', 1, "%d", 9), 1);
    EXPECT_EQ(sent(), std::string("@?l9\0", 5));
    EXPECT_EQ(send_command(fds[0], 'O', 0, "1 2 3\n/f"), -1);
    EXPECT_EQ(send_command(fds[0], '9', 1, "DISPLAY=h:1"), 1);
    EXPECT_EQ(sent(), std::string("@?9DISPLAY=h:1\0", 15));
}

TEST_F(CommandTest, NoReplyCodesLeaveSocketBlocking) {
    for (char code : {'2', '5', '9', 'M', 'N', 'O', 'd', 'e', 'f', 'g', 'h', 'l'}) {
        SCOPED_TRACE(std::string(1, code));
        set_nonblock(fds[0]);
        EXPECT_EQ(send_command(fds[0], code, 0, nullptr), 1);
        EXPECT_STREQ(command_result, "no result forthcoming");
        EXPECT_FALSE(fcntl(fds[0], F_GETFL) & O_NONBLOCK);
        EXPECT_EQ(sent(), std::string("@>") + code + std::string(1, '\0'));
    }
}

TEST_F(CommandTest, CSelfNamesAndOldServers) {
    vesk_remoteaddr = 0xa;
    strcpy(vesk_remotehost, "peer");
    // Empty text and the remote host's own name count as the remote host.
    EXPECT_EQ(send_command(fds[0], 'c', 0, nullptr), 0);
    EXPECT_STREQ(command_result, "a peer");
    EXPECT_EQ(send_command(fds[0], 'c', 0, "%s", "peer"), 0);
    // At 11713 or below the remote host itself is still answered locally.
    remote_vesk_version = 11713;
    EXPECT_EQ(send_command(fds[0], 'c', 0, "%s", "remotehost"), 0);
    EXPECT_EQ(sent(), "");
    remote_vesk_version = 11714;
    reply(std::string("xxda peer\0", 10));
    EXPECT_EQ(send_command(fds[0], 'c', 0, "%s", "remotehost"), 1);
    EXPECT_EQ(sent(), std::string("@>cremotehost\0", 14));
    reply(std::string("xxd1 x\0", 7));
    EXPECT_EQ(send_command(fds[0], 'c', 0, "%s", "other"), 1);
    EXPECT_EQ(sent(), std::string("@>cother\0", 9));
}

// The text ends at its first NUL; what follows must not reach the server as
// the start of another request.
TEST_F(CommandTest, NulInFormattedTextEndsTheRequest) {
    reply(std::string("xxd\0", 4));
    EXPECT_EQ(send_command(fds[0], 'D', 0, "ab%cA?Zevil", 0), 1);
    EXPECT_EQ(sent(), std::string("@>Dab\0", 6));
}

TEST_F(CommandTest, WriteFailureIsMinusTwo) {
    close(fds[1]);
    fds[1] = -1;
    EXPECT_EQ(send_command(fds[0], 'D', 0, "x"), -2);
    EXPECT_STREQ(command_result, "Write error");
}

TEST_F(CommandTest, CutReplyKeepsRestOfPresetText) {
    reply("xxnpart");
    shutdown(fds[1], SHUT_WR);
    EXPECT_EQ(send_command(fds[0], 'D', 0, "x"), -1);
    EXPECT_STREQ(command_result, "partesult forthcoming");
}

// A success status whose reply never reaches its NUL is no success.
TEST_F(CommandTest, CutSuccessReplyFails) {
    reply("@>d");
    shutdown(fds[1], SHUT_WR);
    EXPECT_EQ(send_command(fds[0], 'D', 0, "x"), -1);
    EXPECT_STREQ(command_result, "no result forthcoming");
}

TEST_F(CommandTest, EmptyReplyAndHeaderBytesIgnored) {
    reply(std::string("\0", 1));
    EXPECT_EQ(send_command(fds[0], 'D', 0, "x"), -1);
    EXPECT_STREQ(command_result, "no result forthcoming");
    reply(
        std::string("\x01\xff"
                    "dyes\0",
                    7));
    EXPECT_EQ(send_command(fds[0], 'D', 0, "x"), 1);
    EXPECT_STREQ(command_result, "yes");
    reply(std::string("dddd\0", 5));
    EXPECT_EQ(send_command(fds[0], 'D', 0, "x"), 1);
    reply(std::string("ddD\0", 4));
    EXPECT_EQ(send_command(fds[0], 'D', 0, "x"), -1);
}

// Only the reply is taken from the socket; what follows it stays for the
// data phase.
TEST_F(CommandTest, BytesAfterReplyStayOnSocket) {
    reply(std::string("xxd7 1 2\0DATA", 13));
    EXPECT_EQ(send_command(fds[0], 'A', 0, "x"), 1);
    char buf[8] = {};
    EXPECT_EQ(read(fds[0], buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "DATA");
}

}  // namespace
