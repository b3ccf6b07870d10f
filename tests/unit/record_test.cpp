// The records of an encrypted link: round trips at every size and split, and
// every change an attacker on the path could make fails.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record.h"

using namespace vesk::record;

namespace {

struct Ends {
    Layer initiator, acceptor;
    Ends(const std::string &key = "a shared key of the two ends", char nonce_seed = 1) {
        uint8_t in[kNonceBytes], an[kNonceBytes];
        for (size_t i = 0; i < kNonceBytes; i++) {
            in[i] = uint8_t(nonce_seed + i);
            an[i] = uint8_t(nonce_seed * 3 + i);
        }
        Keys ki, ka;
        EXPECT_TRUE(derive(key, in, an, true, &ki));
        EXPECT_TRUE(derive(key, in, an, false, &ka));
        EXPECT_TRUE(initiator.init(ki));
        EXPECT_TRUE(acceptor.init(ka));
    }
};

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = char((i * 131) ^ (i >> 9));
    return s;
}

std::string sealed(Sealer &s, const std::string &plain) {
    std::string out;
    EXPECT_TRUE(s.seal(plain, out));
    return out;
}

TEST(Record, KeysPairUpAndDiffer) {
    uint8_t in[kNonceBytes] = {1}, an[kNonceBytes] = {2}, other[kNonceBytes] = {3};
    Keys ki, ka, fresh;
    ASSERT_TRUE(derive("key", in, an, true, &ki));
    ASSERT_TRUE(derive("key", in, an, false, &ka));
    EXPECT_EQ(ki.send.key, ka.recv.key);
    EXPECT_EQ(ki.send.iv, ka.recv.iv);
    EXPECT_EQ(ki.recv.key, ka.send.key);
    EXPECT_NE(ki.send.key, ki.recv.key);
    // A new nonce from either end gives new keys: a recording of another
    // session opens nothing.
    ASSERT_TRUE(derive("key", in, other, true, &fresh));
    EXPECT_NE(fresh.send.key, ki.send.key);
}

TEST(Record, RoundTripAtEverySizeAndSplit) {
    Ends e;
    for (size_t n : {size_t(1), size_t(100), kPlainMax - 1, kPlainMax, kPlainMax + 1,
                     size_t(3 * kPlainMax + 7)}) {
        std::string plain = pattern(n);
        std::string wire = sealed(e.initiator.sealer, plain);
        EXPECT_EQ(wire.size(), n + kOverhead * ((n + kPlainMax - 1) / kPlainMax));
        if (n >= 64) {
            EXPECT_EQ(wire.find(plain.substr(0, 64)), std::string::npos);
        }
        // Fed in uneven pieces, as reads deliver it.
        std::string got;
        for (size_t off = 0, step = 1; off < wire.size(); off += step, step = step * 3 + 1)
            ASSERT_TRUE(e.acceptor.opener.open(std::string_view(wire).substr(off, step), got));
        EXPECT_TRUE(got == plain) << n;
        EXPECT_EQ(e.acceptor.opener.pending(), 0u);
    }
    std::string nothing;
    EXPECT_TRUE(e.acceptor.sealer.seal("", nothing));
    EXPECT_TRUE(nothing.empty());
    std::string back;
    ASSERT_TRUE(e.initiator.opener.open(sealed(e.acceptor.sealer, "reply"), back));
    EXPECT_EQ(back, "reply");
}

TEST(Record, AnyFlippedByteFails) {
    const size_t size = kOverhead + std::string("some file data").size();
    for (size_t i = 0; i < size; i++) {
        Ends e;
        std::string wire = sealed(e.initiator.sealer, "some file data");
        wire[i] ^= 0x01;
        std::string got = "kept";
        // A changed length may first look like a record still arriving; the
        // bytes that follow then fail it.  Nothing is ever delivered.
        bool first = e.acceptor.opener.open(wire, got);
        EXPECT_FALSE(first &&
                     e.acceptor.opener.open(sealed(e.initiator.sealer, pattern(1000)), got))
            << i;
        EXPECT_EQ(got, "kept") << i;
        // Once failed, nothing more opens.
        EXPECT_FALSE(e.acceptor.opener.open(sealed(e.initiator.sealer, "y"), got));
    }
}

TEST(Record, ReplayReorderDropAndReflectionFail) {
    struct Case {
        const char *name;
        std::vector<int> order;  // indices of the records fed, in this order
    };
    for (const Case &c : {Case{"replay", {0, 0}}, Case{"reorder", {1, 0}}, Case{"drop", {0, 2}},
                          Case{"replay later", {0, 1, 2, 1}}}) {
        Ends e;
        std::vector<std::string> recs;
        for (int i = 0; i < 3; i++)
            recs.push_back(sealed(e.initiator.sealer, "record " + std::to_string(i)));
        std::string got;
        bool ok = true;
        for (int i : c.order) ok = ok && e.acceptor.opener.open(recs[size_t(i)], got);
        EXPECT_FALSE(ok) << c.name;
    }
    Ends e;
    std::string got;
    EXPECT_FALSE(e.initiator.opener.open(sealed(e.initiator.sealer, "mine"), got));
    // Records of another session with the same key: other nonces, other keys.
    Ends before("a shared key of the two ends", 9);
    Ends now("a shared key of the two ends", 10);
    EXPECT_FALSE(now.acceptor.opener.open(sealed(before.initiator.sealer, "old"), got));
}

TEST(Record, GoodRecordsBeforeABadOneAreNotDelivered) {
    Ends e;
    std::string wire = sealed(e.initiator.sealer, "first");
    std::string bad = sealed(e.initiator.sealer, "second");
    bad.back() = static_cast<char>(bad.back() ^ 0x80);
    std::string got;
    EXPECT_FALSE(e.acceptor.opener.open(wire + bad, got));
    EXPECT_TRUE(got.empty());
}

TEST(Record, LengthsNoSealerMakesFail) {
    for (uint32_t len : {0u, uint32_t(kPlainMax + 1), 0xffffffffu}) {
        Ends e;
        std::string wire(kOverhead + 8, '\0');
        wire[0] = char(len >> 24);
        wire[1] = char(len >> 16);
        wire[2] = char(len >> 8);
        wire[3] = char(len);
        std::string got;
        // Refused from the header alone, before the record is complete.
        EXPECT_FALSE(e.acceptor.opener.open(wire.substr(0, kHeaderBytes), got)) << len;
    }
}

}  // namespace
