// The checked link's packets and repair: every damaged bit is caught, and
// through a line that drops, doubles, reorders, damages and inserts bytes the
// frame stream arrives once and in order, within bounded buffers.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>

#include "arq.h"
#include "crc32c.h"
#include "packet.h"

using namespace vesk;

TEST(Crc32c, KnownValueAndBothPathsAgree) {
    EXPECT_EQ(crc32c(0, "123456789", 9), 0xE3069283u);
    std::mt19937 rng(1);
    std::string data(9 * 1024 + 5, '\0');
    for (auto &c : data) c = char(rng());
    // Lengths across the lanes' stretches of three kilobytes.
    for (size_t n : {0, 1, 7, 8, 9, 63, 3071, 3072, 3073, 4099, 9 * 1024 + 5})
        EXPECT_EQ(crc32c(0, data.data(), n), crc32c_portable(0, data.data(), n)) << n;
    // Continuing a CRC equals one pass.
    EXPECT_EQ(crc32c(crc32c(0, data.data(), 100), data.data() + 100, 3999),
              crc32c(0, data.data(), 4099));
}

TEST(Packet, EverySingleBitFlipIsCaught) {
    packet::Header h;
    h.flags = packet::kData | packet::kAck;
    h.seq = 77;
    h.ack = 5;
    h.sack = 0x3;
    std::string good;
    packet::append(good, h, std::string(200, 'x') + "payload");
    packet::Found f = packet::scan(good);
    ASSERT_EQ(f.kind, packet::Found::kGood);
    EXPECT_EQ(f.skip, good.size());
    EXPECT_EQ(f.header.seq, 77u);
    for (size_t bit = 0; bit < good.size() * 8; bit++) {
        std::string bad = good;
        bad[bit / 8] = char(bad[bit / 8] ^ (1 << (bit % 8)));
        EXPECT_NE(packet::scan(bad).kind, packet::Found::kGood) << "bit " << bit;
    }
    // Cut short, it waits for the rest.
    EXPECT_EQ(packet::scan(std::string_view(good).substr(0, good.size() - 1)).kind,
              packet::Found::kNeedMore);
}

TEST(Packet, EscapedBytesNeverHoldFlowControlAndComeBackWhole) {
    std::mt19937 rng(3);
    std::string data(3000, '\0');
    for (auto &c : data) c = char(rng() % 8 == 0 ? packet::kXoff : rng());
    std::string wire = "kept";
    packet::escape_tail(wire, 4);  // nothing to escape
    wire += data;
    packet::escape_tail(wire, 4);
    EXPECT_EQ(wire.find(char(packet::kXon)), std::string::npos);
    EXPECT_EQ(wire.find(char(packet::kXoff)), std::string::npos);
    // Cut anywhere, an escape split across reads included.
    for (size_t cut : {size_t(5), wire.find(char(packet::kEscape)) + 1, wire.size() - 1}) {
        std::string plain;
        bool pending = false;
        packet::unescape(std::string_view(wire).substr(4, cut - 4), plain, &pending);
        packet::unescape(std::string_view(wire).substr(cut), plain, &pending);
        EXPECT_TRUE(plain == data) << cut;
    }
}

namespace {

// Two ends joined by a line that a seed damages; time advances in steps.
struct BadLine {
    std::mt19937 rng;
    double drop = 0, dup = 0, flip = 0, junk = 0, reorder = 0;
    std::deque<std::string> queued;
    explicit BadLine(unsigned seed) : rng(seed) {}
    bool chance(double p) { return std::uniform_real_distribution<>(0, 1)(rng) < p; }
    // Wire bytes written in one go are treated packet by packet.
    void carry(const std::string &wire) {
        size_t off = 0;
        while (off < wire.size()) {
            packet::Found f = packet::scan(std::string_view(wire).substr(off));
            std::string one = wire.substr(off, f.skip);
            off += f.skip;
            if (chance(drop)) continue;
            if (chance(flip)) {
                const int bit = 1 << (rng() % 8);  // drawn first: the seeded runs stay the same
                char &c = one[rng() % one.size()];
                c = static_cast<char>(c ^ bit);
            }
            if (chance(junk)) one.insert(rng() % one.size(), "\xC3ZCONNECT");
            if (chance(reorder) && !queued.empty()) {
                queued.insert(queued.end() - 1, one);
            } else {
                queued.push_back(one);
            }
            if (chance(dup)) queued.push_back(one);
        }
    }
};

struct End {
    Arq arq;
    std::string got;
    explicit End(uint32_t first) : arq(first, 0x5eed0000u + first) {}
};

// Sends `text` from a to b in pieces through both lines; returns steps used.
int run(End &a, End &b, BadLine &ab, BadLine &ba, const std::string &text, int steps_max) {
    int64_t now = 0;
    size_t sent = 0;
    int step = 0;
    // Until b has it all and a knows it.
    for (; step < steps_max && (b.got.size() < text.size() || a.arq.unacked() > 0); step++) {
        now += 10 * 1000;
        std::string wire;
        a.arq.resend_due(now, wire);
        size_t n = std::min({text.size() - sent, a.arq.room(), size_t(3000)});
        a.arq.send(std::string_view(text).substr(sent, n), now, wire);
        sent += n;
        ab.carry(wire);
        while (!ab.queued.empty()) {
            b.arq.receive(ab.queued.front(), now, b.got);
            ab.queued.pop_front();
        }
        std::string back;
        b.arq.resend_due(now, back);
        b.arq.ack_if_owed(back);
        ba.carry(back);
        while (!ba.queued.empty()) {
            a.arq.receive(ba.queued.front(), now, a.got);
            ba.queued.pop_front();
        }
    }
    return step;
}

// A packet as a sender with key would make it: a first one carries the key,
// every payload is scrambled.
std::string forge(uint64_t key, uint32_t seq, bool first, std::string_view data,
                  const packet::Header &ack = {}) {
    packet::Header h = ack;
    h.flags |= packet::kData | (first ? packet::kFirst : 0);
    h.seq = seq;
    std::string payload;
    for (size_t i = 0; first && i < packet::kKeyBytes; i++)
        payload += char(uint8_t(key >> (8 * i)));
    size_t at = payload.size();
    payload.append(data);
    packet::scramble(key, seq, payload.data() + at, data.size());
    std::string w;
    packet::append(w, h, payload);
    return w;
}

std::string text_of(size_t n) {
    std::string t;
    for (size_t i = 0; t.size() < n; i++) t += "frame " + std::to_string(i) + ";";
    return t;
}

}  // namespace

TEST(Arq, ABadLineDeliversEachByteOnceAndInOrder) {
    std::string text = text_of(300 * 1000);
    for (unsigned seed = 1; seed <= 4; seed++) {
        End a(0xFFFFFF00u), b(42);  // a's sequence numbers wrap
        BadLine ab(seed), ba(seed + 100);
        ab.drop = ba.drop = 0.05;
        ab.dup = ba.dup = 0.05;
        ab.flip = ba.flip = 0.05;
        ab.junk = ba.junk = 0.02;
        ab.reorder = 0.05;
        run(a, b, ab, ba, text, 20000);
        EXPECT_TRUE(b.got == text)
            << "seed " << seed << ": " << b.got.size() << " of " << text.size();
        EXPECT_GT(a.arq.stats().retransmits, 0u);
        EXPECT_GT(b.arq.stats().damaged, 0u);
        EXPECT_EQ(a.arq.unacked(), 0u);
    }
}

TEST(Arq, GarbageFirstIsSkippedAndPlainFramesAreRecognised) {
    End a(1), b(2);
    BadLine ab(1), ba(2);
    std::string wire = "CONNECT 115200\r\nlogin: ";
    a.arq.send("hello", 0, wire);
    b.arq.receive(wire, 0, b.got);
    EXPECT_EQ(b.got, "hello");
    EXPECT_EQ(b.arq.stats().damaged, 0u);
    EXPECT_FALSE(b.arq.far_is_plain());
    // An older far end's first bytes: a HELLO frame with no packet around it.
    Arq c(3, 3);
    std::string got;
    c.receive(std::string("\x01\x00\x00\x20\x00\x00\x00\x00VESK", 12), 0, got);
    EXPECT_TRUE(c.far_is_plain());
}

TEST(Arq, BuffersAreBoundedAndASilentLineIsProbedWithBackoff) {
    Arq a(9, 9);
    std::string wire;
    std::string chunk(64 * 1024, 'd');
    size_t sent = 0;
    while (a.room() > 0) {
        size_t n = std::min(chunk.size(), a.room());
        a.send(std::string_view(chunk).substr(0, n), 0, wire);
        sent += n;
    }
    EXPECT_EQ(sent, arq::RateModel::kWindowStart);
    // Nothing comes back: the first timeout sends the oldest packet alone,
    // the next waits twice as long.
    EXPECT_EQ(a.next_due_us(), arq::Sender::kRtoStartUs);
    std::string again;
    a.resend_due(arq::Sender::kRtoStartUs, again);
    EXPECT_EQ(packet::scan(again).skip, again.size());
    EXPECT_EQ(a.rto_us(), 2 * arq::Sender::kRtoStartUs);
    // A receiver keeps no more out of order than the store would hold: the
    // second packet is lost, more than that follows, then the second.
    Arq b(10, 10);
    std::string got, part(packet::kPayloadMax - packet::kKeyBytes, 'p');
    auto deliver = [&](uint32_t seq) { b.receive(forge(77, seq, seq == 100, part), 0, got); };
    deliver(100);
    size_t ahead = packet::kStoreMax / part.size() + 8;
    for (uint32_t i = 0; i < ahead; i++) deliver(102 + i);
    EXPECT_EQ(got.size(), part.size());
    deliver(101);
    EXPECT_GT(got.size(), part.size() * 2);
    EXPECT_LE(got.size(), part.size() * 2 + packet::kStoreMax);
}

TEST(Arq, PacketsInsideAPayloadAreNeverTakenForPackets) {
    // A capture of another link's line, first packet and all...
    End x(500), y(600);
    BadLine clean1(1), clean2(2);
    std::string capture;
    x.arq.send(text_of(20 * 1000), 0, capture);
    // ...sent as data through a line that damages a packet in five: the
    // receiver resynchronises inside payloads that hold packets.
    for (unsigned seed = 1; seed <= 3; seed++) {
        End a(1), b(2);
        BadLine ab(seed), ba(seed + 50);
        ab.flip = ba.flip = 0.2;
        run(a, b, ab, ba, capture, 20000);
        EXPECT_TRUE(b.got == capture) << "seed " << seed;
        EXPECT_FALSE(b.arq.far_restarted());
        EXPECT_EQ(b.arq.fault(), nullptr);
    }
}

TEST(Arq, AHeaderWhoseBytesNeverComeHoldsNothingBackForLong) {
    Arq b(2, 2);
    std::string got, wire;
    packet::Header h;
    h.flags = packet::kData;
    packet::append(wire, h, std::string(16 * 1024, 'z'));
    wire.resize(packet::kHeaderBytes);  // a checked header; its bytes never come
    wire += forge(9, 40, true, "hello");
    b.receive(wire, 0, got);
    EXPECT_EQ(got, "");
    int64_t due = b.next_due_us();
    ASSERT_GT(due, 0);
    // The rate is unknown: the time a slow line needs, not much more.
    EXPECT_LT(due, int64_t(60) * 1000 * 1000);
    b.expire(due - 1, got);
    EXPECT_EQ(got, "");
    b.expire(due, got);
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(b.next_due_us(), -1);
}

TEST(Arq, AcknowledgementsOfWhatCannotHaveArrivedFreeNothing) {
    Arq a(1000, 5);
    std::string wire, got;
    a.send(std::string(3 * arq::RateModel::kPacketStart, 'd'), 0, wire);
    ASSERT_EQ(a.unacked(), 3u);
    auto ack = [&](uint32_t n, uint32_t sack, int64_t now) {
        packet::Header h;
        h.flags = packet::kAck;
        h.ack = n & packet::kSeqWireMask;
        h.sack = sack;
        std::string w;
        packet::append(w, h, {});
        a.receive(w, now, got);
    };
    ack(1010, 0, 1000);  // beyond anything sent
    EXPECT_EQ(a.unacked(), 3u);
    size_t room = a.room();
    ack(1000, 1, 2000);  // 1001 arrived...
    EXPECT_GT(a.room(), room);
    ack(1000, 0, 3000);  // ...and then it had not: 1001 goes again
    EXPECT_EQ(a.room(), room);
    std::string again;
    a.resend_due(3000, again);
    bool resent = false;
    for (std::string_view w = again; !w.empty();) {
        packet::Found f = packet::scan(w);
        ASSERT_EQ(f.kind, packet::Found::kGood);
        resent |= f.header.seq == 1001u;
        w.remove_prefix(f.skip);
    }
    EXPECT_TRUE(resent);
    // A false acknowledgement of all three, then the far end's own, which
    // say it lacks them: the link ends rather than stall.
    ack(1003, 0, 4000);
    EXPECT_EQ(a.unacked(), 0u);
    int64_t t = 5000;
    for (; t < int64_t(120) * 1000 * 1000 && !a.fault(); t += 1000 * 1000) ack(1000, 0, t);
    EXPECT_NE(a.fault(), nullptr);
    EXPECT_GT(t, int64_t(3) * 1000 * 1000);
}
