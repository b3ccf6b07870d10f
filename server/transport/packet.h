// Packets of a checked link: how the frame stream of a stdio, exec: or
// serial link crosses a line that may damage, drop or insert bytes (a serial
// or radio line).  The frame stream is cut into packets; each carries a
// sequence number, the acknowledgements of the other direction and two
// CRC-32Cs, one over its header alone, so that a damaged length is never
// trusted:
//
//   bytes 0-1    sync 0xC3 0x5A
//   byte  2      flags (kData, kAck, kFirst) in bits 0-3, version in 4-7
//   bytes 3-4    payload length, big-endian (0 for an acknowledgement alone)
//   bytes 5-6    sequence number of this packet, low 16 bits (kData)
//   bytes 7-8    next sequence number the sender expects, low 16 bits (kAck)
//   bytes 9-10   selective acks: bit i set = sequence ack + 1 + i arrived
//   bytes 11-14  CRC-32C of bytes 0-10
//   payload, then its CRC-32C (4 bytes) when the length is not 0
//
// Every payload is scrambled with a keystream drawn from the sender's link
// key and the packet's sequence number; the first packet (kFirst) carries
// the key in the clear before its scrambled bytes.  Frame bytes on the wire
// are therefore noise to anyone without this link's key: a file made of
// packets (a capture of the line) can never be taken for this link's
// packets, wherever the receiver resynchronises.  docs/link-protocol.md has
// the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesk::packet {

constexpr uint8_t kSync0 = 0xC3;
constexpr uint8_t kSync1 = 0x5A;
constexpr uint8_t kVersion = 2;
constexpr size_t kHeaderBytes = 15;
constexpr size_t kCheckBytes = 4;  // the payload's CRC-32C
constexpr size_t kKeyBytes = 8;    // the link key a first packet carries
// Payload of one packet, bytes: one full data frame and its header fit, and
// a first packet's key.
constexpr size_t kPayloadMax = 16 * 1024 + 64 + kKeyBytes;
// Bits of the selective acknowledgement field.
constexpr uint32_t kSackBits = 16;
// Packets in flight at once; a receiver keeps no packet further ahead.  Far
// below half the 16-bit sequence space, so that a number on the wire names
// one packet of the window.
constexpr uint32_t kWindowPackets = 4096;
// Bytes of frames sent and not yet acknowledged, at most: enough for a fast
// pipe's bandwidth-delay product (1 Gbit/s over 100 ms is 12.5 MB), and the
// most out-of-order bytes a receiver keeps.
constexpr size_t kStoreMax = 16 * 1024 * 1024;
// Sequence numbers run from a 16-bit first one and are counted in 32 bits at
// both ends, which agree on them exactly; the wire carries the low 16.
constexpr uint32_t kSeqWireMask = 0xFFFF;

// Serial-number order of 32-bit sequence numbers: a - b as a signed distance.
constexpr int32_t seq_diff(uint32_t a, uint32_t b) {
    return int32_t(a - b);
}
// The full sequence number whose low 16 bits are wire, nearest to near.
constexpr uint32_t seq_expand(uint32_t wire, uint32_t near) {
    return near + uint32_t(int32_t(int16_t(uint16_t(wire - near))));
}

enum Flags : uint8_t {
    kData = 1,   // carries frame bytes under a sequence number
    kAck = 2,    // the ack fields are valid (the sender has its peer's first packet)
    kFirst = 4,  // the sequence number is the sender's first; the payload starts with the key
};

struct Header {
    uint8_t flags = 0;
    uint16_t length = 0;
    uint32_t seq = 0;  // the low 16 bits go on the wire
    uint32_t ack = 0;  // the low 16 bits go on the wire
    uint32_t sack = 0;
};

// XORs n bytes at data with the keystream of (key, seq): applied twice it
// gives the bytes back.  About a cycle a byte.
void scramble(uint64_t key, uint32_t seq, char *data, size_t n);

// On a line with XON/XOFF flow control the line keeps kXon and kXoff for
// itself: every such byte, and kEscape itself, crosses as kEscape and the
// byte XOR kEscapeFlip.  A damaged escape damages one byte, which the checks
// catch.  About 1% more bytes on random data.
constexpr uint8_t kXon = 0x11;
constexpr uint8_t kXoff = 0x13;
constexpr uint8_t kEscape = 0x7D;
constexpr uint8_t kEscapeFlip = 0x20;
// Escapes the bytes of out from at on, in place.
void escape_tail(std::string &out, size_t at);
// Appends wire, unescaped, to plain.  *pending carries an escape byte that
// ended the previous call's bytes into this one.
void unescape(std::string_view wire, std::string &plain, bool *pending);

// Appends a packet to out.  payload.size() must be <= kPayloadMax, and 0
// unless the flags have kData.  The payload goes as it is given (scramble
// it first).
void append(std::string &out, const Header &h, std::string_view payload);

// What scan() found at the start of what it was given.
struct Found {
    enum Kind {
        kNeedMore,    // the bytes end inside a possible packet: call again with more
        kGood,        // a packet whose header and payload passed their checks
        kBadBody,     // a packet whose header passed and payload failed
        kBadHeader,   // the sync bytes of a header that fails its check: skip 1
        kNoise,       // bytes that are no packet start: skip them
        kOldVersion,  // a good header of the packets of an older version
    } kind = kNeedMore;
    // kNoise: bytes to drop from the front; kGood, kBadBody: the packet's
    // size; kNeedMore: the size the checked header there claims (0 when no
    // header has been checked yet).
    size_t skip = 0;
    Header header;             // kGood, kBadBody (seq and ack: the wire's 16 bits)
    std::string_view payload;  // kGood, as it crossed (still scrambled)
};

// Looks at the front of buf.  kNoise with skip > 0 when buf does not start
// with the sync bytes (skip reaches the next candidate), kBadHeader when the
// header there fails its check or claims what no sender makes; kNeedMore
// when it may be a packet still arriving; kGood or kBadBody with skip the
// packet's size otherwise.  For kBadBody the caller should go on one byte
// further, not skip the packet: bytes dropped inside it would otherwise cost
// the packet after it too.
Found scan(std::string_view buf);

}  // namespace vesk::packet
